"""The JSON parser as `load(path, format="json")` shows it: values, number forms, key order, error texts."""

import gc
import json
import math
import struct
import sys
import sysconfig
from decimal import Decimal, localcontext

import pytest
from conftest import run_threads, write_test_file
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import tovak
from tovak import bigjson

pytestmark = pytest.mark.skipif(not hasattr(bigjson, "load"), reason="load not built")

U64_MAX = 2**64 - 1
I64_MIN = -(2**63)
DBL_MAX = 1.7976931348623157e308


def load_bytes(path, content):
    return bigjson.load(write_test_file(path.parent, path.name, content), format="json")


@pytest.fixture
def load(tmp_path):
    counter = iter(range(1_000_000))
    return lambda content: load_bytes(tmp_path / f"case{next(counter)}.json", content)


@pytest.fixture(scope="module")
def load_many(tmp_path_factory):
    """For property tests: one file, rewritten for each example."""
    path = tmp_path_factory.mktemp("parser") / "example.json"
    return lambda content: load_bytes(path, content)


def bits(x):
    return struct.pack("<d", x)


def same(a, b):
    """Equal with the same types, floats bit for bit, dict keys in the same order."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return bits(a) == bits(b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def utf8_sorted(d):
    """The dict with its keys in ascending UTF-8 byte order, recursively."""
    if isinstance(d, dict):
        return {k: utf8_sorted(d[k]) for k in sorted(d, key=lambda k: k.encode("utf-8"))}
    if isinstance(d, list):
        return [utf8_sorted(x) for x in d]
    return d


# --- errors ----------------------------------------------------------------------------------------

CONTROL = "control character (\\u0000-\\u001F) found while parsing a string"

ERRORS = [
    # end of text
    ("", "EOF while parsing a value", 1, 0),
    ("   ", "EOF while parsing a value", 1, 3),
    ("\n", "EOF while parsing a value", 2, 0),
    ("[", "EOF while parsing a list", 1, 1),
    ("[1", "EOF while parsing a list", 1, 2),
    ("[1,2", "EOF while parsing a list", 1, 4),
    ("[1,", "EOF while parsing a value", 1, 3),
    ("[1,\n", "EOF while parsing a value", 2, 0),
    ("{", "EOF while parsing an object", 1, 1),
    ('{"a"', "EOF while parsing an object", 1, 4),
    ('{"a" ', "EOF while parsing an object", 1, 5),
    ('{"a":', "EOF while parsing a value", 1, 5),
    ('{"a":1', "EOF while parsing an object", 1, 6),
    ('{"a":1,', "EOF while parsing a value", 1, 7),
    ('"abc', "EOF while parsing a string", 1, 4),
    ('"\\', "EOF while parsing a string", 1, 2),
    ('"\\u12', "EOF while parsing a string", 1, 5),
    ('"\\u12"', "EOF while parsing a string", 1, 6),
    ('"\\ud83d', "EOF while parsing a string", 1, 7),
    ('"\\ud83d\\', "EOF while parsing a string", 1, 8),
    ('"\\ud83d\\u', "EOF while parsing a string", 1, 9),
    ('"\\ud83d\\ude0', "EOF while parsing a string", 1, 12),
    ("nul", "EOF while parsing a value", 1, 3),
    ("tr", "EOF while parsing a value", 1, 2),
    ("fals", "EOF while parsing a value", 1, 4),
    ("-", "EOF while parsing a value", 1, 1),
    ("1.", "EOF while parsing a value", 1, 2),
    ("1e", "EOF while parsing a value", 1, 2),
    ("1E+", "EOF while parsing a value", 1, 3),
    ("1e-", "EOF while parsing a value", 1, 3),
    # separators
    ('{"a" 1}', "expected `:`", 1, 6),
    ('{"a"x', "expected `:`", 1, 5),
    ('{"a",1}', "expected `:`", 1, 5),
    ("[1 2]", "expected `,` or `]`", 1, 4),
    ("[1}", "expected `,` or `]`", 1, 3),
    ('{"a":1 "b":2}', "expected `,` or `}`", 1, 8),
    ('{"a":1]', "expected `,` or `}`", 1, 7),
    # literals
    ("nux", "expected ident", 1, 3),
    ("trux", "expected ident", 1, 4),
    ("fx", "expected ident", 1, 2),
    ("tRUE", "expected ident", 1, 2),
    ("[nulL]", "expected ident", 1, 5),
    # values
    ("NaN", "expected value", 1, 1),
    ("Infinity", "expected value", 1, 1),
    ("[1,,2]", "expected value", 1, 4),
    ("[,1]", "expected value", 1, 2),
    ('{"a":}', "expected value", 1, 6),
    ('{"a":]', "expected value", 1, 6),
    ("+1", "expected value", 1, 1),
    (".5", "expected value", 1, 1),
    ("'a'", "expected value", 1, 1),
    ("x", "expected value", 1, 1),
    ("\f1", "expected value", 1, 1),
    ("  \f1", "expected value", 1, 3),
    ("\v1", "expected value", 1, 1),
    ("\u00a01", "expected value", 1, 1),
    ("\n\n  x", "expected value", 3, 3),
    # escapes
    ('"\\x"', "invalid escape", 1, 3),
    ('"\\U0041"', "invalid escape", 1, 3),
    ('"\\\'"', "invalid escape", 1, 3),
    ('"\\é"', "invalid escape", 1, 3),
    ('["\\u12"]', "invalid escape", 1, 8),
    ('"\\u12x4"', "invalid escape", 1, 7),
    ('"\\uGGGG"', "invalid escape", 1, 7),
    ('"\\ud83d\\uzzzz"', "invalid escape", 1, 13),
    # numbers
    ("01", "invalid number", 1, 2),
    ("00", "invalid number", 1, 2),
    ("-01", "invalid number", 1, 3),
    ("-a", "invalid number", 1, 2),
    ("[-]", "invalid number", 1, 3),
    ("- 1", "invalid number", 1, 2),
    ("1.x", "invalid number", 1, 3),
    ("1.e5", "invalid number", 1, 3),
    ("[1.]", "invalid number", 1, 4),
    ("1ex", "invalid number", 1, 3),
    ("1e+x", "invalid number", 1, 4),
    ("1e+-1", "invalid number", 1, 4),
    ("1e400", "number out of range", 1, 5),
    ("-1e400", "number out of range", 1, 6),
    ("[1e309]", "number out of range", 1, 6),
    ("1.7976931348623159e308", "number out of range", 1, 22),
    ("1" + "0" * 400, "number out of range", 1, 401),
    ("0.0000000001e319", "number out of range", 1, 16),
    ("1e2147483647", "number out of range", 1, 12),
    ("1e2147483648", "number out of range", 1, 12),
    ("1e21474836470000", "number out of range", 1, 13),
    ("-0.5E+99999999999", "number out of range", 1, 16),
    # strings
    ('"a\nb"', CONTROL, 2, 0),
    ('"\x00"', CONTROL, 1, 2),
    ('"\x1f"', CONTROL, 1, 2),
    ('"tab\there"', CONTROL, 1, 5),
    ('{"k\r":1}', CONTROL, 1, 4),
    # keys
    ("{1:2}", "key must be a string", 1, 2),
    ("{,}", "key must be a string", 1, 2),
    ("{'a':1}", "key must be a string", 1, 2),
    ('{"a":1,,}', "key must be a string", 1, 8),
    ('{"a":1,]', "key must be a string", 1, 8),
    ("{{}}", "key must be a string", 1, 2),
    # surrogates
    ('"\\ude00"', "lone leading surrogate in hex escape", 1, 7),
    ('"\\ud83d\\u0041"', "lone leading surrogate in hex escape", 1, 13),
    ('"\\ud83d\\ud83d"', "lone leading surrogate in hex escape", 1, 13),
    ('"\\ud83dx"', "unexpected end of hex escape", 1, 8),
    ('"\\ud83d"', "unexpected end of hex escape", 1, 8),
    ('"\\ud83d\\n"', "unexpected end of hex escape", 1, 9),
    # commas and what follows the value
    ("[1,]", "trailing comma", 1, 4),
    ('{"a":1,}', "trailing comma", 1, 8),
    ("[1, \n\t]", "trailing comma", 2, 2),
    ('["é",]', "trailing comma", 1, 7),
    ('["e",]', "trailing comma", 1, 6),
    ('["😀",]', "trailing comma", 1, 9),
    ('["\\u00e9",]', "trailing comma", 1, 11),
    ("1 2", "trailing characters", 1, 3),
    ("[1]]", "trailing characters", 1, 4),
    ("{}x", "trailing characters", 1, 3),
    ("truex", "trailing characters", 1, 5),
    ("1\f", "trailing characters", 1, 2),
    ("1\n\n  //", "trailing characters", 3, 3),
    ('["é",\n"ü" x]', "expected `,` or `]`", 2, 6),
    # nesting
    ("[" * 128, "recursion limit exceeded", 1, 128),
    ("[" * 128 + "]" * 128, "recursion limit exceeded", 1, 128),
    ("[" * 127 + "{", "recursion limit exceeded", 1, 128),
    ('{"a":' * 127 + "{", "recursion limit exceeded", 1, 636),
    ("[" * 127, "EOF while parsing a list", 1, 127),
    ("[\n" * 200, "recursion limit exceeded", 128, 1),
    ("[" * 100_000, "recursion limit exceeded", 1, 128),
    ("[" * 100_000 + "]" * 100_000, "recursion limit exceeded", 1, 128),
]


@pytest.mark.parametrize("text, message, line, column", ERRORS, ids=[repr(e[0][:24]) for e in ERRORS])
def test_error_text_and_position(load, text, message, line, column):
    with pytest.raises(ValueError) as caught:
        load(text)
    assert caught.value.args == (f"invalid JSON: {message} at line {line} column {column}",)


@pytest.mark.parametrize("depth", [1, 2, 64, 126, 127])
@pytest.mark.parametrize("opener, closer", [("[", "]"), ('{"k":', "}")])
def test_nesting_up_to_127_parses(load, depth, opener, closer):
    value = load(opener * depth + "0" + closer * depth)
    for _ in range(depth):
        value = value[0] if isinstance(value, list) else value["k"]
    assert value == 0


def test_nesting_budget_is_given_back_on_close(load):
    chain = "[" * 126 + "]" * 126
    shorter = chain[1:-1]
    text = f'[{chain},{chain},{{"a":{shorter}}}]'
    assert load(text) == [json.loads(chain)] * 2 + [{"a": json.loads(shorter)}]


# --- white space and literals -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        (" \t\n\r1 \t\n\r", 1),
        ("\r\n[\r\n1\t,\t2 ]\n", [1, 2]),
        ('{ "a" : [ ] , "b" : { } }', {"a": [], "b": {}}),
        ("true", True),
        ("false", False),
        ("null", None),
        ("[true,false,null]", [True, False, None]),
        ("[]", []),
        ("{}", {}),
        ('""', ""),
    ],
)
def test_values_and_white_space(load, text, expected):
    assert same(load(text), expected)


# Strings whose length at one place of the records changes, stays, or ends in an escape, a non-ASCII
# byte or a control byte right where the last one there ended.
PLACE_STRINGS = ["abcde", "abcd\\n", "abcd\u00e9", "abcdé", "abcdef", "", "a" * 15, "a" * 16, "a" * 17, "é" * 7,
                 "\\u00e9bcde", 'ab\\"cd', "abcd\\\\", "abcdé" * 3]


@pytest.mark.parametrize("stride", [1, 2, 5])
def test_strings_changing_length_at_one_place(load, tovak_load, stride):
    rows = []
    for n in range(3 * len(PLACE_STRINGS)):
        pick = [PLACE_STRINGS[(n * stride + i) % len(PLACE_STRINGS)] for i in range(3)]
        rows.append('{"%s":"%s","k%s":["%s","%s"]}' % (pick[0], pick[1], pick[2], pick[2], pick[n % 2]))
    text = "[" + ",".join(rows) + "]"
    assert same(load(text), utf8_sorted(json.loads(text)))
    assert same(tovak_load(text.encode()), json.loads(text))
    # A control byte where the last string at that place ended.
    broken = text[: -1] + ',{"abcde":"abcd\x01"}]'
    with pytest.raises(ValueError, match=f"control character .* at line 1 column {len(broken.encode()) - 3}$"):
        load(broken)


# White-space runs that change length from one record to the next at every place of the structure: each
# record's indentation comes from the pattern, with all four white-space bytes and runs past 16 bytes.
SPACE_PATTERNS = [[2], [2, 2, 5], [0, 3], [1, 17, 1], [15, 16, 15, 40]]


@pytest.mark.parametrize("pattern", SPACE_PATTERNS)
@pytest.mark.parametrize("ending", ["", "x", "}", ",]"])
def test_white_space_changing_between_records(load, tovak_load, pattern, ending):
    def gap(n, salt):
        size = pattern[(n + salt) % len(pattern)]
        return "".join(" \n\t\r"[(n * 7 + salt + i) % 4] if i % 5 == 4 else " " for i in range(size))

    rows = []
    for n in range(40):
        row = {"id": n, "tags": [n, "a" * (n % 3)], "inner": {"k": None}}
        parts = [gap(n, i) for i in range(12)]
        rows.append(
            "{%s\"id\"%s:%s%d,%s\"tags\"%s:%s[%s%d%s,%s%s%s]%s,%s\"inner\":{%s\"k\"%s:%snull%s}%s}"
            % (parts[0], parts[1], parts[2], n, parts[3], parts[4], parts[5], parts[6], n, parts[7], parts[8],
               json.dumps(row["tags"][1]), parts[9], parts[10], parts[11], parts[0], parts[1], parts[2], parts[3], parts[4])
        )
    text = "[" + ",".join(rows) + gap(3, 5) + "]"
    assert same(load(text), utf8_sorted(json.loads(text)))
    assert same(tovak_load(text.encode()), json.loads(text))
    if ending:
        # A fault right after a run whose length was guessed from the runs before it: found at its place.
        broken = text[:-1] + gap(1, 2) + ending
        column = len(broken) - broken.rfind("\n") - 1
        line = broken.count("\n") + 1
        with pytest.raises(ValueError, match=f" at line {line} column {column}$"):
            load(broken)


def test_literals_are_the_singletons(load):
    value = load("[true,false,null]")
    assert value[0] is True and value[1] is False and value[2] is None


# --- numbers ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("0", 0),
        ("-0", -0.0),
        ("-0.0", -0.0),
        ("-0e5", -0.0),
        ("0.0", 0.0),
        ("1.0", 1.0),
        ("1e2", 100.0),
        ("1E+2", 100.0),
        ("1e-2", 0.01),
        ("9223372036854775807", 2**63 - 1),
        ("9223372036854775808", 2**63),
        ("18446744073709551615", U64_MAX),
        ("18446744073709551616", 18446744073709551616.0),
        ("99999999999999999999", 1e20),
        ("-1", -1),
        ("-9223372036854775807", -(2**63) + 1),
        ("-9223372036854775808", I64_MIN),
        ("-9223372036854775809", -9223372036854775809.0),
        ("-18446744073709551615", -18446744073709551615.0),
        ("123456789012345678901234567890", 1.2345678901234568e29),
        # underflow: subnormal or zero, never an error
        ("1e-400", 0.0),
        ("-1e-400", -0.0),
        ("4.9406564584124654e-324", 5e-324),
        ("2.4703282292062328e-324", 5e-324),
        ("2.4703282292062327e-324", 0.0),
        ("2.2250738585072011e-308", 2.225073858507201e-308),
        ("2.2250738585072014e-308", 2.2250738585072014e-308),
        ("1.7976931348623157e308", DBL_MAX),
        ("1.7976931348623158e308", DBL_MAX),
        # exponents whose digits overflow 32 bits
        ("1e-2147483648", 0.0),
        ("-5e-99999999999999", -0.0),
        ("0e99999999999999", 0.0),
        ("-0.000e+99999999999999", -0.0),
        ("0.0e2147483648", 0.0),
        ("[1e-99999999999,2]", [0.0, 2]),
        # digits beyond 19 and long fractions
        ("0." + "0" * 400 + "1e400", 0.1),
        ("1" + "0" * 300 + "e-300", 1.0),
        ("3.14159265358979323846264338327950288419716939937510", math.pi),
    ],
)
def test_number_forms(load, text, expected):
    assert same(load(text), expected)


@pytest.mark.parametrize("text", ["18446744073709551615", "9223372036854775808", "-9223372036854775808"])
def test_large_integers_are_exact(load, text):
    value = load(text)
    assert type(value) is int and value == int(text)


def test_largest_double_rounding_boundary(load):
    # The midpoint between the largest double and 2**1024 rounds (ties to even) to infinity.
    midpoint = Decimal(2**1024 - 2**970)
    below = f"{midpoint - 1:f}"
    assert load(below) == DBL_MAX
    with pytest.raises(ValueError, match=f"number out of range at line 1 column {len(str(midpoint))}$"):
        load(str(midpoint))


finite_doubles = st.floats(allow_nan=False, allow_infinity=False)


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=finite_doubles)
def test_shortest_repr_round_trips(load_many, value):
    assert bits(load_many(repr(value))) == bits(value)


@pytest.mark.parametrize(
    "text",
    ["1e22", "1e23", "1e-22", "1e-23", "9007199254740992e22", "9007199254740993e-22", "9007199254740993.0",
     "4.35679e-10", "123456789012345678e-5", "1234567890123456789e3", "0.0000000000000000000001", "8.5e22"],
)
def test_doubles_near_exact_shortcut_limits(load, text):
    assert bits(load(text)) == bits(float(text))


@settings(max_examples=400, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(significand=st.integers(0, 2**54), exponent=st.integers(-30, 30), negative=st.booleans())
def test_short_significands_are_correctly_rounded(load_many, significand, exponent, negative):
    text = f"{'-' if negative else ''}{significand}e{exponent}"
    assert bits(load_many(text)) == bits(float(text))


@pytest.mark.parametrize("integer_digits", [0, 1, 3, 4, 8, 9, 16])
@pytest.mark.parametrize("separator", [None, ",", "," + " " * 20])
def test_digit_runs_of_every_length(load, integer_digits, separator):
    # Digits are read in words of eight, sixteen while the kept significand has room: every run length
    # around those widths, with the text ending right after the number (one document each) or not.
    digits = "73019468250376154928"
    integer = digits[:integer_digits] if integer_digits else "0"
    numbers = [f"{integer}.{digits[:n]}" for n in range(1, 21)] + [digits[: n + 1] for n in range(19)]
    texts = [text for number in numbers for text in (f"-{number}", f"{number}e-3", number)]
    expected = [json.loads(text) for text in texts]
    got = [load(text) for text in texts] if separator is None else load("[" + separator.join(texts) + "]")
    assert same(got, expected)


def midpoint_text(value):
    """The exact decimal halfway between a positive double and the next one up."""
    upper = math.nextafter(value, math.inf)
    with localcontext(prec=2000):
        return f"{(Decimal(value) + Decimal(upper)) / 2:E}".replace("E+", "E")


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=st.floats(min_value=5e-324, max_value=1e300), sign=st.sampled_from(["", "-"]))
@example(value=5e-324, sign="-")
@example(value=2.0**53, sign="")
@example(value=0.1, sign="-")
def test_halfway_cases_round_to_even(load_many, value, sign):
    text = sign + midpoint_text(value)
    assert bits(load_many(text)) == bits(float(text))


def test_long_significands_of_both_signs_in_turn(load_many):
    # Coordinates: seventeen digits, signs as they come; each must keep its own sign and rounding.
    values = [(-1) ** (i * 7 // 3) * (i * 0.7390851332151607 + 1e-9 * i) for i in range(1, 400)]
    text = "[" + ",".join(repr(v) for v in values) + "]"
    assert [bits(v) for v in load_many(text)] == [bits(v) for v in values]


@settings(max_examples=400, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    sign=st.sampled_from(["", "-"]),
    integer=st.from_regex(r"0|[1-9][0-9]{0,40}", fullmatch=True),
    fraction=st.one_of(st.just(""), st.from_regex(r"\.[0-9]{1,40}", fullmatch=True)),
    exponent=st.one_of(st.just(""), st.builds("e{}{}".format, st.sampled_from(["", "+", "-"]), st.integers(0, 400))),
)
def test_doubles_are_correctly_rounded(load_many, sign, integer, fraction, exponent):
    text = sign + integer + fraction + exponent
    expected = float(text)
    if math.isinf(expected):
        with pytest.raises(ValueError, match=f"^invalid JSON: number out of range at line 1 column {len(text)}$"):
            load_many(text)
        return
    value = load_many(text)
    if not fraction and not exponent and I64_MIN <= int(text) <= U64_MAX and text != "-0":
        assert type(value) is int and value == int(text)
    else:
        assert type(value) is float and bits(value) == bits(expected)


# --- strings ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        (r'"\"\\\/\b\f\n\r\t"', '"\\/\b\f\n\r\t'),
        (r'"\u0000"', "\x00"),
        (r'"\u0041\u00e9\u00E9\u20ac"', "Aéé€"),
        (r'"\ud83d\ude00"', "😀"),
        (r'"\uD834\uDD1E"', "𝄞"),
        (r'"\ud7ff\ue000\uffff"', "\ud7ff\ue000\uffff"),
        ('"\x7f"', "\x7f"),
        ('"é€😀"', "é€😀"),
        ('"\u0080\u00ff\u0100\u07ff\u0800\uffff\U00010000\U0010ffff"', "\u0080\u00ff\u0100\u07ff\u0800\uffff\U00010000\U0010ffff"),
        (r'"a\u00e9b"', "aéb"),
        (r'"\u00e9\ud83d\ude00x"', "é😀x"),
    ],
)
def test_string_escapes(load, text, expected):
    assert load(text) == expected


SPECIALS = [
    ("\\n", "\n"),
    ("\\u00e9", "é"),
    ("\\ud83d\\ude00", "😀"),
    ("é", "é"),
    ("€", "€"),
    ("😀", "😀"),
    ("\x7f", "\x7f"),
]


@pytest.mark.parametrize("special, decoded", SPECIALS)
def test_string_content_at_every_offset(load, special, decoded):
    # Exercises the block-wise scan: the special piece lands at each offset of 16- and 8-byte blocks.
    for before in range(0, 40):
        for after in (0, 1, 17):
            got = load('"' + "a" * before + special + "b" * after + '"')
            assert got == "a" * before + decoded + "b" * after


@pytest.mark.parametrize("offset", range(0, 40))
@pytest.mark.parametrize("byte", ["\x00", "\x01", "\x1f", "\n"])
def test_control_character_at_every_offset(load, offset, byte):
    line, column = (2, 0) if byte == "\n" else (1, offset + 2)
    with pytest.raises(ValueError, match=rf"^invalid JSON: control character .* at line {line} column {column}$"):
        load('"' + "a" * offset + byte + "a" * 20 + '"')


@pytest.mark.parametrize("offset", [0, 7, 8, 15, 16, 31])
def test_quote_and_backslash_after_non_ascii(load, offset):
    text = "é" * offset + '\\"' + "ü" * offset
    assert load(f'["{text}", "{text}"]') == ['é' * offset + '"' + "ü" * offset] * 2


# --- objects ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ('{"b":1,"a":2,"b":3}', {"a": 2, "b": 3}),
        ('{"a":1,"a":2}', {"a": 2}),
        ('{"a":1,"\\u0061":2}', {"a": 2}),
        ('{"b":1,"a":2,"c":3,"a":4,"b":5}', {"a": 4, "b": 5, "c": 3}),
        ('{"":1,"a":{"z":0,"y":[{"d":1,"c":2}]}}', {"": 1, "a": {"y": [{"c": 2, "d": 1}], "z": 0}}),
        # UTF-8 byte order is code-point order: U+FFFF before U+1F600 (UTF-16 order would swap them)
        ('{"\U0001f600":1,"\uffff":2,"é":3,"z":4,"Z":5}', {"Z": 5, "z": 4, "é": 3, "\uffff": 2, "\U0001f600": 1}),
        ('{"ab":1,"a":2,"abc":3,"":4}', {"": 4, "a": 2, "ab": 1, "abc": 3}),
    ],
)
def test_keys_sorted_by_bytes_last_duplicate_wins(load, text, expected):
    assert same(load(text), expected)


@pytest.mark.parametrize("count", [2, 5, 6, 31, 32, 33, 64, 65, 200, 5000])
@pytest.mark.parametrize("in_order", [False, True])
def test_large_objects_with_duplicates(load, tovak_load, count, in_order):
    # Around the sizes where a dict's first table is outgrown and where sorted shapes stop being kept.
    pairs = [(f"k{(i * 7919) % count}é" * (1 + i % 3), i) for i in range(count)]
    if in_order:
        pairs.sort(key=lambda pair: pair[0].encode())
    pairs += [(k, -v) for k, v in pairs[::5]]
    text = "{" + ",".join(f"{json.dumps(k)}:{v}" for k, v in pairs) + "}"
    assert same(load(text), utf8_sorted(dict(pairs)))
    assert same(tovak_load(text.encode()), json.loads(text))


@pytest.mark.parametrize("key_size", [1, 63, 64, 65, 300])
def test_repeated_keys_across_objects(load, key_size):
    keys = [f"{i:0{key_size}d}"[-key_size:] + "é" * (i % 2) for i in range(3000)]
    records = [{k: i} for i, k in enumerate(keys)] * 2
    assert load(json.dumps(records)) == records


def test_long_keys_differing_in_one_byte(load):
    def key(i, c):
        return "k" * i + c + "k" * (59 - i)

    keys = [key(i, c) for i in range(0, 60, 3) for c in "ab"]
    records = [{k: n for n, k in enumerate(keys)}, {k: -n for n, k in enumerate(reversed(keys))}]
    assert same(load(json.dumps(records)), [utf8_sorted(r) for r in records])


SHARED_START_KEYS = [
    stem + tail
    for stem in ["", "a", "profile_", "profile_backgrou", "profile_background_"]
    for tail in ["", "\0", "\0\0", "a", "a\0", "é", "\uffff", "b" * 9, "\0b"]
]


@pytest.mark.parametrize("count", [3, 24, 25, len(SHARED_START_KEYS)])
@pytest.mark.parametrize("stride", [1, 7, 11])
def test_keys_sharing_a_start_or_trailing_nul(load, count, stride):
    # Keys equal in their first 8 or 16 bytes, or apart only by trailing NUL bytes, repeated in many
    # records so that later ones are served from the key cache.
    keys = [SHARED_START_KEYS[(i * stride) % len(SHARED_START_KEYS)] for i in range(count)]
    pairs = [(k, i) for i, k in enumerate(keys)] + [(k, -i) for i, k in enumerate(keys[::4])]
    text = "{" + ",".join(f"{json.dumps(k)}:{v}" for k, v in pairs) + "}"
    expected = utf8_sorted(dict(pairs))
    assert same(load(f"[{text},{text},{text}]"), [expected] * 3)


@pytest.mark.parametrize("size", [1, 15, 16, 17, 4096, 100_000])
def test_long_strings_with_escapes(load, size):
    pieces = ["a", r"\n", r"\u00e9", "é", r"\ud83d\ude00", "😀", r"\\", r"\"", "€", r"\u0000"]
    raw = "".join(pieces[(i * 7) % len(pieces)] for i in range(size))
    key = "".join(pieces[(i * 3) % len(pieces)] for i in range(min(size, 40)))
    text = f'["{raw}", {{"{key}": "{raw}", "{raw}": 1}}]'
    assert load(text) == json.loads(text)


# Keys whose closing quote falls on either side of the parser's 16-byte look at a key, near the end of
# the text or not, with a non-ASCII character or an escape at each place in that window.
KEY_WINDOW_PIECES = [("", ""), ("é", "é"), ("\\u00e9", "é"), ("\\n", "\n"), ('\\"', '"'), ("😀", "😀")]


@pytest.mark.parametrize("size", range(0, 21))
@pytest.mark.parametrize("piece, decoded", KEY_WINDOW_PIECES)
@pytest.mark.parametrize("tail", ["", " " * 20])
def test_keys_around_the_first_sixteen_bytes(load, tovak_load, size, piece, decoded, tail):
    keys = ["k" * at + piece + "k" * (size - at) for at in range(size + 1)]
    names = ["k" * at + decoded + "k" * (size - at) for at in range(size + 1)]
    for key, name in zip(keys, names):
        text = f'{{"z":0,"{key}":1{tail}}}'
        assert same(load(text), utf8_sorted({"z": 0, name: 1}))
        assert same(tovak_load(text.encode()), {"z": 0, name: 1})


@pytest.mark.parametrize("at", [0, 1, 14, 15, 16, 17])
@pytest.mark.parametrize("tail", ["", " " * 20])
def test_control_character_in_a_key(load, at, tail):
    text = '{"' + "k" * at + "\x01" + 'k":1' + tail + "}"
    with pytest.raises(ValueError, match=f"control character .* at line 1 column {at + 3}"):
        load(text)


@pytest.fixture(scope="module")
def tovak_load():
    import tovak

    return tovak.load


shape_keys = st.lists(st.sampled_from(["id", "name", "a", "b", "é", "type", "profile_background_x", ""]), min_size=1, max_size=8)


@settings(max_examples=150, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(shapes=st.lists(shape_keys, min_size=1, max_size=4), picks=st.lists(st.integers(0, 3), max_size=40),
       fillers=st.integers(0, 4000))
def test_object_shapes_between_key_evictions(load_many, tovak_load, shapes, picks, fillers):
    # Records of a few shapes (keys out of order, repeated), in both orders, then enough other keys to
    # evict theirs from the key cache, then the same records again, in two loads.
    def obj(pairs):
        return "{" + ",".join(f"{json.dumps(k)}:{v}" for k, v in pairs) + "}"

    rows = []
    for n, pick in enumerate(picks):
        pairs = [("n", n)] + [(k, i) for i, k in enumerate(shapes[pick % len(shapes)])]
        rows += [obj(pairs), obj(pairs[::-1])]
    filler = obj((f"f{i}x", i) for i in range(fillers))
    text = "[" + ",".join(rows + [filler] + rows) + "]"
    expected = json.loads(text)
    for _ in range(2):
        assert same(load_many(text), [utf8_sorted(r) for r in expected])
        assert same(tovak_load(text.encode()), expected)


# Keys of one head told apart only by their size or by bytes past the 16th.
LOOK_ALIKE_KEYS = ["a", "a\0", "a\0\0", "", "\0", "k" * 16, "k" * 16 + "x", "k" * 16 + "y", "k" * 15 + "\0", "é"]


@pytest.mark.parametrize("depth", [0, 1, 15, 16, 31])
@pytest.mark.parametrize("width", [1, 3, 33, 40])
def test_look_alike_keys_taking_turns_in_one_place(load, tovak_load, depth, width):
    # Records whose key in each place changes from one record to the next among look-alikes, nested at
    # depths and with as many keys as make places share what the parser remembers of them, and every few
    # records an object of fresh keys, so the key cache grows and evicts while the text is read.
    rows = []
    for n in range(4 * len(LOOK_ALIKE_KEYS)):
        rows.append({LOOK_ALIKE_KEYS[(n + i * (n % 3)) % len(LOOK_ALIKE_KEYS)] + "a" * (i // 10): i for i in range(width)})
        if n % 7 == 6:
            rows.append({f"f{n}_{j}": j for j in range(300)})
    value = rows
    for level in range(depth):
        value = {"d": value} if level % 2 else [value]
    text = json.dumps(value)
    assert same(load(text), utf8_sorted(json.loads(text)))
    assert same(tovak_load(text.encode()), json.loads(text))


def test_keys_the_key_cache_lets_go_of_are_held_by_their_objects_alone(load, tovak_load):
    # One object of more distinct keys than the key cache holds (it lets go of some while the object is
    # still open) and of keys too long to be kept: once the load returns, each key is referenced by its
    # object alone, or by it and the cache, as a fresh key of a dict made here is by the dict alone.
    keys = [f"k{i}" for i in range(6000)] + ["long" * 20 + str(i) for i in range(100)]
    text = json.dumps({k: i for i, k in enumerate(keys)})
    fresh = {"".join(["lo", "ng", str(i)]): i for i in range(3)}
    alone = min(sys.getrefcount(k) for k in fresh)
    for parse in (load, lambda text: tovak_load(text.encode())):
        got = parse(text)
        assert got == dict(zip(keys, range(len(keys))))
        counts = [sys.getrefcount(k) for k in got]
        assert min(counts) == alone and max(counts) <= alone + 1
        assert all(sys.getrefcount(k) == alone for k in got if len(k) > 64)
        del got


# --- against the standard library ------------------------------------------------------------------

json_keys = st.text(st.characters(codec="utf-8"), max_size=12)
json_scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=I64_MIN, max_value=U64_MAX)
    | finite_doubles
    | st.text(st.characters(codec="utf-8"), max_size=40)
)
json_values = st.recursive(
    json_scalars,
    lambda children: st.lists(children, max_size=6) | st.dictionaries(json_keys, children, max_size=6),
    max_leaves=40,
)
dump_options = st.sampled_from(
    [
        {},
        {"separators": (",", ":")},
        {"indent": 2},
        {"ensure_ascii": False},
        {"ensure_ascii": False, "indent": "\t"},
        {"ensure_ascii": False, "separators": (",", ":")},
    ]
)


@settings(max_examples=400, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=json_values, options=dump_options)
def test_matches_standard_library(load_many, value, options):
    text = json.dumps(value, **options)
    assert same(load_many(text), utf8_sorted(json.loads(text)))


@settings(max_examples=200, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pairs=st.lists(st.tuples(st.sampled_from(["a", "b", "é", "\uffff", "😀", "ab", ""]), st.integers(0, 9)), max_size=12))
def test_duplicate_keys_match_standard_library(load_many, pairs):
    text = "{" + ",".join(f"{json.dumps(k)}:{v}" for k, v in pairs) + "}"
    assert same(load_many(text), utf8_sorted(json.loads(text)))


# --- the objects handed back ------------------------------------------------------------------------


def containers(value):
    if isinstance(value, (list, dict)):
        yield value
        for child in value.values() if isinstance(value, dict) else value:
            yield from containers(child)


@pytest.mark.parametrize(
    "text",
    [
        "[]",
        "[[1, 2], [3, [4, []]]]",
        '{"a": 1, "b": "x"}',
        '{"a": {"b": 1}, "c": [{"d": null}, {}]}',
        '[{"a": [1]}, {"a": 1, "a": [2], "b": {"c": {}}}]',
        '{"k": [1, [2]], "k": {"x": [3]}, "k": [[4]]}',
        # Past the number of containers from which they are taken off while the text is parsed.
        '{"big": [' + ", ".join(['{"a": [1, {"b": "x"}], "c": {}}'] * 1500) + "]}",
        "[" + ", ".join(['{"a": [1], "b": {"c": 2}}'] * 1500) + "]",
    ],
)
@pytest.mark.parametrize("collector", ["on", "off"])
def test_collector_tracking_matches_standard_library(load, text, collector):
    was = gc.isenabled()
    if collector == "off":
        gc.disable()  # the containers are then built on the collector's lists, not taken off and put back
    try:
        ours = list(containers(load(text)))
    finally:
        if was:
            gc.enable()
    theirs = list(containers(json.loads(text)))
    assert [gc.is_tracked(c) for c in ours] == [gc.is_tracked(c) for c in theirs]
    assert all(gc.is_tracked(c) for c in ours if isinstance(c, list))


@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")), reason="that collector walks the heap")
@pytest.mark.parametrize("api", ["bigjson", "tovak"])
@pytest.mark.parametrize("shape", ["array", "lines", "object"])
def test_collector_lists_loaded_parents_before_children(tmp_path, api, shape):
    # A pass that meets a child before its parent moves it out as unreachable and back again. A text of
    # fewer containers than the collector's first threshold leaves no pass due, and may keep the order
    # they were made in.
    records = [{"a": [1, {"b": [2, []]}], "c": {"d": {}}}, [[3], {"e": [4]}], {"f": []}] * 300
    path = tmp_path / ("doc.jsonl" if shape == "lines" else "doc.json")
    if shape == "lines":
        path.write_text("\n".join(map(json.dumps, records)))
    else:
        path.write_text(json.dumps(records if shape == "array" else {"records": records}))
    gc.collect()
    value = bigjson.load(str(path)) if api == "bigjson" else tovak.load(path)
    gc.disable()
    try:
        position = {id(obj): n for n, obj in enumerate(gc.get_objects())}
    finally:
        gc.enable()
    for parent in containers(value):
        for child in parent.values() if isinstance(parent, dict) else parent:
            if isinstance(child, (list, dict)) and gc.is_tracked(child):
                assert position[id(parent)] < position[id(child)], (parent, child)


@pytest.mark.parametrize(
    "text, containers",
    [
        ('[{"b": {"c": []}}, [[1, {"a": [2]}]]]', 5),
        # Past the number of containers from which they are taken off while the text is parsed.
        ('{"a": [' + "[[]], " * 2999 + "[[]]]}", 6002),
    ],
)
def test_cycles_through_loaded_objects_are_collected(load, text, containers):
    value = load(text)
    items = value if isinstance(value, list) else value["a"]
    items.append(value)
    items[-2][0].append(value)  # and through a nested list
    gc.collect()
    del value, items
    assert gc.collect() >= containers


def test_replaced_duplicate_values_are_released(load):
    text = '[{"k": [1, [2, {"x": []}]], "k": {"y": [[]]}, "k": [3], "j": {"k": [], "k": {}}}]'
    for _ in range(3):
        load(text)
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(300):
        assert load(text) == [{"j": {"k": {}}, "k": [3]}]
    gc.collect()
    assert len(gc.get_objects()) - before < 50


def test_parallel_loads(tmp_path):
    documents = [json.dumps([{"id": i, f"key{i % 7}": [i] * (i % 5), "é": "x" * i} for i in range(n)]) for n in range(8)]
    paths = []
    for n, document in enumerate(documents):
        paths.append(str(tmp_path / f"doc{n}.json"))
        (tmp_path / f"doc{n}.json").write_text(document, encoding="utf-8")
    failures = []

    def work(offset):
        for round in range(40):
            n = (offset + round) % len(paths)
            if bigjson.load(paths[n], format="json") != utf8_sorted(json.loads(documents[n])):
                failures.append(n)

    assert run_threads(work, 4) == []
    assert failures == []


# --- nothing half-built survives an error -----------------------------------------------------------


@pytest.mark.parametrize(
    "text",
    [
        '[[1, [2, {"a": [3, "x"]}]], {"b": {"c": []}}, x',
        '{"z": [1, 2, {"y": "s" }], "a": {"k": [[], {}]}, "q": tru',
        "[" * 127 + "{" + "]" * 127,
        '[{"a": 1e999}]',
        '{"a": [' + "[[]], " * 3000 + "]}",  # past the point where the containers come off the collector's lists
    ],
)
def test_failed_parse_releases_partial_objects(load, text):
    for _ in range(3):
        with pytest.raises(ValueError):
            load(text)
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(200):
        with pytest.raises(ValueError):
            load(text)
    gc.collect()
    assert len(gc.get_objects()) - before < 50
