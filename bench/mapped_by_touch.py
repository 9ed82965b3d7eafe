"""How much of a file one touch of its mapping brings into the process's memory.

The page cache may hold a file's pages in pieces as large as the writes that made them (and as
large as read-ahead grows them), and a fault maps the whole piece. tarnwick writes the snapshot
of its posting lists, read a list here and there, in 64 KB chunks, so that reading one small
list maps little; and the record table, read whole at every opening, in 1 MB chunks. This
writes a file with several write sizes, maps it, touches one byte per megabyte, and reports the
memory mapped per touch and the time the writes took; then the same over a file whose pages
were dropped, which the kernel reads back with read-ahead.

    python bench/mapped_by_touch.py [--mib 256] [--dir /var/tmp]
"""

import argparse
import mmap
import os
import tempfile
import time

TOUCH_EVERY = 1 << 20


def rss_file_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("RssFile:"):
                return int(line.split()[1])
    raise RuntimeError("no RssFile in /proc/self/status")


def write_file(path, data, write_size):
    if os.path.exists(path):
        os.unlink(path)
    os.sync()
    start = time.perf_counter()
    with open(path, "wb", buffering=0) as out:
        view = memoryview(data)
        for at in range(0, len(data), write_size):
            out.write(view[at:at + write_size])
    return time.perf_counter() - start


def mapped_per_touch(path):
    """KiB the process maps per touch, one touch a megabyte."""
    with open(path, "rb") as source:
        with mmap.mmap(source.fileno(), 0, prot=mmap.PROT_READ) as mapping:
            before = rss_file_kib()
            touches = 0
            for at in range(4096, len(mapping), TOUCH_EVERY):
                mapping[at]
                touches += 1
            return (rss_file_kib() - before) / touches


def drop_cached_pages(path):
    with open(path, "rb") as source:
        os.fsync(source.fileno())
        os.posix_fadvise(source.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--mib", type=int, default=256, help="size of the file written")
    parser.add_argument("--dir", default="/var/tmp", help="where to write it (not a tmpfs)")
    args = parser.parse_args()
    data = os.urandom(args.mib << 20)
    with tempfile.TemporaryDirectory(dir=args.dir) as work:
        path = os.path.join(work, "file")
        print(f"{args.mib} MiB, one touch a MiB")
        print("| written in | write time, s | mapped per touch, KiB |")
        print("|---|---|---|")
        for write_size in (16 << 10, 64 << 10, 256 << 10, 1 << 20, 4 << 20):
            seconds = write_file(path, data, write_size)
            print(f"| {write_size >> 10} KiB | {seconds:.3f} | {mapped_per_touch(path):.0f} |")
        drop_cached_pages(path)
        print(f"| (read back from disk) | | {mapped_per_touch(path):.0f} |")


if __name__ == "__main__":
    main()
