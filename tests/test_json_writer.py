"""Compact JSON output: number layouts, integer digits, text escaping and
record shapes, checked against hand-written bytes and against Python's own
float and JSON machinery."""
import json
import math
import struct
import subprocess
from decimal import Decimal

import pytest
from hypothesis import given, settings, strategies as st

from budget import SHARE, examples


@pytest.fixture(scope="module")
def tool(native_tool):
    exe = native_tool("json_roundtrip")

    def run(*args, stdin=b""):
        return subprocess.run([exe, *args], input=stdin, capture_output=True, check=True).stdout

    return run


def write_floats(tool, values):
    bits = "".join("%016x\n" % struct.unpack("<Q", struct.pack("<d", v))[0] for v in values)
    return tool("floats", stdin=bits.encode()).decode().splitlines()


@pytest.mark.parametrize("value, text", [
    (10.0, "10.0"), (8.5, "8.5"), (12.5, "12.5"), (-1.5, "-1.5"), (0.1, "0.1"),
    (0.0, "0.0"), (-0.0, "-0.0"),
    (math.nan, "null"), (math.inf, "null"), (-math.inf, "null"),
    (100.0, "100.0"), (1e15, "1000000000000000.0"), (9999999999999998.0, "9999999999999998.0"),
    (999999999999999.9, "999999999999999.9"), (1e16, "1e+16"), (1.5e16, "1.5e+16"),
    (0.00001, "0.00001"), (1.2345e-5, "0.000012345"), (0.000001, "1e-6"), (1.5e-7, "1.5e-7"),
    (1e-7, "1e-7"), (2.5e20, "2.5e+20"), (1e21, "1e+21"), (-1e21, "-1e+21"),
    (1 / 3, "0.3333333333333333"), (1.25e-5, "0.0000125"), (2 / 3 * 1e-5, "6.666666666666667e-6"),
    (18446744073709551616.0, "1.8446744073709552e+19"),
    (5e-324, "5e-324"), (2.2250738585072014e-308, "2.2250738585072014e-308"),
    (1.7976931348623157e308, "1.7976931348623157e+308"),
    (123456789.125, "123456789.125"), (1e100, "1e+100"),
    # Shortest forms of 17 digits, integers about 2^53, and a power of two
    # whose nearest 16 digits do not read back while the next ones up do.
    (0.1 + 0.2, "0.30000000000000004"), (1.0000000000000002, "1.0000000000000002"),
    (123456789012345680.0, "1.2345678901234568e+17"), (0.1 + 0.7, "0.7999999999999999"),
    (2.0**53 - 1, "9007199254740991.0"), (2.0**53, "9007199254740992.0"), (2.0**53 + 2, "9007199254740994.0"),
    (2.0**54, "1.8014398509481984e+16"), (2.0**-24, "5.960464477539063e-8"), (7.25, "7.25"), (4.35, "4.35"),
    # Subnormals: the smallest, a few times it, the largest.
    (-5e-324, "-5e-324"), (1e-323, "1e-323"), (1.5e-323, "1.5e-323"),
    (2.225073858507201e-308, "2.225073858507201e-308"),
])
def test_float_layouts(tool, value, text):
    assert write_floats(tool, [value]) == [text]


def expected_layout(v):
    """Layout from Python's shortest digits (repr), built independently."""
    sign, digits, exp = Decimal(repr(v)).normalize().as_tuple()
    ds = "".join(map(str, digits))
    e = exp + len(ds) - 1
    head = "-" if sign else ""
    if -5 <= e <= 15:
        if e < 0:
            return head + "0." + "0" * (-e - 1) + ds
        if e >= len(ds) - 1:
            return head + ds + "0" * (e - len(ds) + 1) + ".0"
        return head + ds[:e + 1] + "." + ds[e + 1:]
    return head + ds[0] + ("." + ds[1:] if len(ds) > 1 else "") + "e" + ("-" if e < 0 else "+") + str(abs(e))


# Any finite double: from random bit patterns as well as hypothesis's own
# choice of awkward floats.
finite = st.one_of(st.floats(allow_nan=False, allow_infinity=False),
                   st.integers(0, 2**64 - 1).map(lambda b: struct.unpack("<d", struct.pack("<Q", b))[0])
                   .filter(math.isfinite))


