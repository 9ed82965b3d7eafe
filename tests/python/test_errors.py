"""What an engine error looks like from Python: the whole message text, NUL characters included,
and the errno, strerror and filename of the OSError subclasses."""

import errno
import os

import pytest

from tarnwick.native import Search, UlidDecodeError


def query_error(engine, query):
    with pytest.raises(ValueError) as info:
        engine.search(query, 10)
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize(
    "query, lines",
    [
        ('"x"\0', ["found ''\\0'' at 3..4 expected "]),
        ('"x" \0', ["found ''\\0'' at 4..5 expected "]),
        (" \0", ["found ''\\0'' at 1..2 expected "]),
        ("x~5\0", ["Fuzziness must be less or equal to 2, but it is 5. at 1..3",
                   "found ''\\0'' at 3..4 expected "]),
        ("x\0y~~ z", ["found ''~'' at 4..5 expected "]),
        # The fuzziness error goes with the abandoned quoted alternative.
        ('"\0 x~9\0"~4', ["found ''\\0'' at 6..7 expected "]),
    ],
)
def test_query_messages_hold_the_whole_query_and_show_nul_escaped(tmp_path, query, lines):
    message = query_error(Search(tmp_path, None), query)
    head = f"Following query is invalid: '{query}'\n, "
    assert message.startswith(head)
    shown = message[len(head) :].split("\n")
    assert len(shown) == len(lines)
    for line, start in zip(shown, lines):
        assert line.startswith(start)


def test_nul_is_an_ordinary_word_character(tmp_path):
    engine = Search(tmp_path, None)
    engine.add("cat")
    assert engine.search("\0", 10) == []
    assert engine.search("cat~ \0", 10) == []


def test_ids_with_nul_are_refused_by_their_reason(tmp_path):
    engine = Search(tmp_path, None)
    doc_id = engine.add("cat")
    for bad, reason in [
        ("\0" * 26, "invalid character"),
        (doc_id[:13] + "\0" + doc_id[14:], "invalid character"),
        (doc_id + "\0", "invalid length"),
    ]:
        with pytest.raises(UlidDecodeError) as info:
            engine.get(bad)
        assert info.value.args == (reason,)


def test_toml_message_runs_past_a_nul_in_the_file(tmp_path, write_config):
    with pytest.raises(Exception) as info:
        Search(tmp_path / "engine", write_config(b"a = 1\nsegment_size = 1\0\nb = 2\n"))
    [message] = info.value.args
    assert message.startswith("TOML parse error at line 2, column 17\n")
    caret, description = message.split("segment_size = 1\0\n")[1].split("\n", 1)
    assert caret == "  |" + " " * 17 + "^"
    assert description.strip()


def expect_os_error(error, number, message, filename):
    assert error.args == (message,)
    assert error.errno == number
    assert error.strerror == message
    assert error.filename == filename
    assert error.filename2 is None
    assert str(error) == f"[Errno {number}] {message}: {filename!r}"


def test_engine_under_a_regular_file_names_the_path(tmp_path):
    regular = tmp_path / "file"
    regular.write_text("x")
    for engine_dir in (regular, regular / "engine"):
        with pytest.raises(NotADirectoryError) as info:
            Search(engine_dir, None)
        error = info.value
        assert isinstance(error.filename, str)
        assert os.path.commonpath([error.filename, engine_dir]) == str(engine_dir)
        expect_os_error(error, errno.ENOTDIR, "Not a directory (os error 20)", error.filename)


def test_configuration_file_problems_name_the_file(tmp_path):
    missing = tmp_path / "missing.toml"
    with pytest.raises(FileNotFoundError) as info:
        Search(tmp_path / "engine", missing)
    message = "No such file or directory (os error 2)"
    expect_os_error(info.value, errno.ENOENT, message, str(missing))
    with pytest.raises(IsADirectoryError) as info:
        Search(tmp_path / "engine", tmp_path)
    expect_os_error(info.value, errno.EISDIR, "Is a directory (os error 21)", str(tmp_path))


def test_undecodable_path_comes_back_as_os_fsdecode_gives_it(tmp_path):
    missing = os.path.join(tmp_path, os.fsdecode(b"caf\xe9.toml"))
    with pytest.raises(FileNotFoundError) as info:
        Search(tmp_path / "engine", missing)
    assert info.value.filename == missing
    assert os.fsencode(info.value.filename).endswith(b"caf\xe9.toml")


def saved_engine(directory):
    engine = Search(directory, None)
    engine.add("cat")
    engine.flush()
    [segment] = [p for p in directory.iterdir() if p.name.isdigit()]
    return segment


def test_directory_where_a_store_file_belongs_is_named(tmp_path):
    segment = saved_engine(tmp_path)
    deletions = segment / "del"
    deletions.unlink()
    deletions.mkdir()
    with pytest.raises(IsADirectoryError) as info:
        Search(tmp_path, None)
    expect_os_error(info.value, errno.EISDIR, "Is a directory (os error 21)", str(deletions))


def test_plain_os_error_carries_the_attributes_too(tmp_path):
    saved_engine(tmp_path)
    log = tmp_path / "index" / "index"
    log.unlink()
    log.mkdir()  # opens, but cannot be mapped
    with pytest.raises(OSError) as info:
        Search(tmp_path, None)
    error = info.value
    assert type(error) is OSError
    message = f"{os.strerror(error.errno)} (os error {error.errno})"
    expect_os_error(error, error.errno, message, str(log))


def test_errors_without_an_os_number_carry_only_the_message(tmp_path, write_config):
    engine = Search(tmp_path / "engine", None)
    doc_id = engine.add("cat")
    engine.flush()
    [segment] = [p for p in (tmp_path / "engine").iterdir() if p.name.isdigit()]
    (segment / "data").write_bytes(b"")  # the record now points past the end of its file
    with pytest.raises(OSError) as info:
        engine.get(doc_id).content
    with pytest.raises(OSError) as latin1:
        Search(tmp_path / "engine", write_config(b"stop_words = ['caf\xe9']\n"))
    for error, message in [
        (info.value, "failed to fill whole buffer"),
        (latin1.value, "stream did not contain valid UTF-8"),
    ]:
        assert type(error) is OSError
        assert error.args == (message,)
        assert (error.errno, error.strerror, error.filename) == (None, None, None)
        assert str(error) == message
