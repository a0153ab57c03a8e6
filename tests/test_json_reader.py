"""JSON text reading: accepted shapes, every error text with its line and
column, strings, numbers and deep skipping.

The reader runs through tests/native/json_roundtrip.cpp, which reads a
record and writes it back, so a success is checked on the written form.
"""
import json
import math
import struct
import subprocess

import pytest
from hypothesis import given, settings, strategies as st

from budget import examples


@pytest.fixture(scope="module")
def read(native_tool):
    exe = native_tool("json_roundtrip")

    def run(record, text):
        data = text.encode() if isinstance(text, str) else text
        out = subprocess.run([exe, "read", record], input=data, capture_output=True, check=True).stdout
        status, _, rest = out.decode().partition(" ")
        return status, rest

    return run


def error_of(read, record, text):
    status, rest = read(record, text)
    assert status == "err", rest
    return rest


def value_of(read, record, text):
    status, rest = read(record, text)
    assert status == "ok", rest
    return json.loads(rest)


# ---------------------------------------------------------------------------
# Top level and record shapes


@pytest.mark.parametrize("record, text, message", [
    ("EmiRequest", "", "EOF while parsing a value at line 1 column 0"),
    ("EmiRequest", "   ", "EOF while parsing a value at line 1 column 3"),
    ("EmiRequest", "5", "invalid type: integer `5`, expected struct EmiRequest at line 1 column 1"),
    ("EmiRequest", " -12 ", "invalid type: integer `-12`, expected struct EmiRequest at line 1 column 4"),
    ("EmiRequest", "-1.5e0", "invalid type: floating point `-1.5`, expected struct EmiRequest at line 1 column 6"),
    ("EmiRequest", "null", "invalid type: null, expected struct EmiRequest at line 1 column 4"),
    ("EmiRequest", " true", "invalid type: boolean `true`, expected struct EmiRequest at line 1 column 5"),
    ("EmiRequest", "false", "invalid type: boolean `false`, expected struct EmiRequest at line 1 column 5"),
    ("EmiRequest", '"a\\"b"', 'invalid type: string "a\\"b", expected struct EmiRequest at line 1 column 6'),
    ("EmiRequest", "x", "expected value at line 1 column 1"),
    ("EmiRequest", "nul", "EOF while parsing a value at line 1 column 3"),
    ("EmiRequest", "nulx", "expected ident at line 1 column 4"),
    ("EmiRequest", "trUe", "expected ident at line 1 column 3"),
    ("EmiRequest", "{} x", "missing field `mode` at line 1 column 2"),
    ("DeriveRulesRequest", '{"data":[]} x', "trailing characters at line 1 column 13"),
    ("DeriveRulesRequest", '{"data":[]}\n\n  x', "trailing characters at line 3 column 3"),
    ("DeriveRulesRequest", '{"data":[]}{}', "trailing characters at line 1 column 12"),
    # A byte that is not JSON whitespace (form feed) is trailing text too.
    ("DeriveRulesRequest", '{"data":[]}\f', "trailing characters at line 1 column 12"),
])
def test_top_level_errors(read, record, text, message):
    assert error_of(read, record, text) == message


@pytest.mark.parametrize("record, text, message", [
    # duplicate: at the end of the second key, before its (broken) value is looked at
    ("CategoryRule", '{"pattern":"a","pattern":"b"}', "duplicate field `pattern` at line 1 column 24"),
    ("CategoryRule", '{"pattern":"a","pattern":tru', "duplicate field `pattern` at line 1 column 24"),
    ("CategoryRule", '{"pattern":"a","patt\\u0065rn":"b"}', "duplicate field `pattern` at line 1 column 29"),
    # keys spelled as json.dumps spells them by default
    ("CategoryRule", '{"pattern": "a", "pattern": "b"}', "duplicate field `pattern` at line 1 column 26"),
    ("CategoryRule", '{"pattern": "a", "category": 5}', "invalid type: integer `5`, expected a string at line 1 column 30"),
    ("CategoryRule", '{"pattern":"a" "category":"b"}', "expected `,` or `}` at line 1 column 16"),
    ("CategoryRule", '{"pattern" "a"}', "expected `:` at line 1 column 12"),
    ("CategoryRule", "{1:2}", "key must be a string at line 1 column 2"),
    ("CategoryRule", '{"pattern":"a",7}', "key must be a string at line 1 column 16"),
    ("CategoryRule", '{"pattern":"a",}', "trailing comma at line 1 column 16"),
    # a comma promises another member: the end of the text there cuts off a value
    ("CategoryRule", '{"pattern":"a",', "EOF while parsing a value at line 1 column 15"),
    ("CategoryRule", '{"pattern":"a"', "EOF while parsing an object at line 1 column 14"),
    ("CategoryRule", '{"pattern"', "EOF while parsing an object at line 1 column 10"),
    ("CategoryRule", "{", "EOF while parsing an object at line 1 column 1"),
    ("CategoryRule", '{"pattern":', "EOF while parsing a value at line 1 column 11"),
    ("CategoryRule", '{"pattern":"a","category":"b"}', "missing field `merchant` at line 1 column 30"),
    ("CategoryRule", '{"pattern":"a","category":"b"\n}', "missing field `merchant` at line 2 column 1"),
    ("CategorizeRequest", "{}", "missing field `data` at line 1 column 2"),
    ("CategorizeRequest", '{"rules":[]}', "missing field `data` at line 1 column 12"),
    ("EmiRequest", '{"interestRate":1}', "missing field `mode` at line 1 column 18"),
    ("EmiRequest", '{"mode":"emi"}', "missing field `interestRate` at line 1 column 14"),
    ("MapInput", '{"Narration":"x"}', "missing field `narration` at line 1 column 17"),
    ("CategorizeRequest", '{\n  "data": [\n    {"narration": 5}\n  ]\n}',
     "invalid type: integer `5`, expected a string at line 3 column 19"),
    ("CategorizeRequest", '{"data":[],\r\n"rules":[["p","c"]]}',
     "invalid length 2, expected struct CategoryRule with 3 elements at line 2 column 18"),
])
def test_object_form_errors(read, record, text, message):
    assert error_of(read, record, text) == message


