"""Peak memory while adding a corpus, and where it is reached.

Reads a corpus of one document a line (bench/compare.py writes one as corpus.txt), then adds it
to a fresh engine with a loop of `add`, final flush included. Every time the process's peak
resident memory has grown by more than a few MiB it prints the document count and the memory
beyond what the interpreter held with the corpus read: the peak, and the resident memory not
backed by files (anon) and backed by them (file) at that moment. A peak far above the memory
then resident was reached between two checkpoints (a snapshot or a table being written).

    python bench/index_memory.py CORPUS WORK_DIR [--docs N] [--config PATH]
"""

import argparse
import shutil
import time

STEP_MIB = 3


def memory_mib():
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmHWM", "RssAnon", "RssFile"):
                fields[key] = int(value.split()[0]) / 1024
    return fields


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("corpus", help="a text file, one document a line")
    parser.add_argument("work", help="the engine's directory, removed first")
    parser.add_argument("--docs", type=int, default=None, help="at most this many documents")
    parser.add_argument("--config", default=None, help="a TOML configuration")
    args = parser.parse_args()

    with open(args.corpus, encoding="utf-8") as corpus:
        docs = [line.rstrip("\n") for line in corpus]
    docs = docs[: args.docs] if args.docs else docs
    from tarnwick import Search

    shutil.rmtree(args.work, ignore_errors=True)
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak starts again from here
    base = memory_mib()
    print("docs       peak MiB  anon MiB  file MiB")

    def report(label):
        now = memory_mib()
        print(f"{label:>9}  {now['VmHWM'] - base['VmHWM']:8.1f}  "
              f"{now['RssAnon'] - base['RssAnon']:8.1f}  {now['RssFile'] - base['RssFile']:8.1f}",
              flush=True)
        return now["VmHWM"]

    engine = Search(args.work, args.config)
    start = time.perf_counter()
    peak = base["VmHWM"]
    for count, text in enumerate(docs, 1):
        engine.add(text)
        if count % 500 == 0 and memory_mib()["VmHWM"] > peak + STEP_MIB:
            peak = report(str(count))
    engine.flush()
    seconds = time.perf_counter() - start
    report("end")
    engine.close()
    print(f"{len(docs)} documents, {len(docs) / seconds:.0f} documents/s")


if __name__ == "__main__":
    main()
