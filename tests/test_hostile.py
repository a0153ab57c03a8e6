"""Hostile and unusual objects in object mode: each gives a clear exception, never a crash or a wrong answer."""
import collections.abc
import sys

import pytest

import morvanta

BASE = {"mode": "emi", "loanAmount": 1200, "months": 12, "interestRate": 0}


def invalid(fn, request):
    with pytest.raises(ValueError) as info:
        fn(request)
    (message,) = info.value.args
    return message


class Boom(Exception):
    pass


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no str either")


class Mapping(collections.abc.Mapping):
    def __init__(self, data, keys=None, values=None, length=None):
        self.data, self._keys, self._values, self._length = dict(data), keys, values, length

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data) if self._length is None else self._length

    def keys(self):
        return self._keys() if callable(self._keys) else list(self.data)

    def values(self):
        return self._values() if callable(self._values) else list(self.data.values())


def raise_(exc):
    def f(*args):
        raise exc
    return f


@pytest.mark.parametrize("mapping, message", [
    (Mapping(BASE, keys=raise_(Boom("keys failed"))), "invalid request: Boom: keys failed"),
    (Mapping(BASE, values=raise_(Boom("values failed"))), "invalid request: Boom: values failed"),
    (Mapping(BASE, keys=raise_(Unprintable())), "invalid request: Unprintable: <exception str() failed>"),
    (Mapping(BASE, length=6), "invalid request: IndexError: list index out of range"),
    (Mapping(BASE, length=2**62), "invalid request: IndexError: list index out of range"),
    (Mapping(BASE, keys=lambda: 5), None),
])
def test_mapping_protocol_failures(mapping, message):
    got = invalid(morvanta.compute_emi, mapping)
    if message is None:
        assert got.startswith("invalid request: TypeError: ")
    else:
        assert got == message


def test_mapping_reporting_fewer_entries_reads_only_those():
    # len() says 2: only "mode" and "loanAmount" are read, so interestRate is missing.
    assert invalid(morvanta.compute_emi, Mapping(BASE, length=2)) == "invalid request: missing field `interestRate`"


