"""A writer for the crash tests: random adds, deletes, flushes and merges until it is killed.

    python crash_child.py DIR FIRST SEED LIVE

LIVE is a file of the ids of documents known to be live, one a line, which it may delete too.

Document n (n counts from FIRST) holds "wordN filler common": its own word finds it alone. Each
operation is reported on standard output once it has returned: "A <id> <n>", "D <id>", and "F"
after a flush or a merge, so that the reader knows what the engine promised when it was killed.
A deletion is also announced before it starts ("d <id>"): a kill may come after it took effect
and before its report.
"""

import random
import sys
from pathlib import Path

from tarnwick import Search

CONFIG = """
segment_size = 3000
documents_buffer_size = 300
index_buffer_size = 400
index_save_after_operations = 9
metadata_save_after_operations = 5
merge_deleted_ratio = 0.2
"""


def text(n: int) -> str:
    return f"word{n} filler common"


def main() -> None:
    directory, first, seed = Path(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    added = Path(sys.argv[4]).read_text().split()
    config = directory.parent / "crash.toml"
    config.write_text(CONFIG)
    engine = Search(directory, config)
    rng = random.Random(seed)
    n = first
    while True:
        roll = rng.random()
        if roll < 0.6:
            added.append(engine.add(text(n)))
            print("A", added[-1], n, flush=True)
            n += 1
        elif roll < 0.75 and added:
            doc_id = added.pop(rng.randrange(len(added)))
            print("d", doc_id, flush=True)
            engine.delete(doc_id)
            print("D", doc_id, flush=True)
        elif roll < 0.95:
            engine.flush()
            print("F", flush=True)
        else:
            engine.merge()
            print("F", flush=True)


if __name__ == "__main__":
    main()
