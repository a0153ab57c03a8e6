"""Hostile and unusual objects in object mode: each gives a clear exception, never a crash or a wrong answer."""
import collections.abc
import gc
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


# With more keys than the record has fields (7), the reader holds the
# entries it takes on the heap rather than in its own room.
@pytest.mark.parametrize("extra", [0, 20])
def test_dict_changed_while_read_uses_the_entries_taken_at_the_start(extra):
    req = {**{f"k{i}": object() for i in range(extra)}, **BASE}
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


class SameText(str):
    """A key equal in text to a field name, yet a dict entry of its own."""

    __hash__ = object.__hash__
    __eq__ = object.__eq__


def built(text):
    """The text as a new, not interned, str."""
    return "".join(list(text))


CAFE = {"category": "F", "merchant": "M"}


# Plain dicts are read in place, their keys matched by identity with the
# field names when interned and by text otherwise.
@pytest.mark.parametrize("rule, expected", [
    ({built("pattern"): "cof", built("category"): "F", built("merchant"): "M"}, CAFE),
    ({S("merchant"): S("M"), S("pattern"): S("cof"), S("category"): S("F")}, CAFE),
    ({"pattern": "cof", "other": object(), "category": "F", "merchant": "M", "z": None}, CAFE),
    ({"pattern": "cof", SameText("pattern"): "x", "category": "F", "merchant": "M"},
     "invalid request: duplicate field `pattern`"),
    ({SameText("pattern"): "x", "pattern": "cof", "category": "F", "merchant": "M"},
     "invalid request: duplicate field `pattern`"),
    ({"pattern": "cof", "category": "F", 7: "M"}, "invalid request: dict keys must have type str"),
    ({"pattern": "cof", "category": 7, 8: "M"},
     "invalid request: unexpected type: 'int' object cannot be converted to 'PyString'"),
    ({"pattern": "cof", "category": "F"}, "invalid request: missing field `merchant`"),
    ({"pattern": "cof", "category": "\ud800", "merchant": "M"},
     "invalid request: UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
     "surrogates not allowed"),
])
def test_plain_dict_key_forms(rule, expected):
    request = {"data": [{"narration": "COFFEE"}], "rules": [rule]}
    if isinstance(expected, str):
        assert invalid(morvanta.categorize_transactions, request) == expected
    else:
        assert morvanta.categorize_transactions(request) == {"data": [expected]}


class Shrinking(collections.abc.Mapping):
    """An item whose reading removes the items after it from its list."""

    def __init__(self, owner):
        self.owner = owner

    def __getitem__(self, key):
        return {"narration": "COFFEE"}[key]

    def __iter__(self):
        return iter(["narration"])

    def __len__(self):
        return 1

    def keys(self):
        del self.owner[2:]
        churn()
        return ["narration"]


def test_list_shortened_while_read_after_plain_dicts():
    items = [{"narration": fresh("COFFEE")} for _ in range(20)]
    items[1] = Shrinking(items)
    assert invalid(morvanta.categorize_transactions, {"data": items, "rules": []}) == (
        "invalid request: IndexError: list index out of range")


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


def fresh(text):
    """A str object of its own (no literal or interned copy keeps it alive)."""
    return "".join(list(text + "\u00e9")[:-1]) if len(text) > 1 else text


def churn():
    # Reuses freed memory, so that a text read from a released str would
    # show garbage even without a sanitizer.
    return [fresh("x" * n) for n in range(1, 200)]


class Forgetting(collections.abc.Sequence):
    """Builds each item when asked and drops the item it gave before."""

    def __init__(self, make, n):
        self.make, self.n, self.current = make, n, None

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        self.current = self.make(i)
        churn()
        return self.current


class FreshValues(collections.abc.Mapping):
    """A mapping whose values are new texts on every call, held by nothing but the reader's value list."""

    def __init__(self, make):
        self.make = make

    def __getitem__(self, key):
        return self.make()[key]

    def __iter__(self):
        return iter(self.make())

    def __len__(self):
        return len(self.make())

    def values(self):
        churn()
        return list(self.make().values())


class Replacing(dict):
    """A dict whose reading replaces the text of the item read just before it."""

    def __init__(self, items, i, **kw):
        super().__init__(**kw)
        self.items, self.i = items, i

    def keys(self):
        if self.i:
            self.items[self.i - 1]["narration"] = fresh("other text")
            churn()
        return list(super().keys())


def replacing_items(n):
    items = []
    for i in range(n):
        items.append(Replacing(items, i, narration=fresh(f"CAFÉ {i} 😀")))
    return items


def cafe_rule():
    return {"pattern": fresh("café"), "category": fresh("Food ☕"), "merchant": fresh("Café Ltd")}


MATCHED = {"category": "Food ☕", "merchant": "Café Ltd"}


# Texts already read must stay what they were while user code drops or
# replaces the objects they came from.
@pytest.mark.parametrize("data, rules", [
    (lambda: Forgetting(lambda i: {"narration": fresh(f"CAFÉ {i} ΣΑΣ")}, 40), lambda: [cafe_rule()]),
    (lambda: [FreshValues(lambda i=i: {"narration": fresh(f"CAFÉ {i} ascii")}) for i in range(40)],
     lambda: Forgetting(lambda i: FreshValues(cafe_rule), 3)),
    (lambda: replacing_items(40), lambda: [FreshValues(cafe_rule)]),
])
def test_texts_outlive_the_objects_they_came_from(data, rules):
    got = morvanta.categorize_transactions({"data": data(), "rules": rules()})
    assert got == {"data": [MATCHED] * 40}