@pytest.mark.parametrize("record, text, expected", [
    ("MapInput", '{"narr\\u0061tion":"x"}', {"narration": "x"}),
    ("MapInput", ' \t\r\n{ "narration" : "x" } \n', {"narration": "x"}),
    ("CategorizeRequest", '{"data":[{"narration":"x","extra":1}],"rules":[],"note":null}',
     {"data": [{"narration": "x"}], "rules": []}),
    ("CategorizeRequest", '{"rules":[{"merchant":"m","category":"c","pattern":"p"}],"data":[]}',
     {"data": [], "rules": [{"pattern": "p", "category": "c", "merchant": "m"}]}),
    # array form, nested
    ("MapInput", '["x"]', {"narration": "x"}),
    ("CategorizeRequest", '[[{"narration":"x"}],[]]', {"data": [{"narration": "x"}], "rules": []}),
    ("CategorizeRequest", '[[["x"]],[["p","c","m"]]]',
     {"data": [{"narration": "x"}], "rules": [{"pattern": "p", "category": "c", "merchant": "m"}]}),
    ("EmiRequest", '["emi",100000,null,12,10]',
     {"mode": "emi", "loanAmount": 100000.0, "emi": None, "months": 12, "interestRate": 10.0,
      "inflationRate": 0.0, "start": None}),
    ("EmiRequest", '["loanAmount",null,5.5,7,1,2,"2024-3"]',
     {"mode": "loanAmount", "loanAmount": None, "emi": 5.5, "months": 7, "interestRate": 1.0,
      "inflationRate": 2.0, "start": "2024-03"}),
    ("EmiRequest", '{"mode":"tenure","interestRate":0}',
     {"mode": "tenure", "loanAmount": None, "emi": None, "months": None, "interestRate": 0.0,
      "inflationRate": 0.0, "start": None}),
    ("EmiRequest", '{"mode":"emi","interestRate":1,"start":null,"loanAmount":null}',
     {"mode": "emi", "loanAmount": None, "emi": None, "months": None, "interestRate": 1.0,
      "inflationRate": 0.0, "start": None}),
])
def test_accepted_shapes(read, record, text, expected):
    assert value_of(read, record, text) == expected


@pytest.mark.parametrize("record, text, message", [
    ("EmiRequest", "[]", "invalid length 0, expected struct EmiRequest with 7 elements at line 1 column 2"),
    ("EmiRequest", '["emi"]', "invalid length 4, expected struct EmiRequest with 7 elements at line 1 column 7"),
    ("EmiRequest", '["emi",1,null,12 ]', "invalid length 4, expected struct EmiRequest with 7 elements at line 1 column 18"),
    ("EmiRequest", '["emi",1,2,3,4,5,"2024-01",7]', "trailing characters at line 1 column 28"),
    ("EmiRequest", '["emi",1,2,3,4,5,"2024-01",]', "trailing comma at line 1 column 28"),
    ("CategorizeRequest", "[[]]", "invalid length 1, expected struct CategorizeRequest with 2 elements at line 1 column 4"),
    ("MapInput", "[]", "invalid length 0, expected struct MapInput with 1 element at line 1 column 2"),
    ("MapInput", '["x","y"]', "trailing characters at line 1 column 6"),
    ("MapInput", '["x", \n"y"]', "trailing characters at line 2 column 1"),
    ("MapInput", '["x",]', "trailing comma at line 1 column 6"),
    # a comma after the last field, then the end: one element too many
    ("MapInput", '["x",', "trailing characters at line 1 column 5"),
    ("MapInput", '["x"', "EOF while parsing a list at line 1 column 4"),
    # after the last field, anything but ',' or ']' is one element too many
    ("MapInput", '["x" "y"]', "trailing characters at line 1 column 6"),
    ("MapInput", "[", "EOF while parsing a list at line 1 column 1"),
    ("MapInput", "[,]", "expected value at line 1 column 2"),
    ("CategoryRule", '["a",]', "trailing comma at line 1 column 6"),
    ("CategoryRule", '["a" 1]', "expected `,` or `]` at line 1 column 6"),
    ("CategoryRule", '["a",', "EOF while parsing a value at line 1 column 5"),
])
def test_array_form_errors(read, record, text, message):
    assert error_of(read, record, text) == message


@pytest.mark.parametrize("text, message", [
    ('{"data":{}}', "invalid type: map, expected a sequence at line 1 column 8"),
    ('{"data": \n {}}', "invalid type: map, expected a sequence at line 2 column 1"),
    ('{"data":null}', "invalid type: null, expected a sequence at line 1 column 12"),
    ('{"data":"ab"}', 'invalid type: string "ab", expected a sequence at line 1 column 12'),
    ('{"data":[1]}', "invalid type: integer `1`, expected struct DeriveInput at line 1 column 10"),
    ('{"data":[["a","b","c"],]}', "trailing comma at line 1 column 24"),
    ('{"data":[["a","b","c"] ["d"]]}', "expected `,` or `]` at line 1 column 24"),
    ('{"data":[', "EOF while parsing a list at line 1 column 9"),
    ('{"data":[["a","b","c"],', "EOF while parsing a value at line 1 column 23"),
    ('{"data":[{"narration":"n","category":"c","merchant":1}]}',
     "invalid type: integer `1`, expected a string at line 1 column 53"),
])
def test_list_errors(read, text, message):
    assert error_of(read, "DeriveRulesRequest", text) == message


# ---------------------------------------------------------------------------
# Unknown members are skipped with an explicit stack


@pytest.mark.parametrize("junk", [
    "[]", "{}", '[1,-2.5e+3,"s\\u00e9",true,false,null,{"k":[{}]}]', '{"a":{"b":{"c":[[[]]]}}}',
    "1e999", "-0", '"\\ud83d\\ude00"',
])
def test_unknown_member_values_are_skipped(read, junk):
    assert value_of(read, "MapInput", '{"x":%s,"narration":"n","y":%s}' % (junk, junk)) == {"narration": "n"}


