"""The demo: index the Linux kernel's documentation with the `tarnwick` command, then query it.

The corpus is the reStructuredText of Debian's linux-doc package, about three thousand gzipped
files, which the command decompresses as it reads them. The index is left in build/demo-index
for further queries.
"""

import shlex
import shutil
import subprocess
import sys
from pathlib import Path

CORPUS = Path("/usr/share/doc/linux-doc")
INDEX = Path(__file__).resolve().parent.parent / "build" / "demo-index"
COMMAND = Path(sys.executable).parent / "tarnwick"

QUERIES = [
    ("a term", "scheduler"),
    ("an adjacent phrase", '"memory barrier"'),
    ("a phrase whose words may stand up to 3 words apart", '"lock contention"~3'),
    ("a misspelt term, one edit allowed", "schedulr~1"),
    ("a misspelt term, two edits allowed", "spinlok~2"),
]


def run(*args: str, check: bool = True) -> None:
    shown = " ".join(shlex.quote(a) for a in ["tarnwick", *args])
    print(f"\n$ {shown}", flush=True)
    # From the corpus root, so that sources show as paths below it.
    done = subprocess.run([str(COMMAND), *args], cwd=CORPUS)
    if check and done.returncode != 0:
        sys.exit(f"demo: tarnwick {args[0]} failed with status {done.returncode}")


def main() -> None:
    documentation = CORPUS / "Documentation"
    if not any(documentation.rglob("*.rst.gz")):
        sys.exit(f"demo: no .rst.gz files under {documentation}; install the linux-doc package")
    shutil.rmtree(INDEX, ignore_errors=True)
    print(f"Indexing the kernel documentation under {documentation}")
    run("index", str(INDEX), "Documentation", "--glob", "*.rst.gz")
    run("stats", str(INDEX))

    print("\nThe index is reopened for every query below, as a new process would.")
    for what, query in QUERIES:
        print(f"\n# {what}")
        run("search", str(INDEX), query, "-k", "3")

    print("\n# a query that does not parse: fuzziness goes up to 2")
    run("search", str(INDEX), "spinlock~3", check=False)
    print(f"\nThe index stays in {INDEX}; try: {COMMAND} search {INDEX} 'your words'")


if __name__ == "__main__":
    main()
