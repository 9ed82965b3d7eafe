"""The folders of src/ are layers: a file includes only its own folder and the folders below it,
so that no two folders need each other."""

import re
from pathlib import Path

SRC = Path(__file__).resolve().parents[2] / "src"

# Each folder and the folders its files may include, besides its own.
BELOW = {
    "utils": set(),
    "storage/codec": {"utils"},
    "base": {"utils", "storage/codec"},
    "storage": {"base", "storage/codec", "utils"},
    "inverted": {"base", "storage/codec", "utils"},
    "analysis": {"base", "utils"},
    "matching": {"analysis", "inverted", "base", "storage/codec", "utils"},
    "query": {"matching", "analysis", "base", "utils"},
    "engine": {"query", "matching", "analysis", "inverted", "storage", "base", "storage/codec",
               "utils"},
    "binding": {"engine", "query", "matching", "analysis", "inverted", "storage", "base",
                "storage/codec", "utils"},
}
INCLUDE = re.compile(r'^#include "([^"]+)"', re.MULTILINE)


def folder_of(path: str) -> str | None:
    """The layer of a path below src/, or None for a header from elsewhere (absl, toml++)."""
    parent = str(Path(path).parent)
    return parent if (SRC / path).exists() else None


def test_every_folder_is_a_layer():
    assert {str(p.parent.relative_to(SRC)) for p in SRC.rglob("*.[ch]pp")} == BELOW.keys()


def test_includes_point_only_downwards():
    wrong = []
    for path in sorted(SRC.rglob("*.[ch]pp")):
        folder = str(path.parent.relative_to(SRC))
        for included in INCLUDE.findall(path.read_text()):
            target = folder_of(included)
            if target is not None and target != folder and target not in BELOW[folder]:
                wrong.append(f"{path.relative_to(SRC)} includes {included}")
    assert wrong == []


def test_the_layers_have_no_cycle():
    order = []
    remaining = dict(BELOW)
    while remaining:
        ready = [f for f, below in remaining.items() if below <= set(order)]
        assert ready, f"folders that need each other: {sorted(remaining)}"
        order += sorted(ready)
        for f in ready:
            del remaining[f]
