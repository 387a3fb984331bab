"""The extension module, the bigjson submodule, and how every call binds and converts its arguments."""

import inspect
import pathlib
import subprocess
import sys
import textwrap
import types

import pytest

import tovak
import tovak.lib
import tovak.lib._tovak as ext

bigjson = ext.bigjson

PUBLIC_NAMES = ["count", "schema", "load", "iter_records", "RecordIterator"]

PARAMETERS = {
    "count": ("path", "format"),
    "schema": ("path", "sample", "format"),
    "load": ("path", "format"),
    "iter_records": ("path", "format"),
}

SIGNATURES = {
    "count": "(path, format=None)",
    "schema": "(path, sample=100, format=None)",
    "load": "(path, format=None)",
    "iter_records": "(path, format=None)",
}

DOC_FIRST_LINES = {
    "count": "Count the number of top-level records in a JSON or JSONL file.",
    "schema": "Infer the structure of the records in a JSON / JSONL file.",
    "load": "Load a JSON / JSONL file fully into memory and return it as a Python object.",
    "iter_records": "Return a lazy iterator over the records of a JSON / JSONL file.",
}

MODULE_DOC = (
    "The native extension module. Compiled as `tovak.lib._tovak`.\n"
    "\n"
    "`lib` stays intentionally thin: it only delegates to the `api`\n"
    "module tree, where each feature area registers its own functions\n"
    "and submodules."
)


@pytest.fixture(params=list(PARAMETERS))
def name(request):
    if not hasattr(bigjson, request.param):
        pytest.skip(f"{request.param} is not registered yet")
    return request.param


@pytest.fixture
def function(name):
    return getattr(bigjson, name)


@pytest.fixture
def missing(tmp_path):
    """A path with a deciding suffix whose file does not exist."""
    return str(tmp_path / "a.json")


class Wrapper:
    class Name:
        """A nested class: cast errors name it by its qualified name."""


class TextSubclass(str):
    pass


# ---------------------------------------------------------------------------------------------------
# Module and registration


def test_extension_module():
    assert ext.__all__ == ["bigjson"]
    assert ext.__doc__ == MODULE_DOC
    assert ext.bigjson is sys.modules["tovak.bigjson"]


def test_submodule_is_a_plain_module():
    assert type(bigjson) is types.ModuleType
    assert bigjson.__name__ == "bigjson"
    assert bigjson.__doc__ is None


def test_public_names_in_registration_order():
    listed = bigjson.__all__
    assert set(listed) <= set(PUBLIC_NAMES)
    assert listed == [n for n in PUBLIC_NAMES if n in listed]
    assert "count" in listed
    for public in PUBLIC_NAMES:
        assert (public in listed) == hasattr(bigjson, public)
    if len(listed) == len(PUBLIC_NAMES):
        assert listed == PUBLIC_NAMES


def test_import_forms_reach_the_same_submodule():
    import tovak.bigjson
    from tovak import bigjson as imported

    assert tovak.bigjson is bigjson
    assert imported is bigjson


def test_function_objects(name, function):
    assert type(function) is types.BuiltinFunctionType
    assert function.__name__ == name
    assert function.__module__ == "bigjson"
    assert function.__self__ is bigjson


