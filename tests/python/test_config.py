import pytest

import tarnwick.native as native


def toml_exception(excinfo):
    cls = excinfo.type
    assert cls.__name__ == "TomlDeserializeException"
    assert cls.__module__ == "crate"
    assert cls.__bases__ == (Exception,)
    assert len(excinfo.value.args) == 1
    return excinfo.value.args[0]


@pytest.mark.parametrize(
    "text",
    [
        "",
        "# nothing but a comment\n",
        'colour = "blue"\n',
        "segment_size = 0\nmerge_deleted_ratio = 1\nstop_words = []\n",
        "metadata_save_after_operations = 4294967295\n",
    ],
)
def test_valid_files_open(tmp_path, write_config, text):
    native.Search(str(tmp_path / "engine"), str(write_config(text)))


@pytest.mark.parametrize(
    "text, start, key",
    [
        ("metadata_save_after_operations = 4294967296\n", "TOML parse error at line 1, column 34",
         "metadata_save_after_operations"),
        ("\n\nsegment_size = -1\n", "TOML parse error at line 3, column 16", "segment_size"),
        ('segment_size = "50MiB"\n', "TOML parse error at line 1, column 16", "segment_size"),
        ("stop_words = [1]\n", "TOML parse error at line 1, column 15", "stop_words"),
    ],
)
def test_type_and_range_errors_say_which_key_and_where(tmp_path, write_config, text, start, key):
    with pytest.raises(Exception) as excinfo:
        native.Search(str(tmp_path / "engine"), write_config(text))
    message = toml_exception(excinfo)
    assert message.startswith(start)
    assert f"`{key}`" in message


@pytest.mark.parametrize("text", ["segment_size =\n", "a = 1\na = 2\n", "[x\n"])
def test_syntax_errors_start_with_the_position(tmp_path, write_config, text):
    with pytest.raises(Exception) as excinfo:
        native.Search(str(tmp_path / "engine"), write_config(text))
    assert toml_exception(excinfo).startswith("TOML parse error at line ")


def test_configuration_error_creates_nothing(tmp_path, write_config):
    engine_dir = tmp_path / "engine"
    with pytest.raises(Exception):
        native.Search(engine_dir, write_config("segment_size = true\n"))
    assert not engine_dir.exists()


def test_file_problems_raise_the_matching_os_error(tmp_path, write_config):
    with pytest.raises(FileNotFoundError) as missing:
        native.Search(str(tmp_path / "engine"), str(tmp_path / "missing.toml"))
    assert missing.value.args == ("No such file or directory (os error 2)",)
    with pytest.raises(IsADirectoryError, match=r"\(os error 21\)"):
        native.Search(str(tmp_path / "engine"), str(tmp_path))
    with pytest.raises(OSError, match="did not contain valid UTF-8") as latin1:
        native.Search(str(tmp_path / "engine"), write_config(b"stop_words = ['caf\xe9']\n"))
    assert type(latin1.value) is OSError


# The TOML 1.1 additions, each in a file that also replaces the stop words with "cat" alone.
@pytest.mark.parametrize(
    "text",
    [
        'stop_words = ["\\x63at", "\\e"]\n',
        'stop_words = ["c\\x61t"]\nmotd = "\\e[1mhello\\e[0m"\n',
        'extra = {\n  a = 1,\n  b = { c = [2, 3], },  # comment\n}\nstop_words = ["cat"]\n',
        'stop_words = ["cat"]\nextra = {a = 1,}\n',
        'alarm = 07:32\nstop_words = ["cat"]\n',
        'stop_words = ["cat"]\n[when]\nlocal = 1979-05-27 07:32\nzoned = 1979-05-27T07:32Z\n',
    ],
)
def test_toml_1_1_forms_are_read(tmp_path, write_config, text):
    engine = native.Search(tmp_path / "engine", write_config(text))
    doc_id = engine.add("the cat")
    assert engine.search("cat", 10) == []
    assert [hit.document.id for hit in engine.search("the", 10)] == [doc_id]