@pytest.mark.parametrize("junk, message", [
    ("[1,}", "expected value at line 1 column 28"),
    # grammar only: after a comma a skipped container wants a value or a key
    ("[1,]", "expected value at line 1 column 28"),
    ("[1 2]", "expected `,` or `]` at line 1 column 28"),
    ('{"a" 1}', "expected `:` at line 1 column 30"),
    ('{"a":1,}', "key must be a string at line 1 column 32"),
    ("{1:1}", "key must be a string at line 1 column 26"),
    ('{"a":1 "b"}', "expected `,` or `}` at line 1 column 32"),
    ("[01]", "invalid number at line 1 column 27"),
    ("tru}", "expected ident at line 1 column 28"),
    ("tru", "EOF while parsing a value at line 1 column 27"),
    ('"\\x"', "invalid escape at line 1 column 27"),
    ("[[[", "EOF while parsing a list at line 1 column 27"),
    ('{"a":[', "EOF while parsing a list at line 1 column 30"),
    ('{"a"', "EOF while parsing an object at line 1 column 28"),
    # a comma and the end of the text: a skipped object is left open, a
    # skipped array still wants a value
    ('{"a":1,', "EOF while parsing an object at line 1 column 31"),
    ('{"a":{"b":[],', "EOF while parsing an object at line 1 column 37"),
    ("[1,", "EOF while parsing a value at line 1 column 27"),
])
def test_unknown_member_values_must_be_well_formed(read, junk, message):
    # '{"narration":"n","junk":' is 24 bytes
    assert error_of(read, "MapInput", '{"narration":"n","junk":' + junk) == message


@pytest.mark.parametrize("levels", [127, 128, 1000, 1_000_000])
def test_deep_nesting_inside_unknown_member(read, levels):
    deep = '[{"a":' * levels + "1" + "}]" * levels
    assert value_of(read, "MapInput", '{"narration":"n","deep":%s}' % deep) == {"narration": "n"}
    broken = "[" * levels + "]" * (levels - 1)
    assert error_of(read, "MapInput", '{"narration":"n","deep":%s}' % broken) == \
        "expected `,` or `]` at line 1 column %d" % (24 + 2 * levels)


# ---------------------------------------------------------------------------
# Texts


def narration(read, body):
    return value_of(read, "MapInput", b'{"narration":"' + body + b'"}')["narration"]


@pytest.mark.parametrize("body, expected", [
    (rb'\"\\\/\b\f\n\r\t', '"\\/\b\f\n\r\t'),
    (rb'\u00e9\u00E9\u20ac\u0000', "\u00e9\u00e9\u20ac\x00"),
    (rb'\ud83d\ude00\uD83D\uDE00', "\U0001F600\U0001F600"),
    (rb'\udbff\udfff', "\U0010FFFF"),
    ("é😀\uffff\U0010ffff/\x7f".encode(), "é😀\uffff\U0010ffff/\x7f"),
    (b"", ""),
])
def test_string_decoding(read, body, expected):
    assert narration(read, body) == expected