def test_signature(name, function):
    assert function.__text_signature__ == SIGNATURES[name]
    signature = inspect.signature(function)
    assert str(signature) == SIGNATURES[name]
    assert tuple(signature.parameters) == PARAMETERS[name]
    assert {p.kind for p in signature.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_docstring_begins_after_the_signature(name, function):
    assert function.__doc__.startswith(DOC_FIRST_LINES[name] + "\n")


def test_panic_exception_is_not_reachable():
    for module in (tovak, tovak.lib, ext, bigjson):
        assert not hasattr(module, "PanicException")
    assert "pyo3_runtime" not in sys.modules


REEXECUTE = textwrap.dedent(
    """
    import sys
    import tovak.lib._tovak as first

    old = first.bigjson
    old_functions = {n: getattr(old, n) for n in old.__all__ if n != "RecordIterator"}
    del sys.modules["tovak.lib._tovak"], sys.modules["tovak.bigjson"]
    import tovak.lib._tovak as second

    new = second.bigjson
    assert second is not first
    assert second.__all__ == ["bigjson"], second.__all__
    assert new is not old and sys.modules["tovak.bigjson"] is new
    assert new.__all__ == old.__all__, (new.__all__, old.__all__)
    for n, f in old_functions.items():
        assert getattr(new, n) is not f, n
        assert getattr(new, n).__self__ is new, n
    if "RecordIterator" in old.__all__:
        assert new.RecordIterator is old.RecordIterator
    assert new.count(sys.argv[1]) == old.count(sys.argv[1]) == 2
    """
)


def test_reexecution_builds_a_new_submodule(tmp_path):
    data = tmp_path / "two.jsonl"
    data.write_text('{"a": 1}\n{"a": 2}\n')
    done = subprocess.run(
        [sys.executable, "-c", REEXECUTE, str(data)], cwd=tmp_path, capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr


# ---------------------------------------------------------------------------------------------------
# Binding


# Placeholders filled in per function: one positional argument more than it takes, and the missing file.
TOO_MANY = object()
MISSING = object()


def fill(values, name, missing):
    out = []
    for value in values:
        if value is TOO_MANY:
            out.extend([None] * len(PARAMETERS[name]))
        else:
            out.append(missing if value is MISSING else value)
    return out


MISSING_PATH = "{name}() missing 1 required positional argument: 'path'"
TAKES = "{name}() takes from 1 to {n} positional arguments but {given} were given"
UNEXPECTED = "{name}() got an unexpected keyword argument '{keyword}'"
MULTIPLE = "{name}() got multiple values for argument '{keyword}'"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        pytest.param((), {}, MISSING_PATH, id="nothing"),
        pytest.param((), {"format": "json"}, MISSING_PATH, id="only-format"),
        pytest.param((MISSING, TOO_MANY), {}, TAKES, id="too-many"),
        # Too many positionals is reported before any keyword is looked at.
        pytest.param((MISSING, TOO_MANY), {"bogus": 1}, TAKES, id="too-many-and-keyword"),
        pytest.param((MISSING,), {"path": "b.json"}, MULTIPLE, id="path-twice"),
        pytest.param((MISSING,), {"Format": "json"}, UNEXPECTED, id="case-sensitive"),
        pytest.param((MISSING,), {"fmt": "json"}, UNEXPECTED, id="unknown"),
        pytest.param((), {"PATH": "a.json"}, UNEXPECTED, id="unknown-before-missing-path"),
        # Keywords are taken in the order given.
        pytest.param((MISSING,), {"bogus": 1, "path": "b.json"}, UNEXPECTED, id="unknown-first"),
        pytest.param((MISSING,), {"path": "b.json", "bogus": 1}, MULTIPLE, id="twice-first"),
        # Binding fails before any conversion.
        pytest.param((b"a.json",), {"bogus": 1}, UNEXPECTED, id="before-conversion"),
        pytest.param((), {"path\x00": "a.json"}, UNEXPECTED, id="nul-in-keyword"),
        pytest.param((MISSING,), {"": 1}, UNEXPECTED, id="empty-keyword"),
        pytest.param((MISSING,), {"fórmat": "json"}, UNEXPECTED, id="non-ascii-keyword"),
        pytest.param((MISSING,), {TextSubclass("path"): "b.json"}, MULTIPLE, id="str-subclass-keyword"),
    ],
)
def test_binding_errors(name, function, missing, args, kwargs, message):
    args = fill(args, name, missing)
    keyword = next(iter(kwargs), None)
    expected = message.format(name=name, n=len(PARAMETERS[name]), given=len(args), keyword=keyword)
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert caught.value.args == (expected,)
    assert not hasattr(caught.value, "__notes__")


def test_format_given_twice(name, function, missing):
    position = PARAMETERS[name].index("format")
    args = (missing,) + (None,) * (position - 1) + ("json",)
    with pytest.raises(TypeError) as caught:
        function(*args, format="json")
    assert caught.value.args == (f"{name}() got multiple values for argument 'format'",)


@pytest.mark.parametrize("keyword", ["\ud800", "x\udfffy", "pa\udc80th"])
def test_keyword_without_utf8_form(function, name, keyword):
    with pytest.raises(TypeError) as caught:
        function("a.json", **{keyword: 1})
    assert str(caught.value).startswith(f"{name}() got an unexpected keyword argument '")


def test_keyword_as_str_subclass(function, missing):
    with pytest.raises(ValueError, match="^cannot open "):
        function(**{TextSubclass("path"): missing, TextSubclass("format"): "json"})


def test_keywords_bind_like_positionals(tmp_path):
    data = tmp_path / "rows.txt"
    data.write_bytes(b"[1, 2, 3]\n")
    path = str(data)
    results = {
        bigjson.count(path),
        bigjson.count(path, None),
        bigjson.count(path, format=None),
        bigjson.count(path=path),
        bigjson.count(format=None, path=path),
        bigjson.count(format="auto", path=path),
    }
    assert results == {3}
    assert bigjson.count(path, "jsonl") == bigjson.count(format="jsonl", path=path) == 1


# ---------------------------------------------------------------------------------------------------
# Conversion


