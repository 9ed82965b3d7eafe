"""Damaged files whose bytes ask for huge allocations give exceptions, not a memory blow-up.

Each case runs in a child process limited to 2 GiB of address space, so an allocation the bytes
cannot justify would show up as MemoryError or a killed process rather than pass unnoticed.
"""

import subprocess
import sys
import textwrap

from tarnwick.native import Search

CHILD = textwrap.dedent(
    """
    import resource, sys
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    from tarnwick.native import Search
    try:
        {body}
    except MemoryError:
        print("MemoryError")
        raise
    except Exception as error:
        print(type(error).__name__, error)
    else:
        print("no error")
    """
)


def run_limited(body: str, directory) -> str:
    code = CHILD.format(body=body)
    done = subprocess.run(
        [sys.executable, "-c", code, str(directory)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def segment_file(directory, name):
    [segment] = [p for p in directory.iterdir() if p.name.isdigit()]
    return segment / name


def test_huge_posting_count_fails_the_load(tmp_path):
    engine = Search(tmp_path, None)
    engine.add("cat")
    engine.flush()
    log = tmp_path / "index" / "index"
    data = bytearray(log.read_bytes())
    data[5:9] = b"\xff\xff\xff\xff"  # the count of the Insert record's token
    log.write_bytes(bytes(data))
    out = run_limited("Search(sys.argv[1], None)", tmp_path)
    assert out.startswith("BincodeDecodeError ")


def test_huge_block_size_fails_the_read(tmp_path):
    engine = Search(tmp_path, None)
    doc_id = engine.add("cat " * 100)
    engine.flush()
    data = segment_file(tmp_path, "data")
    block = bytearray(data.read_bytes())
    block[0:4] = b"\xf0\xff\xff\xff"  # a declared text size of almost 4 GiB
    data.write_bytes(bytes(block))
    out = run_limited(f"Search(sys.argv[1], None).get({doc_id!r}).content", tmp_path)
    assert out.startswith("ValueError Failed to decompress document content: ")
