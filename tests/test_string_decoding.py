"""Strings with non-ASCII text are built as the json module builds them, whatever their width and layout."""

import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tovak
from conftest import write_test_file
from tovak import bigjson

pytestmark = pytest.mark.skipif(not hasattr(bigjson, "load"), reason="load not built")

# One character of each UTF-8 length and str width, and the lone surrogates that only the package's
# functions keep (as the json module does).
WIDE = ["é", "\u00ff", "\u0100", "\u07ff", "€", "\uffff", "😀", "\U0010ffff"]
SURROGATES = ["\ud800", "\udbff", "\udc00", "\udfff"]


def load_both(tmp_path, value):
    """The value loaded by both surfaces from its UTF-8 JSON text."""
    text = json.dumps(value, ensure_ascii=False)
    path = write_test_file(tmp_path, "strings.json", text.encode("utf-8"))
    return tovak.load(text.encode("utf-8")), bigjson.load(path, format="json")


@pytest.mark.parametrize("wide", WIDE)
def test_ascii_runs_of_every_length_around_a_wide_character(tmp_path, wide):
    # ASCII runs go 16 bytes at a time: every run length against the block edges and the string's end.
    value = [
        "a" * before + wide + "b" * after + wide * repeat
        for before in range(34)
        for after in (0, 1, 15, 16, 17, 40)
        for repeat in (0, 1, 3)
    ]
    package, fixed = load_both(tmp_path, value)
    assert package == value
    assert fixed == value


@pytest.mark.parametrize("two_byte", ["é", "ж", "\u07ff"])
@pytest.mark.parametrize("widest", ["", "\u00ff", "€", "😀"])
def test_runs_of_two_byte_characters(tmp_path, two_byte, widest):
    # Two-byte characters in a row go eight at a time: every run length, after any ASCII, in each width.
    value = [
        "a" * before + two_byte * run + tail + widest
        for before in (0, 1, 7, 16)
        for run in range(20)
        for tail in ("", "b", "b" * 17, "😀é")
    ]
    package, fixed = load_both(tmp_path, value)
    assert package == value
    assert fixed == value


@pytest.mark.parametrize("three_byte", ["\u0800", "日", "\uffff"])
@pytest.mark.parametrize("other", ["a", "é", "😀", "日"])
def test_runs_of_three_byte_characters(tmp_path, three_byte, other):
    # Three-byte characters in a row go in a loop of their own: every run length, ended by any other
    # width or by the string's end, as values and as keys.
    value = {
        "a" * before + three_byte * run + other * after: run
        for before in (0, 1, 16)
        for run in range(1, 20)
        for after in (0, 1, 2)
    }
    package, fixed = load_both(tmp_path, value)
    assert package == value
    assert fixed == value


@pytest.mark.parametrize("surrogate", SURROGATES)
@pytest.mark.parametrize("before", [0, 1, 15, 16, 17, 33])
def test_lone_surrogates_kept_with_text_around(surrogate, before):
    value = ["x" * before + surrogate + "é" + "y" * before, surrogate * 3 + "z" * 20]
    text = json.dumps(value)  # escapes: a lone surrogate has no UTF-8 form
    assert tovak.load(text.encode()) == json.loads(text) == value


pieces = st.one_of(
    st.text(alphabet=st.characters(max_codepoint=0x7F), max_size=40),
    st.text(alphabet=st.characters(max_codepoint=0xFF), max_size=20),
    st.text(alphabet=st.characters(max_codepoint=0xFFFF, exclude_categories=("Cs",)), max_size=20),
    st.text(max_size=20),
    st.sampled_from(SURROGATES),
)


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(strings=st.lists(st.lists(pieces, max_size=8).map("".join), min_size=1, max_size=8))
def test_mixed_strings_match_standard_library(strings):
    # Lone surrogates pass through the escaped text; the rest is raw UTF-8 (WTF-8 for surrogates is
    # what the parser writes for the escapes, so both spellings end in the same decoder).
    raw = json.dumps(strings, ensure_ascii=False).encode("utf-8", "surrogatepass")
    escaped = json.dumps(strings).encode()
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError:
        raw = escaped  # raw lone surrogates are not valid UTF-8 input
    for text in (raw, escaped):
        loaded = tovak.load(text)
        assert loaded == json.loads(text)  # a high and a low surrogate written in a row make one pair
        assert [type(s) for s in loaded] == [str] * len(strings)