@pytest.mark.parametrize(
    "args, kwargs, message, parameter",
    [
        pytest.param((b"a.json",), {}, "'bytes' object is not an instance of 'str'", "path", id="bytes"),
        pytest.param((bytearray(b"a"),), {}, "'bytearray' object is not an instance of 'str'", "path", id="bytearray"),
        pytest.param((pathlib.PurePosixPath("a.json"),), {}, "'PurePosixPath' object is not an instance of 'str'",
                     "path", id="path-object"),
        pytest.param((None,), {}, "'None' is not an instance of 'str'", "path", id="none"),
        pytest.param((1,), {}, "'int' object is not an instance of 'str'", "path", id="int"),
        pytest.param((Wrapper.Name(),), {}, "'Wrapper.Name' object is not an instance of 'str'", "path",
                     id="qualified-name"),
        pytest.param((MISSING,), {"format": 1}, "'int' object is not an instance of 'str'", "format", id="format-int"),
        pytest.param((MISSING,), {"format": b"json"}, "'bytes' object is not an instance of 'str'", "format",
                     id="format-bytes"),
        pytest.param((MISSING,), {"format": ["json"]}, "'list' object is not an instance of 'str'", "format",
                     id="format-list"),
        # Conversion stops at the first failing parameter.
        pytest.param((b"x",), {"format": 1}, "'bytes' object is not an instance of 'str'", "path", id="path-first"),
    ],
)
def test_conversion_errors(name, function, missing, args, kwargs, message, parameter):
    with pytest.raises(TypeError) as caught:
        function(*fill(args, name, missing), **kwargs)
    assert caught.value.args == (message,)
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]


def test_platform_path_object(function, missing):
    path = pathlib.Path(missing)
    with pytest.raises(TypeError) as caught:
        function(path)
    assert caught.value.args == (f"'{type(path).__qualname__}' object is not an instance of 'str'",)
    assert caught.value.__notes__ == ["while processing 'path'"]


@pytest.mark.parametrize(
    "path, format, parameter",
    [("\ud800", None, "path"), ("a\udfff.json", "json", "path"), ("a.json", "js\ud800on", "format"),
     ("\ud800", 1, "path")],
)
def test_text_without_utf8_form(function, path, format, parameter):
    with pytest.raises(UnicodeEncodeError) as caught:
        function(path, format=format)
    assert caught.value.encoding == "utf-8"
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]


def test_str_subclass_is_accepted(function, missing):
    with pytest.raises(ValueError) as caught:
        function(TextSubclass(missing), format=TextSubclass("json"))
    assert str(caught.value).startswith(f"cannot open {missing}: ")


@pytest.mark.parametrize(
    "sample, error",
    [(-1, OverflowError), (2**64, OverflowError), (None, TypeError), (1.5, TypeError), ("1", TypeError)],
)
def test_sample_conversion_errors(missing, sample, error):
    if not hasattr(bigjson, "schema"):
        pytest.skip("schema is not registered yet")
    with pytest.raises(error) as caught:
        bigjson.schema(missing, sample=sample)
    assert caught.value.__notes__ == ["while processing 'sample'"]


def test_sample_conversion_follows_path():
    if not hasattr(bigjson, "schema"):
        pytest.skip("schema is not registered yet")
    with pytest.raises(TypeError) as caught:
        bigjson.schema(b"x", sample=-1)
    assert caught.value.__notes__ == ["while processing 'path'"]


@pytest.mark.parametrize(
    "make_target",
    [lambda d: d / "missing.txt", lambda d: d / "missing.json", lambda d: d],
    ids=["missing-sniffed", "missing-by-suffix", "directory"],
)
@pytest.mark.parametrize(
    "kwargs, error",
    [({"format": 1}, TypeError), ({"format": "\ud800"}, UnicodeEncodeError)],
    ids=["format-int", "format-surrogate"],
)
def test_no_file_is_touched_before_the_arguments_are_valid(function, tmp_path, make_target, kwargs, error):
    with pytest.raises(error):
        function(str(make_target(tmp_path)), **kwargs)


def test_unknown_format_is_reported_before_the_file(function, tmp_path):
    for target in (tmp_path / "missing.txt", tmp_path):
        with pytest.raises(ValueError, match="^unknown format "):
            function(str(target), format="xml")


# ---------------------------------------------------------------------------------------------------
# Raised failures


@pytest.mark.parametrize(
    "call",
    [
        lambda d: bigjson.count(),
        lambda d: bigjson.count(str(d / "a.json"), fmt=1),
        lambda d: bigjson.count(b"a.json"),
        lambda d: bigjson.count(str(d / "a.json"), format="xml"),
        lambda d: bigjson.count(str(d / "a.json")),
        lambda d: bigjson.count(str(d)),
        lambda d: bigjson.count(str(d), format="json"),
    ],
    ids=["missing-argument", "unexpected-keyword", "cast", "unknown-format", "cannot-open", "cannot-read",
         "read-error"],
)
def test_exception_args_hold_only_the_message(tmp_path, call):
    with pytest.raises((TypeError, ValueError, RuntimeError)) as caught:
        call(tmp_path)
    assert isinstance(caught.value.args, tuple)
    assert len(caught.value.args) == 1
    assert caught.value.args == (str(caught.value),)