@given(st.lists(finite.filter(lambda v: v != 0), min_size=1, max_size=50))
@settings(max_examples=examples(60), deadline=None)
def test_floats_are_shortest_round_trip(tool, values):
    written = write_floats(tool, values)
    for v, text in zip(values, written):
        assert float(text) == v
        assert text == expected_layout(v)


INT64_MIN, INT64_MAX = -2**63, 2**63 - 1
TOTAL_KEYS = ["nominalPaid", "realPaid", "nominalPrincipal", "nominalInterest", "realPrincipal", "realInterest"]


def write_ints(tool, values):
    out = tool("ints", *map(str, values)).decode()
    return out, json.loads(out)


@pytest.mark.parametrize("values", [
    [INT64_MIN, INT64_MAX, 0, -1, 1, 9],
    [10, 99, 100, 101, 999, 1000],
    [-10, -99, -100, 4294967296, 1234567890123, -9876543210987654321 // 10],
    [10**k for k in range(13, 19)],
    [99999999, 100000000, 2**53, 2**53 + 1, 9999999999999999, 10**16],
    [-99999999, -100000000, -(2**53), 12345678901234567, INT64_MIN + 1, 10**8 + 1],
    [-(10**k) + 1 for k in range(13, 19)],
])
def test_integers(tool, values):
    out, parsed = write_ints(tool, values)
    assert out == "{" + ",".join('"%s":%d' % (k, v) for k, v in zip(TOTAL_KEYS, values)) + "}"
    assert list(parsed.values()) == values


@given(st.lists(st.integers(INT64_MIN, INT64_MAX), min_size=6, max_size=6))
@settings(max_examples=examples(50), deadline=None)
def test_any_integer(tool, values):
    assert list(write_ints(tool, values)[1].values()) == values


def test_every_amount_below_10_to_the_8(tool):
    # Below 10^8 the writer takes two digits a multiply from a fixed-point
    # form, whose rounding could be off for a few values only: every one is
    # checked (every n-th where the budget is a fraction), with the values
    # around each power of ten.
    step = max(1, round(1 / SHARE))
    checked, wrong = map(int, tool("digits", str(step)).split())
    assert checked >= 10**8 // step and wrong == 0


SHORT_ESCAPES = {0x08: "\\b", 0x09: "\\t", 0x0A: "\\n", 0x0C: "\\f", 0x0D: "\\r", 0x22: '\\"', 0x5C: "\\\\"}


def write_text(tool, raw):
    return tool("text", stdin=raw)


def as_member(quoted):
    return b'{"category":' + quoted + b',"merchant":""}'


@pytest.mark.parametrize("byte", range(0x80))
def test_every_ascii_byte(tool, byte):
    if byte in SHORT_ESCAPES:
        expected = SHORT_ESCAPES[byte]
    elif byte < 0x20:
        expected = "\\u%04x" % byte
    else:
        expected = chr(byte)
    assert write_text(tool, bytes([byte])) == as_member(b'"' + expected.encode() + b'"')


@pytest.mark.parametrize("raw", [
    "é/ü€😀\x7f".encode(), b"a/b", "\u2028\u2029".encode(), b"",
])
def test_non_ascii_and_slash_copied(tool, raw):
    assert write_text(tool, raw) == as_member(b'"' + raw + b'"')


@pytest.mark.parametrize("offset", range(18))
def test_escapes_at_every_offset(tool, offset):
    pad = b"0123456789abcdefghijklmnop"[:offset]
    raw = pad + b'\t"\x01\\' + pad + "é".encode() + pad
    assert write_text(tool, raw) == as_member(b'"' + pad + b'\\t\\"\\u0001\\\\' + pad + "é".encode() + pad + b'"')


@given(st.text())
@settings(max_examples=examples(100), deadline=None)
def test_text_round_trips_through_python_json(tool, text):
    raw = text.encode("utf-8", "surrogatepass")
    if any(0xD800 <= ord(c) <= 0xDFFF for c in text):
        return  # not valid UTF-8; records only hold valid text
    assert json.loads(write_text(tool, raw))["category"] == text


@pytest.mark.parametrize("lines, expected", [
    ("", '{"data":[]}'),
    ("-\na\tb\n-\n", '{"data":[null,{"category":"a","merchant":"b"},null]}'),
    ("x\t\n", '{"data":[{"category":"x","merchant":""}]}'),
    # repeated entries, which the joined output shares, last row included
    ("a\tb\n-\na\tb\nc\td\na\tb\n",
     '{"data":[{"category":"a","merchant":"b"},null,{"category":"a","merchant":"b"},'
     '{"category":"c","merchant":"d"},{"category":"a","merchant":"b"}]}'),
    ("-\n-\n", '{"data":[null,null]}'),
])
def test_list_of_optional_records(tool, lines, expected):
    assert tool("response", stdin=lines.encode()).decode() == expected


TOTALS = ('"totals":{"nominalPaid":-9223372036854775808,"realPaid":9223372036854775807,'
          '"nominalPrincipal":0,"nominalInterest":-1,"realPrincipal":1234567890123,"realInterest":99}')
ROW_TAIL = ('"emi":8885,"principal":%d,"interest":%d,"outstanding":%d,"realEmi":8849,'
            '"realPrincipal":7853,"realInterest":996,"remainingEmi":%d,"realRemainingEmi":0}')


def test_result_without_start_leaves_keys_out(tool):
    expected = ('{"mode":"tenure","loanAmount":100000,"emi":-5,"months":2,"interestRate":10.5,"inflationRate":0.0,'
                + TOTALS + ',"schedule":['
                + '{"index":0,' + ROW_TAIL % (7885, 1000, 92115, 8885) + ','
                + '{"index":1,' + ROW_TAIL % (7886, 999, 84230, 0)
                + '],"years":[]}')
    assert tool("result").decode() == expected


def test_result_with_start(tool):
    months = ["null"] * 12
    months[11] = '{"nominal":8885,"real":8849}'
    expected = ('{"mode":"tenure","loanAmount":100000,"emi":-5,"months":2,"interestRate":10.5,"inflationRate":0.0,'
                '"start":"0987-12",' + TOTALS + ',"schedule":['
                + '{"index":0,"year":987,"month":12,' + ROW_TAIL % (7885, 1000, 92115, 8885) + ','
                + '{"index":1,"year":988,"month":1,' + ROW_TAIL % (7886, 999, 84230, 0)
                + '],"years":[{"year":987,"months":[' + ",".join(months) + '],'
                + '"nominalTotal":8885,"realTotal":8849,"closingOutstanding":92115}]}')
    assert tool("result", "987", "12").decode() == expected


# ---------------------------------------------------------------------------
# Through the module functions


@pytest.fixture(scope="module")
def morvanta():
    return pytest.importorskip("morvanta")


def cents(upper):
    # Short decimals: the reader's one-step scaling is exact for them, so both modes see the same doubles.
    return st.integers(0, upper).map(lambda c: c / 100)


@given(st.sampled_from(["emi", "tenure", "loanAmount"]),
       st.integers(1000, 10**7), st.integers(1, 360),
       cents(3000), cents(1200),
       st.one_of(st.none(), st.tuples(st.integers(1, 9999), st.integers(1, 12))))
@settings(max_examples=examples(40), deadline=None)
def test_emi_json_equals_object_mode(morvanta, mode, amount, months, rate, inflation, start):
    request = {"mode": mode, "loanAmount": amount, "emi": round(amount / months + amount * rate / 1200 + 1, 2),
               "months": months, "interestRate": rate, "inflationRate": inflation}
    if start:
        request["start"] = "%04d-%02d" % start
    try:
        expected = morvanta.compute_emi(request)
    except ValueError as err:
        with pytest.raises(ValueError) as json_err:
            morvanta.compute_emi_json(json.dumps(request))
        assert json_err.value.args == err.args
        return
    text = morvanta.compute_emi_json(json.dumps(request))
    assert json.loads(text) == expected
    # Compact, and members in the same order as the object-mode keys.
    assert list(json.loads(text)) == list(expected)
    assert " " not in text and "\n" not in text


@pytest.mark.parametrize("rate, written", [(10, "10.0"), (8.5, "8.5"), (1e-7, "1e-7"), (0.00001, "0.00001")])
def test_rates_echo_as_floats(morvanta, rate, written):
    text = morvanta.compute_emi_json('{"mode":"emi","loanAmount":1000,"months":2,"interestRate":%r}' % rate)
    assert ',"interestRate":%s,"inflationRate":0.0,' % written in text
