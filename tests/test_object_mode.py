"""Object-mode conversion rules, seen through compute_emi (the richest request)."""
import collections
import json
import re
import types

import pytest
from hypothesis import given, strategies as st

import morvanta

BASE = {"mode": "emi", "loanAmount": 1200, "months": 12, "interestRate": 0}


def invalid(request):
    with pytest.raises(ValueError) as info:
        morvanta.compute_emi(request)
    (message,) = info.value.args
    assert message.startswith("invalid request: ")
    return message[len("invalid request: "):]


class Frozen(collections.abc.Mapping):
    """A read-only mapping that is not a dict."""

    def __init__(self, items):
        self._items = list(items)

    def __getitem__(self, key):
        for k, v in self._items:
            if k == key:
                return v
        raise KeyError(key)

    def __iter__(self):
        return (k for k, _ in self._items)

    def __len__(self):
        return len(self._items)

    def keys(self):
        return [k for k, _ in self._items]

    def values(self):
        return [v for _, v in self._items]


class Uneven(Frozen):
    """A mapping whose value list holds only the first value."""

    def values(self):
        return [v for _, v in self._items][:1]


class SubDict(dict):
    pass


def test_accepted_mapping_kinds():
    expected = morvanta.compute_emi(BASE)
    assert morvanta.compute_emi(SubDict(BASE)) == expected
    assert morvanta.compute_emi(types.MappingProxyType(BASE)) == expected
    assert morvanta.compute_emi(Frozen(BASE.items())) == expected
    assert morvanta.compute_emi({**BASE, "extra": object(), "note": None}) == expected


