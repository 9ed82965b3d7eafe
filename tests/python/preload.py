"""Small C libraries that tests preload into child processes, compiled once per test run."""

import atexit
import functools
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path


@functools.cache
def library(source_name: str) -> Path:
    compiler = shutil.which("cc") or shutil.which("gcc")
    assert compiler is not None, "the preloaded test libraries need a C compiler"
    out_dir = Path(tempfile.mkdtemp(prefix="tarnwick-preload-"))
    atexit.register(shutil.rmtree, out_dir, ignore_errors=True)
    out = out_dir / (Path(source_name).stem + ".so")
    source = Path(__file__).with_name(source_name)
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(out), str(source), "-ldl"],
                   check=True)
    return out


ADD_TEXTS = """
import json, sys
from tarnwick import Search
with Search(sys.argv[1], None) as engine:
    print(json.dumps([engine.add(text) for text in json.loads(sys.argv[2])]))
"""


def add_with_clock_shifted(directory, texts: list[str], seconds: int) -> list[str]:
    """Adds `texts` to the engine in `directory` from a child process whose wall clock is moved
    by `seconds`, and closes it; gives their ids."""
    env = {**os.environ, "LD_PRELOAD": str(library("clock_shift.c")),
           "TARNWICK_CLOCK_SHIFT": str(seconds)}
    done = subprocess.run([sys.executable, "-c", ADD_TEXTS, str(directory), json.dumps(texts)],
                          env=env, capture_output=True, text=True, check=True, timeout=60)
    return json.loads(done.stdout)