class Mutating:
    """A number whose conversion empties the request dict it sits in."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        self.target["garbage"] = object()
        return 1200.0


def test_dict_changed_while_read_uses_the_entries_taken_at_the_start():
    req = dict(BASE)
    req["loanAmount"] = Mutating(req)
    result = morvanta.compute_emi(req)
    assert result["loanAmount"] == 1200 and result["months"] == 12
    assert list(req) == ["garbage"]


class BadFloat:
    def __init__(self, result=None, exc=None):
        self.result, self.exc = result, exc

    def __float__(self):
        if self.exc:
            raise self.exc
        return self.result


class BadIndex:
    def __init__(self, result=None, exc=None):
        self.result, self.exc = result, exc

    def __index__(self):
        if self.exc:
            raise self.exc
        return self.result


@pytest.mark.parametrize("field, value, expected", [
    ("interestRate", BadFloat(exc=Boom("no float")), "invalid request: Boom: no float"),
    ("interestRate", BadFloat(exc=Unprintable()), "invalid request: Unprintable: <exception str() failed>"),
    ("interestRate", BadFloat(result="1.5"), "invalid request: TypeError: BadFloat.__float__ returned non-float (type str)"),
    ("months", BadIndex(exc=Boom("no index")), "invalid request: Boom: no index"),
    ("months", BadIndex(result="3"), "invalid request: TypeError: __index__ returned non-int (type str)"),
])
def test_number_protocol_failures(field, value, expected):
    assert invalid(morvanta.compute_emi, {**BASE, field: value}) == expected


class S(str):
    pass


class I(int):
    pass


class F(float):
    pass


class D(dict):
    def keys(self):  # a dict subclass is still read through its mapping methods
        return list(super().keys())


class L(list):
    pass


def test_builtin_subclasses_are_accepted():
    req = D(mode=S("emi"), loanAmount=F(1200.0), months=I(12), interestRate=F(0.0), start=S("2024-01"))
    assert morvanta.compute_emi(req) == morvanta.compute_emi({**BASE, "start": "2024-01"})
    cat = {"data": L([D(narration=S("COFFEE"))]), "rules": (D(pattern=S("cof"), category=S("F"), merchant=S("M")),)}
    assert morvanta.categorize_transactions(cat) == {"data": [{"category": "F", "merchant": "M"}]}


class Seq(collections.abc.Sequence):
    def __init__(self, items, length=None, fail_at=None, fail_with=None):
        self.items, self.length, self.fail_at, self.fail_with = items, length, fail_at, fail_with

    def __len__(self):
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.fail_with or Boom(f"item {i}")
        return self.items[i]


ITEM = {"narration": "coffee"}


class LyingList(list):
    def __len__(self):
        return 2**62


class LyingTuple(tuple):
    def __len__(self):
        return 2**40


@pytest.mark.parametrize("data, message", [
    (Seq([ITEM, ITEM], length=3), "invalid request: IndexError: list index out of range"),
    # A length far beyond memory is not reserved up front: the elements are
    # read until fetching one fails.
    (LyingList(), "invalid request: IndexError: list index out of range"),
    (LyingList([ITEM, ITEM]), "invalid request: IndexError: list index out of range"),
    (LyingTuple([ITEM]), "invalid request: IndexError: tuple index out of range"),
    (Seq([ITEM], length=2**62), "invalid request: IndexError: list index out of range"),
    (Seq([ITEM], length=2**63), "invalid request: OverflowError: cannot fit 'int' into an index-sized integer"),
    (Seq([ITEM, ITEM], fail_at=1), "invalid request: Boom: item 1"),
    (Seq([ITEM], length=-1), "invalid request: ValueError: __len__() should return >= 0"),
    ("ab", "invalid request: unexpected type: 'str' object cannot be converted to 'Mapping'"),
    ({"narration": "x"}, "invalid request: unexpected type: 'dict' object cannot be converted to 'Sequence'"),
])
def test_sequence_protocol_failures(data, message):
    assert invalid(morvanta.categorize_transactions, {"data": data, "rules": []}) == message


def test_sequence_reporting_fewer_items_reads_only_those():
    got = morvanta.categorize_transactions({"data": Seq([ITEM, ITEM, ITEM], length=2), "rules": []})
    assert got == {"data": [None, None]}


def test_same_object_many_times_keeps_reference_counts():
    item = {"narration": "Coffee House"}
    rule = {"pattern": "coffee", "category": "Food", "merchant": "Cafe"}
    before = sys.getrefcount(item), sys.getrefcount(rule)
    req = {"data": [item] * 1000, "rules": [rule] * 50}
    out = morvanta.categorize_transactions(req)
    assert out["data"] == [{"category": "Food", "merchant": "Cafe"}] * 1000
    del req
    assert (sys.getrefcount(item), sys.getrefcount(rule)) == before


class Abort(BaseException):
    pass


def raiser(exc):
    def raise_it(*args):
        raise exc
    return raise_it


class RaisingItems(collections.abc.Mapping):
    """A mapping whose values are read through __getitem__ (the Mapping.values() view)."""

    def __init__(self, exc):
        self.exc = exc

    def __getitem__(self, key):
        raise self.exc

    def __iter__(self):
        return iter(BASE)

    def __len__(self):
        return len(BASE)


class NoClass:
    """isinstance(obj, Mapping) asks for __class__, which raises."""

    def __init__(self, exc):
        self.exc = exc

    @property
    def __class__(self):
        raise self.exc


POSITIONS = {
    "mapping __getitem__": lambda exc: (morvanta.compute_emi, RaisingItems(exc)),
    "mapping keys": lambda exc: (morvanta.compute_emi, Mapping(BASE, keys=raiser(exc))),
    "mapping __len__": lambda exc: (morvanta.compute_emi, type("M", (Mapping,), {"__len__": raiser(exc)})(BASE)),
    "mapping isinstance": lambda exc: (morvanta.compute_emi, NoClass(exc)),
    "__float__": lambda exc: (morvanta.compute_emi, {**BASE, "interestRate": BadFloat(exc=exc)}),
    "__index__": lambda exc: (morvanta.compute_emi, {**BASE, "months": BadIndex(exc=exc)}),
    "sequence __getitem__": lambda exc: (morvanta.categorize_transactions,
                                         {"data": Seq([ITEM, ITEM], fail_at=1, fail_with=exc), "rules": []}),
    "sequence __len__": lambda exc: (morvanta.categorize_transactions,
                                     {"data": type("S", (Seq,), {"__len__": raiser(exc)})([]), "rules": []}),
}


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError, Abort])
@pytest.mark.parametrize("position", list(POSITIONS))
def test_interrupts_and_memory_errors_from_user_code_pass_unchanged(position, exc_type):
    exc = exc_type("from user code")
    fn, request = POSITIONS[position](exc)
    with pytest.raises(exc_type) as info:
        fn(request)
    assert info.value is exc
    assert info.value.args == ("from user code",)
    frame = info.traceback[-1]
    assert frame.name in ("raise_it", "__getitem__", "__float__", "__index__", "__class__")


def test_str_of_a_failing_exception_that_raises_an_interrupt_passes_it_on():
    interrupt = KeyboardInterrupt()

    class Loud(Exception):
        def __str__(self):
            raise interrupt

    with pytest.raises(KeyboardInterrupt) as info:
        morvanta.compute_emi({**BASE, "interestRate": BadFloat(exc=Loud())})
    assert info.value is interrupt