@pytest.mark.parametrize("request_, message", [
    ([("mode", "emi")], "unexpected type: 'list' object cannot be converted to 'Mapping'"),
    ({**BASE, 1: 2}, "dict keys must have type str"),
    ({}, "missing field `mode`"),
    ({"interestRate": 1}, "missing field `mode`"),
    ({"mode": "emi"}, "missing field `interestRate`"),
    ({**BASE, "interestRate": "5"}, "TypeError: must be real number, not str"),
    ({**BASE, "interestRate": None}, "TypeError: must be real number, not NoneType"),
    ({**BASE, "inflationRate": None}, "TypeError: must be real number, not NoneType"),
    ({**BASE, "months": -1}, "OverflowError: out of range integral type conversion attempted"),
    ({**BASE, "months": 2**32}, "OverflowError: out of range integral type conversion attempted"),
    ({**BASE, "months": 2**64}, "OverflowError: Python int too large to convert to C long"),
    ({**BASE, "months": 2.0}, "TypeError: 'float' object cannot be interpreted as an integer"),
    ({**BASE, "months": "12"}, "TypeError: 'str' object cannot be interpreted as an integer"),
    ({**BASE, "mode": "Emi"}, "unknown variant `Emi`, expected one of `emi`, `tenure`, `loanAmount`"),
    ({**BASE, "mode": "loan_amount"}, "unknown variant `loan_amount`, expected one of `emi`, `tenure`, `loanAmount`"),
    ({**BASE, "mode": {"emi": None, "tenure": None}}, "expected tagged enum dict to have exactly 1 key"),
    ({**BASE, "mode": {}}, "expected tagged enum dict to have exactly 1 key"),
    ({**BASE, "mode": {5: None}}, "dict keys must have type str"),
    ({**BASE, "mode": 5}, "expected either a str or dict for enum"),
    ({**BASE, "mode": None}, "expected either a str or dict for enum"),
    ({**BASE, "mode": types.MappingProxyType({"emi": None})}, "expected either a str or dict for enum"),
    ({**BASE, "start": 202401}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
    ({**BASE, "mode": "\ud800"},
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ({**BASE, "\ud800": 1},
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    (Frozen([("mode", "emi"), ("mode", "tenure"), ("interestRate", 1)]), "duplicate field `mode`"),
    # At each position the key is checked (type, duplicate) before its value is fetched.
    (Uneven([("mode", "emi"), ("mode", "tenure")]), "duplicate field `mode`"),
    (Uneven([("mode", "emi"), (1, 2)]), "dict keys must have type str"),
    (Uneven([("mode", "emi"), ("interestRate", 1)]), "IndexError: list index out of range"),
    (Uneven([("mode", "emi"), ("other", 1)]), "IndexError: list index out of range"),
])
def test_read_errors(request_, message):
    assert invalid(request_) == message


@pytest.mark.parametrize("value, expected", [(5, 5.0), (True, 1.0), (2.5, 2.5)])
def test_float_field_accepts_numbers(value, expected):
    result = morvanta.compute_emi({**BASE, "interestRate": value})
    assert result["interestRate"] == expected and type(result["interestRate"]) is float


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __float__(self):
        return 3.5


@pytest.mark.parametrize("months", [12, True, Index(12)])
def test_u32_field_accepts_index_objects(months):
    assert morvanta.compute_emi({**BASE, "months": months, "loanAmount": 10})["months"] >= 1


def test_float_field_accepts_dunder_float():
    assert morvanta.compute_emi({**BASE, "interestRate": Floaty()})["interestRate"] == 3.5


@pytest.mark.parametrize("mode", ["emi", {"emi": None}, {"emi": object()}, SubDict(emi=1)])
def test_enum_forms(mode):
    assert morvanta.compute_emi({**BASE, "mode": mode})["mode"] == "emi"


def test_first_failure_wins_in_key_order():
    assert invalid({"interestRate": "x", "mode": "bad"}) == "TypeError: must be real number, not str"
    assert invalid({"mode": "bad", "interestRate": "x"}).startswith("unknown variant `bad`")


@pytest.mark.parametrize("text, year, month", [
    ("2024-3", 2024, 3), ("+2024-+03", 2024, 3), ("0005-12", 5, 12), ("2147483647-1", 2147483647, 1),
    ("2024-0000000000012", 2024, 12),
])
def test_start_texts(text, year, month):
    result = morvanta.compute_emi({**BASE, "start": text})
    row = result["schedule"][0]
    assert (row["year"], row["month"]) == (year, month)


@pytest.mark.parametrize("text, written", [("2024-3", "2024-03"), ("987-11", "0987-11"), ("12345-1", "12345-01"),
                                           ("0-1", "0000-01")])
def test_start_written_back_padded(text, written):
    assert morvanta.compute_emi({**BASE, "start": text})["start"] == written


@pytest.mark.parametrize("text, message", [
    ("2024-00", 'month out of range in "2024-00"'),
    ("2024-13", 'month out of range in "2024-13"'),
    ("2024/03", 'expected "YYYY-MM", got "2024/03"'),
    ("", 'expected "YYYY-MM", got ""'),
    ("-2024-03", 'invalid year in "-2024-03"'),
    ("abcd-03", 'invalid year in "abcd-03"'),
    (" 2024-03", 'invalid year in " 2024-03"'),
    ("2147483648-01", 'invalid year in "2147483648-01"'),
    ("+-1", 'invalid year in "+-1"'),
    ("2024-03-01", 'invalid month in "2024-03-01"'),
    ("2024-", 'invalid month in "2024-"'),
    ("2024- 3", 'invalid month in "2024- 3"'),
    ("2024-1a", 'invalid month in "2024-1a"'),
    ("2024-4294967296", 'invalid month in "2024-4294967296"'),
    ("2024-4294967295", 'month out of range in "2024-4294967295"'),
    # The quoted form escapes quotes, backslashes, controls and marks.
    ('2"4\\-\t\n', 'invalid year in "2\\"4\\\\-\\t\\n"'),
    ("x\u0301\x00\x7f", 'expected "YYYY-MM", got "x\\u{301}\\0\\u{7f}"'),
    ("é日-1", 'invalid year in "é日-1"'),
])
def test_start_errors(text, message):
    assert invalid({**BASE, "start": text}) == message


def test_output_keys_follow_declaration_order():
    result = morvanta.compute_emi({**BASE, "start": "2024-01"})
    assert list(result["totals"]) == ["nominalPaid", "realPaid", "nominalPrincipal", "nominalInterest",
                                      "realPrincipal", "realInterest"]
    assert list(result["years"][0]) == ["year", "months", "nominalTotal", "realTotal", "closingOutstanding"]
    assert list(result["years"][0]["months"][0]) == ["nominal", "real"]
    assert len(result["years"][0]["months"]) == 12


def test_sequence_and_tuple_requests_are_rejected_as_records():
    assert invalid(("mode", "emi")) == "unexpected type: 'tuple' object cannot be converted to 'Mapping'"


RULE = {"pattern": "cof", "category": "Food", "merchant": "Cafe"}
ROW = {"narration": "COFFEE"}


@pytest.mark.parametrize("fn, request_, note", [
    (morvanta.compute_emi, {**BASE, "start": "2024/03"}, "at start"),
    (morvanta.compute_emi, {**BASE, "mode": 5}, "at mode"),
    (morvanta.compute_emi, Uneven([("mode", "emi"), ("interestRate", 1)]), "at interestRate"),
    (morvanta.categorize_transactions, {"data": [ROW, ROW, {"narration": float("nan")}], "rules": []},
     "at data[2].narration"),
    (morvanta.categorize_transactions, {"data": [], "rules": [RULE, RULE, {"pattern": "x", "category": "y"}]},
     "at rules[2]"),
    (morvanta.categorize_transactions, {"data": [ROW, {1: "x"}], "rules": []}, "at data[1]"),
    (morvanta.categorize_transactions, {"data": ("ab",), "rules": []}, "at data[0]"),
    (morvanta.categorize_transactions, {"data": "ab", "rules": []}, "at data[0]"),
    (morvanta.derive_rules, {"data": [{"narration": "x", "category": "c", "merchant": ["m"]}]}, "at data[0].merchant"),
    # Failures of the request record itself have no location.
    (morvanta.compute_emi, {"mode": "emi"}, None),
    (morvanta.compute_emi, {**BASE, 1: 2}, None),
    (morvanta.compute_emi, None, None),
    (morvanta.categorize_transactions, {"data": 5, "rules": []}, "at data"),
])
def test_read_error_notes_name_the_failing_value(fn, request_, note):
    with pytest.raises(ValueError) as info:
        fn(request_)
    assert getattr(info.value, "__notes__", None) == (None if note is None else [note])


@pytest.mark.parametrize("request_", [{**BASE, "months": 601}, {**BASE, "interestRate": -1}, {"mode": "emi", "interestRate": 1}])
def test_engine_errors_have_no_note(request_):
    with pytest.raises(ValueError) as info:
        morvanta.compute_emi(request_)
    assert not info.value.args[0].startswith("invalid request: ")
    assert not hasattr(info.value, "__notes__")


BAD_VALUES = st.one_of(st.integers(), st.floats(allow_nan=False), st.none(), st.booleans(),
                       st.lists(st.integers(), max_size=2))


GOOD = {"narration": "x", "category": "c", "merchant": "m"}


def raised(fn, request):
    with pytest.raises(ValueError) as info:
        fn(request)
    return info.value


@given(before=st.integers(0, 30), bad=BAD_VALUES, field=st.sampled_from(["narration", "category", "merchant"]))
def test_note_leaves_the_message_unchanged(before, bad, field):
    request = {"data": [GOOD] * before + [{**GOOD, field: bad}]}
    obj = raised(morvanta.derive_rules, request)
    alone = raised(morvanta.derive_rules, {"data": [{**GOOD, field: bad}]})
    text = raised(morvanta.derive_rules_json, json.dumps(request))
    for exc in (obj, alone, text):
        assert type(exc) is ValueError and exc.args == (str(exc),)
        assert str(exc).startswith("invalid request: ")
        assert all(note not in str(exc) for note in getattr(exc, "__notes__", []))
    # In object mode the message does not depend on where the value sits;
    # the note says where. JSON mode keeps its position at the message's end.
    assert str(obj) == str(alone)
    assert obj.__notes__ == [f"at data[{before}].{field}"]
    assert re.search(r" at line \d+ column \d+$", str(text))