class Dropping(collections.abc.Sequence):
    """A sequence whose reading empties another list of the request, freeing what it held."""

    def __init__(self, items, target):
        self.items, self.target = items, target

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        self.target.clear()
        churn()
        return self.items[i]


def plain_narrations():
    return [{"narration": fresh(f"CAFÉ {i} ascii")} for i in range(40)]


def dropping_rules(data):
    return Dropping([cafe_rule(), {"pattern": "x", "category": "c", "merchant": "m"}], data)


# Texts of plain dicts and lists are read without a reference, so each row
# frees them from Python code that runs later in the same read.
@pytest.mark.parametrize("make", [
    # The rules, read first, then a sequence of narrations that drops them.
    lambda: (lambda rules: {"rules": rules, "data": Dropping(plain_narrations(), rules)})([cafe_rule()]),
    # The narrations, read first, then a sequence of rules that drops them.
    lambda: (lambda data: {"data": data, "rules": dropping_rules(data)})(plain_narrations()),
])
def test_plain_texts_outlive_python_code_later_in_the_read(make):
    assert morvanta.categorize_transactions(make()) == {"data": [MATCHED] * 40}


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="the cycle collector runs between bytecodes from 3.12 on")
def test_result_texts_outlive_a_collection_while_it_is_written():
    # The result's dicts, more than CPython keeps free for reuse, start the
    # cycle collector inside their allocation while the result is written.
    # Its finalizer here frees the rules whose texts the result holds, one
    # entry of them for each narration.
    n = 300
    rules = [{"pattern": fresh(f"shop{i:03d}"), "category": fresh(f"Food {i} ☕"), "merchant": fresh(f"Shop {i}")}
             for i in range(n)]
    request = {"data": [{"narration": fresh(f"UPI/SHOP{i:03d}/PAY")} for i in range(n)], "rules": rules}

    class FreesRules:
        def __del__(self):
            rules.clear()
            churn()

    threshold, enabled = gc.get_threshold(), gc.isenabled()
    gc.disable()
    cycle = FreesRules()
    cycle.me = cycle
    del cycle
    gc.set_threshold(1)
    gc.enable()
    try:
        got = morvanta.categorize_transactions(request)
    finally:
        gc.set_threshold(*threshold)
        if not enabled:
            gc.disable()
    assert rules == []
    assert got == {"data": [{"category": f"Food {i} ☕", "merchant": f"Shop {i}"} for i in range(n)]}


def test_derived_labels_outlive_the_objects_they_came_from():
    def item(i):
        return {"narration": fresh(f"CITYBAKERY {i}"), "category": fresh("Food ☕"), "merchant": fresh("Bäckerei")}
    got = morvanta.derive_rules({"data": Forgetting(item, 30)})
    assert got == {"rules": [{"pattern": "citybakery", "category": "Food ☕", "merchant": "Bäckerei"}]}


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


def naming_raises(exc, *bases):
    """A class whose metaclass raises `exc` when asked for the class's __qualname__."""
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise exc
            return super().__getattribute__(name)
    return Meta("Unnamed", bases, {})


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
    # The type's name, for the message of a value that cannot be converted
    # or of an exception that becomes a conversion error.
    "element type name": lambda exc: (morvanta.categorize_transactions,
                                      {"data": [{"narration": naming_raises(exc)()}], "rules": []}),
    "list type name": lambda exc: (morvanta.categorize_transactions, {"data": naming_raises(exc)(), "rules": []}),
    "json argument type name": lambda exc: (morvanta.categorize_transactions_json, naming_raises(exc)()),
    "exception type name": lambda exc: (morvanta.compute_emi,
                                        {**BASE, "interestRate": BadFloat(exc=naming_raises(exc, Boom)())}),
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
    assert frame.name in ("raise_it", "__getitem__", "__float__", "__index__", "__class__", "__getattribute__")


def test_str_subclass_isascii_is_never_consulted():
    # The JSON text's ASCII test reads the str itself: an override that
    # raises is not called, and one that claims ASCII for a non-ASCII text
    # does not make the call leave a UTF-8 copy inside the str (which
    # str.__sizeof__ counts).
    calls = []

    class Interrupting(str):
        def isascii(self):
            calls.append(self)
            raise KeyboardInterrupt

    class Lying(str):
        def isascii(self):
            calls.append(self)
            return True

    text = '{"data":[{"narration":"CAFÉ 12"}],"rules":[{"pattern":"café","category":"c","merchant":"m"}]}'
    for cls in (Interrupting, Lying):
        arg = cls(text)
        size = str.__sizeof__(arg)
        assert morvanta.categorize_transactions_json(arg) == '{"data":[{"category":"c","merchant":"m"}]}'
        assert str.__sizeof__(arg) == size
    assert calls == []


def test_str_of_a_failing_exception_that_raises_an_interrupt_passes_it_on():
    interrupt = KeyboardInterrupt()

    class Loud(Exception):
        def __str__(self):
            raise interrupt

    with pytest.raises(KeyboardInterrupt) as info:
        morvanta.compute_emi({**BASE, "interestRate": BadFloat(exc=Loud())})
    assert info.value is interrupt
