import pathlib

import pytest

import tarnwick
import tarnwick.native as native

EXCEPTIONS = [
    "BincodeDecodeError",
    "BincodeEncodeError",
    "CompressException",
    "TryFromSliceException",
    "UlidDecodeError",
    "UlidMonotonicError",
    "UnknownLogOperation",
]


def test_module_registers_classes_then_exceptions_in_order():
    public = [name for name in vars(native) if not name.startswith("__")]
    assert public == ["Result", "Search", "Document", *EXCEPTIONS]
    assert not hasattr(native, "TomlDeserializeException")
    for name in public:
        assert getattr(tarnwick, name) is getattr(native, name)


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exception_types_are_plain_exception_subclasses(name):
    cls = getattr(native, name)
    assert cls.__bases__ == (Exception,)
    assert cls.__module__ == "crate"
    assert cls.__name__ == name
    assert cls.__doc__ is None


@pytest.mark.parametrize("cls", [native.Document, native.Result])
def test_value_classes_cannot_be_instantiated(cls):
    with pytest.raises(TypeError):
        cls()


def test_docstrings_carry_text_signatures():
    assert native.Search.__text_signature__ == "(dir, config)"
    expected = {
        "add": "($self, doc)",
        "get": "($self, id)",
        "delete": "($self, id)",
        "search": "($self, query, top_k)",
        "flush": "($self)",
        "merge": "($self)",
    }
    for method, signature in expected.items():
        assert getattr(native.Search, method).__text_signature__ == signature


def test_constructor_accepts_str_and_path_like_by_position_or_keyword(tmp_path):
    native.Search(str(tmp_path / "a"), None)
    native.Search(tmp_path / "b", config=None)
    native.Search(dir=pathlib.PurePosixPath(tmp_path / "c"), config=None)


class _BytesPath:
    def __fspath__(self):
        return b"/tmp/x"


@pytest.mark.parametrize(
    "args, kwargs, error, name",
    [
        (("d",), {}, TypeError, "config"),
        ((), {"config": None}, TypeError, "dir"),
        ((b"/tmp/x", None), {}, TypeError, "dir"),
        ((_BytesPath(), None), {}, TypeError, "dir"),
        ((5, None), {}, TypeError, "dir"),
        (("d", 5), {}, TypeError, "config"),
        (("d", b"c.toml"), {}, TypeError, "config"),
        (("d\0x", None), {}, ValueError, "dir"),
    ],
)
def test_constructor_argument_errors_name_the_argument(args, kwargs, error, name):
    with pytest.raises(error, match=name):
        native.Search(*args, **kwargs)


def test_constructor_refuses_surplus_arguments(tmp_path):
    with pytest.raises(TypeError):
        native.Search(str(tmp_path), None, None)
    with pytest.raises(TypeError):
        native.Search(str(tmp_path), None, extra=1)


@pytest.mark.parametrize(
    "call, name, error",
    [
        (lambda s: s.add(b"text"), "doc", TypeError),
        (lambda s: s.add(), "doc", TypeError),
        (lambda s: s.get(5), "id", TypeError),
        (lambda s: s.delete(None), "id", TypeError),
        (lambda s: s.search(b"q", 1), "query", TypeError),
        (lambda s: s.search("q", -1), "top_k", OverflowError),
        (lambda s: s.search("q", 2**32), "top_k", OverflowError),
        (lambda s: s.search("q", 1.5), "top_k", TypeError),
        (lambda s: s.search("q"), "top_k", TypeError),
    ],
)
def test_method_argument_errors_name_the_argument(tmp_path, call, name, error):
    engine = native.Search(str(tmp_path), None)
    with pytest.raises(error, match=name):
        call(engine)