@pytest.mark.parametrize("text, message", [
    ('{"narration":"a\tb"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 16"),
    ('{"narration":"a\nb"}', "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
    ('{"narration":"a\\qb"}', "invalid escape at line 1 column 17"),
    ('{"narration":"\\u12', "EOF while parsing a string at line 1 column 18"),
    ('{"narration":"\\u12"}', "invalid escape at line 1 column 19"),
    ('{"narration":"\\u12G4"}', "invalid escape at line 1 column 19"),
    ('{"narration":"\\udc00"}', "lone leading surrogate in hex escape at line 1 column 20"),
    ('{"narration":"\\ud800\\u0041"}', "lone leading surrogate in hex escape at line 1 column 26"),
    ('{"narration":"\\ud800\\ud800"}', "lone leading surrogate in hex escape at line 1 column 26"),
    ('{"narration":"\\ud800x"}', "unexpected end of hex escape at line 1 column 21"),
    ('{"narration":"\\ud800"}', "unexpected end of hex escape at line 1 column 21"),
    ('{"narration":"\\ud800\\n"}', "unexpected end of hex escape at line 1 column 22"),
    ('{"narration":"\\ud800\\u00"}', "invalid escape at line 1 column 25"),
    ('{"narration":"\\ud800\\u00', "EOF while parsing a string at line 1 column 24"),
    ('{"narration":"\\ud800', "EOF while parsing a string at line 1 column 20"),
    ('{"narration":"abc', "EOF while parsing a string at line 1 column 17"),
    ('{"narration":"\\', "EOF while parsing a string at line 1 column 15"),
    ('{"narration":abc}', "expected value at line 1 column 14"),
])
def test_string_errors(read, text, message):
    assert error_of(read, "MapInput", text) == message


@pytest.mark.parametrize("body, column", [
    (b"\xff", 15),
    (b"\x80", 15),
    (b"\xc0\xaf", 15),          # overlong
    (b"\xe0\x80\xaf", 16),      # overlong
    (b"\xed\xa0\x80", 16),      # encoded surrogate
    (b"\xf4\x90\x80\x80", 16),  # above U+10FFFF
    (b"\xe2\x82x", 17),         # truncated
])
def test_invalid_utf8_is_refused(read, body, column):
    assert error_of(read, "MapInput", b'{"narration":"' + body + b'"}') == \
        "invalid unicode code point at line 1 column %d" % column


def test_utf8_cut_by_the_end_of_text(read):
    assert error_of(read, "MapInput", b'{"narration":"\xe2\x82') == "EOF while parsing a string at line 1 column 16"


# Special bytes at every offset across the eight-byte blocks of the scanner.
@pytest.mark.parametrize("offset", range(18))
def test_string_scanning_at_every_offset(read, offset):
    pad = "abcdefghijklmnopqrstuvwxyz"[:offset]
    assert narration(read, (pad + '\\"' + pad).encode()) == pad + '"' + pad
    assert narration(read, (pad + "\\u0041" + pad).encode()) == pad + "A" + pad
    assert narration(read, (pad + "é" + pad).encode()) == pad + "é" + pad
    # '{"narration":"' is 14 bytes
    assert error_of(read, "MapInput", '{"narration":"' + pad + "\x01" + pad + '"}') == \
        "control character (\\u0000-\\u001F) found while parsing a string at line 1 column %d" % (15 + offset)
    assert error_of(read, "MapInput", b'{"narration":"' + pad.encode() + b"\xff" + pad.encode() + b'"}') == \
        "invalid unicode code point at line 1 column %d" % (15 + offset)


@given(st.text())
@settings(max_examples=examples(150), deadline=None)
def test_any_text_reads_back(read, text):
    # json.dumps writes \u escapes (ensure_ascii) including surrogate pairs.
    assert narration(read, json.dumps(text)[1:-1].encode()) == text
    assert narration(read, json.dumps(text, ensure_ascii=False)[1:-1].encode("utf-8", "surrogatepass")) == text


# ---------------------------------------------------------------------------
# Numbers

POW10 = [float("1e%d" % k) for k in range(309)]
U64 = 2**64 - 1


def model_float(text):
    """The reader's decimal rule, written independently: a u64 significand,
    dropped digits past it, one scaling by a table power."""
    neg = text.startswith("-")
    body = text.lstrip("-")
    mant, _, exp_text = body.lower().partition("e")
    int_part, _, frac = mant.partition(".")
    sig, e, full = 0, 0, False
    for d in int_part:
        if not full and sig * 10 + int(d) <= U64:
            sig = sig * 10 + int(d)
        else:
            full = True
            e += 1
    for d in frac:
        if not full and sig * 10 + int(d) <= U64:
            sig = sig * 10 + int(d)
            e -= 1
        else:
            full = True
    explicit = int(exp_text) if exp_text else 0
    if abs(explicit) > 2**31 - 1:
        if sig != 0 and explicit > 0:
            return None
        return -0.0 if neg else 0.0
    e += explicit
    v = float(sig)
    if e >= 0:
        if sig != 0:
            if e > 308:
                return None
            v *= POW10[e]
            if math.isinf(v):
                return None
    else:
        while e < -308 and v != 0.0:
            v /= 1e308
            e += 308
        if v != 0.0:
            v /= POW10[-e]
    return -v if neg else v


def read_amount(read, number):
    status, rest = read("EmiRequest", '["emi",%s,null,null,0]' % number)
    if status == "err":
        return rest
    return json.loads(rest)["loanAmount"]


def same_double(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


@pytest.mark.parametrize("number, expected", [
    ("0", 0.0), ("-0", -0.0), ("-0.0", -0.0), ("-0e-5", -0.0), ("0.1", 0.1), ("12.5", 12.5), ("1E2", 100.0),
    ("18446744073709551615", 18446744073709551615.0),
    ("18446744073709551616", 1844674407370955161.0 * 10),
    ("-9223372036854775808", -9223372036854775808.0),
    ("-9223372036854775809", -9223372036854775809.0),
    ("123456789012345678901234567890", 12345678901234567890.0 * 1e10),
    ("0." + "1" * 30, 11111111111111111111.0 / 1e20),
    ("1" * 25 + "." + "9" * 10, 11111111111111111111.0 * 1e5),
    ("1e308", 1e308), ("1.7976931348623157e308", 17976931348623157.0 * 1e292),
    ("1e-308", 1e-308), ("1e-400", 0.0), ("-1e-400", -0.0),
    ("0." + "0" * 319 + "1", 1.0 / 1e308 / 1e12),
    ("1e-99999999999", 0.0), ("-1e-99999999999", -0.0), ("0e99999999999", 0.0), ("0e400", 0.0),
    ("0.000e-2147483648", 0.0), ("1e-2147483647", 0.0),
])
def test_float_reading_edge_cases(read, number, expected):
    got = read_amount(read, number)
    assert same_double(got, expected), (got, expected)
    assert same_double(got, model_float(number))


def test_each_power_of_ten_reads_as_the_nearest_double(read):
    # 1eK is the significand 1 scaled by the table's entry K alone, so this
    # checks every entry against Python's correctly rounded float("1eK").
    fields = ["interestRate", "loanAmount", "emi", "inflationRate"]  # interestRate is required
    for first in range(0, len(POW10), len(fields)):
        powers = dict(zip(fields, range(first, len(POW10))))
        text = '{"mode":"emi",%s}' % ",".join('"%s":1e%d' % item for item in powers.items())
        got = value_of(read, "EmiRequest", text)
        for field, k in powers.items():
            assert same_double(got[field], POW10[k]), k


@pytest.mark.parametrize("number, message", [
    ("1e309", "number out of range at line 1 column 12"),
    ("2e308", "number out of range at line 1 column 12"),
    # at the exponent digit that passes 2147483647, not at the end of the number
    ("1e99999999999", "number out of range at line 1 column 19"),
    ("1" * 310, "number out of range at line 1 column 317"),
    ("-", "invalid number at line 1 column 9"),
    ("-x", "invalid number at line 1 column 9"),
    ("01", "invalid number at line 1 column 9"),
    ("-01", "invalid number at line 1 column 10"),
    ("1.", "invalid number at line 1 column 10"),
    ("1.e5", "invalid number at line 1 column 10"),
    ("1e", "invalid number at line 1 column 10"),
    ("1e+", "invalid number at line 1 column 11"),
    ("+1", "expected value at line 1 column 8"),
    (".5", "expected value at line 1 column 8"),
    ("1x", "expected `,` or `]` at line 1 column 9"),
    ("NaN", "expected value at line 1 column 8"),
    ('"5"', 'invalid type: string "5", expected f64 at line 1 column 10'),
    ("true", "invalid type: boolean `true`, expected f64 at line 1 column 11"),
    ("[1]", "invalid type: sequence, expected f64 at line 1 column 7"),
    ("{}", "invalid type: map, expected f64 at line 1 column 7"),
])
def test_float_errors(read, number, message):
    assert read_amount(read, number) == message


def test_number_cut_by_the_end_of_text(read):
    assert error_of(read, "EmiRequest", '["emi",-') == "EOF while parsing a value at line 1 column 8"
    assert error_of(read, "EmiRequest", '["emi",1.5e') == "EOF while parsing a value at line 1 column 11"


number_texts = st.builds(
    lambda sign, int_part, frac, exp: sign + int_part + frac + exp,
    st.sampled_from(["", "-"]),
    st.one_of(st.just("0"), st.from_regex(r"[1-9][0-9]{0,40}", fullmatch=True)),
    st.one_of(st.just(""), st.from_regex(r"\.[0-9]{1,40}", fullmatch=True)),
    st.one_of(st.just(""), st.from_regex(r"[eE][+-]?[0-9]{1,4}", fullmatch=True)),
)


def ulp(x):
    """math.ulp, which Python 3.8 lacks: the gap from |x| to the next double."""
    x = abs(x)
    return struct.unpack("<d", struct.pack("<q", struct.unpack("<q", struct.pack("<d", x))[0] + 1))[0] - x


@given(number_texts)
@settings(max_examples=examples(300), deadline=None)
def test_float_rule_matches_model(read, number):
    expected = model_float(number)
    got = read_amount(read, number)
    if expected is None:
        assert got.startswith("number out of range"), got
    else:
        assert same_double(got, expected), (number, got, expected)
        # The one-step scaling stays within a few units of the correctly rounded value.
        exact = float(number)
        if exact != 0 and math.isfinite(exact) and abs(exact) > 1e-300:
            assert abs(got - exact) <= 4 * ulp(exact)


# ---------------------------------------------------------------------------
# Unsigned 32-bit fields


def months(read, number):
    status, rest = read("EmiRequest", '{"mode":"emi","months":%s,"interestRate":1}' % number)
    return json.loads(rest)["months"] if status == "ok" else rest


@pytest.mark.parametrize("number, expected", [
    ("0", 0), ("12", 12), ("4294967295", 4294967295), ("null", None),
    # '{"mode":"emi","months":' is 23 bytes
    ("4294967296", "invalid value: integer `4294967296`, expected u32 at line 1 column 33"),
    ("-1", "invalid value: integer `-1`, expected u32 at line 1 column 25"),
    ("-9223372036854775808", "invalid value: integer `-9223372036854775808`, expected u32 at line 1 column 43"),
    ("-9223372036854775809", "invalid type: floating point `-9.223372036854776e+18`, expected u32 at line 1 column 43"),
    ("18446744073709551616", "invalid type: floating point `1.8446744073709552e+19`, expected u32 at line 1 column 43"),
    ("-0", "invalid type: floating point `-0.0`, expected u32 at line 1 column 25"),
    ("12.0", "invalid type: floating point `12.0`, expected u32 at line 1 column 27"),
    ("1e21", "invalid type: floating point `1e+21`, expected u32 at line 1 column 27"),
    ("1e400", "number out of range at line 1 column 28"),
    ('"12"', 'invalid type: string "12", expected u32 at line 1 column 27'),
    ("[12]", "invalid type: sequence, expected u32 at line 1 column 23"),
])
def test_u32_fields(read, number, expected):
    assert months(read, number) == expected


@pytest.mark.parametrize("field, value, message", [
    # '{"mode":"emi","' is 15 bytes
    ("interestRate", "null", "invalid type: null, expected f64 at line 1 column 33"),
    ("inflationRate", "null", "invalid type: null, expected f64 at line 1 column 34"),
    ("start", "5", "invalid type: integer `5`, expected a string at line 1 column 23"),
    ("start", '"2024-13"', 'month out of range in "2024-13" at line 1 column 31'),
    ("start", '"2024/03"', 'expected "YYYY-MM", got "2024/03" at line 1 column 31'),
    ("start", '"-2024-03"', 'invalid year in "-2024-03" at line 1 column 32'),
    ("start", '"2024-03-01"', 'invalid month in "2024-03-01" at line 1 column 34'),
    ("start", '"20\\t4"', 'expected "YYYY-MM", got "20\\t4" at line 1 column 29'),
])
def test_field_value_errors(read, field, value, message):
    assert error_of(read, "EmiRequest", '{"mode":"emi","%s":%s,"interestRate":1}' % (field, value)) == message


def test_start_text_is_decoded_before_parsing(read):
    got = value_of(read, "EmiRequest", '{"mode":"emi","interestRate":1,"start":"\\u0032024-+3"}')
    assert got["start"] == "2024-03"


# ---------------------------------------------------------------------------
# Enumerations


def mode(read, value):
    status, rest = read("EmiRequest", '{"mode":%s,"interestRate":1}' % value)
    return json.loads(rest)["mode"] if status == "ok" else rest


@pytest.mark.parametrize("value, expected", [
    ('"emi"', "emi"), ('"tenure"', "tenure"), ('"loanAmount"', "loanAmount"),
    ('"loan\\u0041mount"', "loanAmount"),
    ('{"tenure":null}', "tenure"), ('{ "loanAmount" : null }', "loanAmount"),
    # '{"mode":' is 8 bytes
    ('"Emi"', "unknown variant `Emi`, expected one of `emi`, `tenure`, `loanAmount` at line 1 column 13"),
    ('{"x":null}', "unknown variant `x`, expected one of `emi`, `tenure`, `loanAmount` at line 1 column 12"),
    ("5", "expected value at line 1 column 9"),
    ("true", "expected value at line 1 column 9"),
    ("null", "expected value at line 1 column 9"),
    ('["emi"]', "expected value at line 1 column 9"),
    ("{}", "expected value at line 1 column 10"),
    ('{"emi":1}', "invalid type: integer `1`, expected unit at line 1 column 16"),
    ('{"emi":"x"}', 'invalid type: string "x", expected unit at line 1 column 18'),
    ('{"emi":[]}', "invalid type: sequence, expected unit at line 1 column 15"),
    ('{"emi":null,"tenure":null}', "expected value at line 1 column 20"),
    ("{5:null}", "invalid type: integer `5`, expected variant identifier at line 1 column 10"),
    ("{null:null}", "invalid type: null, expected variant identifier at line 1 column 13"),
    ("{[]:null}", "invalid type: sequence, expected variant identifier at line 1 column 9"),
    ('{"emi" null}', "expected `:` at line 1 column 16"),
    ('{"emi":nil}', "expected ident at line 1 column 17"),
])
def test_enumeration_values(read, value, expected):
    assert mode(read, value) == expected


@pytest.mark.parametrize("text, message", [
    ('{"mode":', "EOF while parsing a value at line 1 column 8"),
    ('{"mode":{', "EOF while parsing a value at line 1 column 9"),
    ('{"mode":{"emi"', "EOF while parsing an object at line 1 column 14"),
    ('{"mode":{"emi":', "EOF while parsing a value at line 1 column 15"),
    ('{"mode":{"emi":null', "EOF while parsing an object at line 1 column 19"),
])
def test_enumeration_cut_short(read, text, message):
    assert error_of(read, "EmiRequest", text) == message


# ---------------------------------------------------------------------------
# Through the module functions


@pytest.fixture(scope="module")
def morvanta():
    return pytest.importorskip("morvanta")


@pytest.mark.parametrize("function, text, message", [
    ("compute_emi_json", "{} x", "missing field `mode` at line 1 column 2"),
    ("compute_emi_json", "", "EOF while parsing a value at line 1 column 0"),
    ("compute_emi_json", "5", "invalid type: integer `5`, expected struct EmiRequest at line 1 column 1"),
    ("compute_emi_json", '{"mode":"emi","interestRate":1,"start":"2024-00"}',
     'month out of range in "2024-00" at line 1 column 48'),
    ("categorize_transactions_json", "[[]]",
     "invalid length 1, expected struct CategorizeRequest with 2 elements at line 1 column 4"),
    ("categorize_transactions_json", '{"data":[],"rules":[],"data":[]}', "duplicate field `data` at line 1 column 28"),
    ("derive_rules_json", '{"data":[]} x', "trailing characters at line 1 column 13"),
    ("derive_rules_json", '{"data":[{"narration":"\u00e9","category":"c","merchant":7}]}',
     "invalid type: integer `7`, expected a string at line 1 column 54"),
])
def test_module_read_errors(morvanta, function, text, message):
    with pytest.raises(ValueError) as err:
        getattr(morvanta, function)(text)
    assert err.value.args == ("invalid request: " + message,)


def read_error(morvanta, function, text):
    with pytest.raises(ValueError) as err:
        getattr(morvanta, function)(text)
    return err.value


# Where the grammar leaves a choice, the reader takes the one of a streaming
# reader that reports an error where it stops and checks skipped values for
# grammar only.
@pytest.mark.parametrize("function, text, message", [
    # a comma followed by the end of the text: a value was promised
    ("compute_emi_json", '{"mode":"emi",', "EOF while parsing a value at line 1 column 14"),
    ("derive_rules_json", '{"data":[],', "EOF while parsing a value at line 1 column 11"),
    ("categorize_transactions_json", '{"data":[{"narration":"a",', "EOF while parsing a value at line 1 column 26"),
    ("categorize_transactions_json", '{"data":[{"narration":"a"},', "EOF while parsing a value at line 1 column 27"),
    # inside a skipped value, an object whose comma the end follows is left open
    ("derive_rules_json", '{"x":{"a":1,', "EOF while parsing an object at line 1 column 12"),
    ("derive_rules_json", '{"data":[],"extra":{"a":1,', "EOF while parsing an object at line 1 column 26"),
    ("derive_rules_json", '{"data":[],"extra":[1,', "EOF while parsing a value at line 1 column 22"),
    ("compute_emi_json", '{"mode":"emi","x":{"a":1,', "EOF while parsing an object at line 1 column 25"),
    ("categorize_transactions_json", '{"data":[{"narration":"a","x":{"b":[],', "EOF while parsing an object at line 1 column 38"),
    ("categorize_transactions_json", '{"rules":[],"x":[{}],', "EOF while parsing a value at line 1 column 21"),
    # one element after a record's last array-form field is trailing text
    ("categorize_transactions_json", "[[],[] 0]", "trailing characters at line 1 column 8"),
    ("categorize_transactions_json", '[[["a" "b"]],[]]', "trailing characters at line 1 column 8"),
    ("categorize_transactions_json", "[[],[],]", "trailing comma at line 1 column 8"),
    ("derive_rules_json", '[[]"x"]', "trailing characters at line 1 column 4"),
    ("compute_emi_json", '["emi",1,2,3,4,5,"2024-01" 7]', "trailing characters at line 1 column 28"),
    ("categorize_transactions_json", "[[] 0]", "expected `,` or `]` at line 1 column 5"),
    # a comma after a record's last array-form field, then the end
    ("derive_rules_json", '[[],', "trailing characters at line 1 column 4"),
    ("categorize_transactions_json", '[[],[],', "trailing characters at line 1 column 7"),
    ("categorize_transactions_json", '{"data":[["a",', "trailing characters at line 1 column 14"),
    ("compute_emi_json", '["emi",1,2,3,4,5,"2024-01",', "trailing characters at line 1 column 27"),
    # exponent overflow: at the digit that passes 2147483647
    ("compute_emi_json", '{"mode":"emi","interestRate":1e99999999999}', "number out of range at line 1 column 41"),
    ("compute_emi_json", '{"mode":"emi","interestRate":0.5e+3000000000}', "number out of range at line 1 column 44"),
    ("compute_emi_json", '{"mode":"emi","months":1e99999999999', "number out of range at line 1 column 35"),
    # a number cut off by the end of the text: read, then skipped
    ("compute_emi_json", '{"mode":"emi","interestRate":-', "EOF while parsing a value at line 1 column 30"),
    ("compute_emi_json", '{"mode":"emi","interestRate":1.', "EOF while parsing a value at line 1 column 31"),
    ("compute_emi_json", '{"mode":"emi","interestRate":1e', "EOF while parsing a value at line 1 column 31"),
    ("compute_emi_json", '{"mode":"emi","months":1e+', "EOF while parsing a value at line 1 column 26"),
    ("compute_emi_json", "-", "EOF while parsing a value at line 1 column 1"),
    ("categorize_transactions_json", '{"data":[{"narration":1e', "EOF while parsing a value at line 1 column 24"),
    ("compute_emi_json", '{"mode":"emi","interestRate":1.x}', "invalid number at line 1 column 32"),
    ("compute_emi_json", '{"mode":"emi","interestRate":-]', "invalid number at line 1 column 31"),
    ("categorize_transactions_json", '{"x":-', "invalid number at line 1 column 6"),
    ("categorize_transactions_json", '{"x":1.', "invalid number at line 1 column 7"),
    ("derive_rules_json", '{"data":[],"x":1e', "invalid number at line 1 column 17"),
    ("derive_rules_json", '{"x":1e+', "invalid number at line 1 column 8"),
    ("derive_rules_json", '{"x":1.x}', "invalid number at line 1 column 8"),
    # skipped strings: escapes still well-formed, control characters refused
    ("categorize_transactions_json", '{"x":"\\q"}', "invalid escape at line 1 column 8"),
    ("derive_rules_json", '{"x":{"\\u12G4":1}}', "invalid escape at line 1 column 12"),
    ("derive_rules_json", '{"x":"a\x01"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"),
    # skipped containers: a comma before the end wants a value or a key
    ("categorize_transactions_json", '{"x":[1,],"data":[]}', "expected value at line 1 column 9"),
    ("derive_rules_json", '{"x":[[],],"data":[]}', "expected value at line 1 column 10"),
    ("categorize_transactions_json", '{"x":{"a":1,},"data":[]}', "key must be a string at line 1 column 13"),
    ("derive_rules_json", '{"data":[],"x":{"a":{"b":1,}}}', "key must be a string at line 1 column 28"),
    # a \u escape cut off by the end of the text, read or skipped
    ("categorize_transactions_json", '{"data":[{"narration":"\\u00', "EOF while parsing a string at line 1 column 27"),
    ("derive_rules_json", '{"data":[{"narration":"\\ud83d\\ude', "EOF while parsing a string at line 1 column 33"),
    ("derive_rules_json", '{"x":"\\u0', "EOF while parsing a string at line 1 column 9"),
    ("categorize_transactions_json", '{"x":{"\\u1', "EOF while parsing a string at line 1 column 10"),
    ("compute_emi_json", '{"mode":"\\u006', "EOF while parsing a string at line 1 column 14"),
])
def test_reader_choices(morvanta, function, text, message):
    assert read_error(morvanta, function, text).args == ("invalid request: " + message,)


# A skipped value's texts are not decoded, so any \u code unit will do, and
# its numbers are not range-checked.
@pytest.mark.parametrize("junk", [
    '"\\ud800"', '"\\udc00\\ud800"', '"\\ud800\\u0041"', '{"\\udfff":1}', '["\\uDBFF",{"\\uD800x":"\\uDC00"}]',
    "1e99999999999", "-1e309", "0.5e+3000000000", "1" * 400,
])
def test_skipped_values_check_grammar_only(morvanta, junk):
    assert morvanta.categorize_transactions_json('{"x":%s,"data":[],"rules":[],"y":%s}' % (junk, junk)) == '{"data":[]}'
    assert morvanta.derive_rules_json('{"x":%s,"data":[]}' % junk) == '{"rules":[]}'


# The location of a read failure travels as the exception's note; the
# message stays exactly as it was.
@pytest.mark.parametrize("function, text, message, note", [
    ("categorize_transactions_json", '{"data":[{"narration":"a"},{"narration":1.5}],"rules":[]}',
     "invalid type: floating point `1.5`, expected a string at line 1 column 43", "at data[1].narration"),
    ("categorize_transactions_json", '[[["a"],[5]],[]]',
     "invalid type: integer `5`, expected a string at line 1 column 10", "at data[1].narration"),
    ("derive_rules_json", '{"data":[["n","c","m"],["n","c",null]]}',
     "invalid type: null, expected a string at line 1 column 36", "at data[1].merchant"),
    ("categorize_transactions_json",
     '{"data":[],"rules":[["a","b","c"],["d","e","f"],{"pattern":"p","category":"c"}]}',
     "missing field `merchant` at line 1 column 78", "at rules[2]"),
    ("categorize_transactions_json", '{"data":[],"rules":[["a","b","c"],["d","e","f"],["p","c"]]}',
     "invalid length 2, expected struct CategoryRule with 3 elements at line 1 column 57", "at rules[2]"),
    ("compute_emi_json", '{"mode":"emi","interestRate":1,"start":"2024-13"}',
     'month out of range in "2024-13" at line 1 column 48', "at start"),
    ("compute_emi_json", '["emi",1,null,12,10,0,"2024/03"]',
     'expected "YYYY-MM", got "2024/03" at line 1 column 31', "at start"),
    ("compute_emi_json", '{"mode":"Emi","interestRate":1}',
     "unknown variant `Emi`, expected one of `emi`, `tenure`, `loanAmount` at line 1 column 13", "at mode"),
    ("categorize_transactions_json", '{"data":[],"rules":[],"data":[]}', "duplicate field `data` at line 1 column 28",
     "at data"),
    ("derive_rules_json", '{\n "data": [\n  {"narration": "a", "category": "c", "merchant": "m"},\n'
                          '  {"narration": "b", "category": "c",}\n ]\n}',
     "trailing comma at line 4 column 38", "at data[1]"),
    ("derive_rules_json", '{"data":[{"narration":"a","category":"c","merchant":"m","x":[1 2]}]}',
     "expected `,` or `]` at line 1 column 64", "at data[0]"),
    ("derive_rules_json", '{"data":[["a","c","m"],["b","c","m"] x', "expected `,` or `]` at line 1 column 38",
     "at data"),
    ("categorize_transactions_json", '{"data":[["a\\ud800"]],"rules":[]}',
     "unexpected end of hex escape at line 1 column 19", "at data[0].narration"),
    # at the top level of the request there is no path, and no note
    ("compute_emi_json", "{} x", "missing field `mode` at line 1 column 2", None),
    ("derive_rules_json", '{"data":[]} x', "trailing characters at line 1 column 13", None),
    ("categorize_transactions_json", '{"data":[],"rules":[]', "EOF while parsing an object at line 1 column 21", None),
])
def test_read_error_notes(morvanta, function, text, message, note):
    err = read_error(morvanta, function, text)
    assert err.args == ("invalid request: " + message,)
    assert str(err) == err.args[0]
    if note is None:
        assert not hasattr(err, "__notes__")
    else:
        line, column = message.rsplit(" at line ", 1)[1].split(" column ")
        assert err.__notes__ == ["%s (line %s, column %s)" % (note, line, column)]


@pytest.mark.parametrize("request_obj", [
    {"interestRate": 1},
    {"mode": "Emi", "interestRate": 1},
    {"mode": "emi", "interestRate": 1, "start": "2024/03"},
    {"mode": "tenure", "interestRate": 1, "inflationRate": 2, "start": "2024-13"},
])
def test_same_message_in_both_modes(morvanta, request_obj):
    with pytest.raises(ValueError) as obj_err:
        morvanta.compute_emi(request_obj)
    with pytest.raises(ValueError) as json_err:
        morvanta.compute_emi_json(json.dumps(request_obj))
    assert json_err.value.args[0].startswith(obj_err.value.args[0] + " at line 1 column ")


rule_texts = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=12)


@given(st.lists(rule_texts, max_size=6),
       st.lists(st.tuples(rule_texts, rule_texts, rule_texts), max_size=4),
       st.booleans())
@settings(max_examples=examples(60), deadline=None)
def test_categorize_json_equals_object_mode(morvanta, narrations, rules, ascii_only):
    request = {"data": [{"narration": n} for n in narrations],
               "rules": [{"pattern": p, "category": c, "merchant": m} for p, c, m in rules]}
    text = json.dumps(request, ensure_ascii=ascii_only)
    assert json.loads(morvanta.categorize_transactions_json(text)) == morvanta.categorize_transactions(request)


# Texts with an escape are decoded into storage of the call, the others are
# viewed in place; in one request each must keep its own bytes, also once
# the decoded texts fill more than one block of that storage.
@pytest.mark.parametrize("count, escaped_every", [(3, 1), (50, 2), (3000, 3), (4000, 1)])
def test_escaped_and_plain_texts_in_one_request(morvanta, count, escaped_every):
    def text(i, word):
        return f'{word} {i} caf\u00e9 "{i}"\t' if i % escaped_every == 0 else f"{word} {i} plain"
    narrations = [text(i, "SHOP") for i in range(count)]
    rules = [{"pattern": text(i, "shop"), "category": text(i, "Cat"), "merchant": text(i + 1, "M")}
             for i in range(0, count, max(1, count // 20))]
    request = {"data": [{"narration": n} for n in narrations], "rules": rules}
    for ascii_only in (True, False):
        body = json.dumps(request, ensure_ascii=ascii_only)
        assert json.loads(morvanta.categorize_transactions_json(body)) == morvanta.categorize_transactions(request)
    labelled = {"data": [{"narration": n, "category": text(i % 7, "Cat"), "merchant": text(i % 5, "M")}
                         for i, n in enumerate(narrations)]}
    assert json.loads(morvanta.derive_rules_json(json.dumps(labelled))) == morvanta.derive_rules(labelled)


# 700,000 narrations make a request above 16 MB, which is read twice; with a
# non-ASCII merchant its UTF-8 is encoded a piece at a time for those reads.
@pytest.mark.parametrize("count, merchant", [(20000, "m"), (700_000, "m"), (700_000, "mé")])
@pytest.mark.parametrize("rules_first", [False, True])
def test_read_error_late_in_a_large_request_gives_no_result(morvanta, rules_first, count, merchant):
    rules = '"rules":[{"pattern":"shop","category":"c","merchant":"%s"}]' % merchant
    data = '"data":[' + ",".join('{"narration":"shop %d"}' % i for i in range(count)) + ',{"narration":5}]'
    text = "{" + (rules + "," + data if rules_first else data + "," + rules) + "}"
    with pytest.raises(ValueError) as err:
        morvanta.categorize_transactions_json(text)
    column = len(text[:text.index("5}]")].encode()) + 1
    assert err.value.args[0] == f"invalid request: invalid type: integer `5`, expected a string at line 1 column {column}"


# A large categorize request is read twice, its narrations matched as the
# second read meets them: the same rows, and the same failure at the same
# place, as one read of the whole request. Where the first read fails, the
# request is left to the whole read ("fallback"), which reports it. Fed a few
# bytes at a time through a small window, the read gives the same rows, or
# leaves a failure, and a token longer than the window, to the whole read.
_RULES = '"rules":[{"pattern":"shop","category":"C","merchant":"M"},{"pattern":"caf\\u00e9","category":"D","merchant":"E"}]'
_DATA = '"data":[' + ",".join('{"narration":"%s %d"}' % (("SHOP", "x", r'CAF\u00c9 \"q\"', "caf\u00e9")[i % 4], i)
                              for i in range(150)) + "]"


@pytest.mark.parametrize("text, streamed, fed", [
    ("{" + _DATA + "," + _RULES + "}", True, True),
    ("{" + _RULES + "," + _DATA + "}", True, True),
    ('{"data":[],' + _RULES + "}", True, True),
    ('{"data":[{"narration":"shop"}],"rules":[],"other":[1,{"a":null}]}', True, True),
    ('{"data":[{"narration":"shop"},{"narration":5}],' + _RULES + "}", True, False),
    ('{"data":[{"narration":"shop"},{}],' + _RULES + "}", True, False),
    ('{"data":[["shop"],["shop","x"]],' + _RULES + "}", True, False),
    ('{"data":[{"narration":"shop' + "x" * 60 + '"}],' + _RULES + "}", True, False),
    ('{"data":[{"narration":"shop"}],' + _RULES + ',"data":[]}', False, False),
    ('{"data":[{"narration":"shop"}]}', False, False),
    ('{"data":[{"narration":"shop"}],"rules":[{"pattern":"a"}]}', False, False),
    ('{"data":[{"narration":"shop"},],' + _RULES + "}", False, False),
    ('{"data":[{"narration":"shop"}],' + _RULES + "} x", False, False),
], ids=["data first", "rules first", "no data", "unknown member", "bad narration", "missing narration",
        "array form", "token beyond the window", "duplicate data", "no rules", "bad rule", "trailing comma",
        "trailing characters"])
def test_two_pass_categorize_read_agrees_with_one_read(native_tool, text, streamed, fed):
    out = subprocess.run([native_tool("json_roundtrip"), "categorize"], input=text.encode(), capture_output=True,
                         check=True).stdout.decode()
    whole, two_pass, fed_read = out.rstrip("\n").split("\n")
    assert two_pass == (whole if streamed else "fallback")
    assert fed_read == (whole if fed else "fallback")
