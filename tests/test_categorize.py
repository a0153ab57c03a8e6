"""categorize_transactions in object mode: first matching rule wins, by
substring on lower-cased text; results copy the rule's labels verbatim."""
import types

import pytest
from alphabet import ALPHABET
from hypothesis import given, settings, strategies as st

import morvanta
from budget import examples


def rule(pattern, category="C", merchant="M"):
    return {"pattern": pattern, "category": category, "merchant": merchant}


def categorize(rules, narrations):
    request = {"data": [{"narration": n} for n in narrations], "rules": rules}
    return morvanta.categorize_transactions(request)["data"]


def winner(rules, narration):
    """Index of the rule whose labels came back, or None (categories are unique)."""
    (result,) = categorize(rules, [narration])
    if result is None:
        return None
    return [r["category"] for r in rules].index(result["category"])


def numbered(patterns):
    return [rule(p, category=f"c{i}") for i, p in enumerate(patterns)]


MATCH_CASES = [
    # (patterns in priority order, narration, index of the winning rule)
    pytest.param(["cab"], "VOCABULARY BOOKS", 0, id="substring-not-word"),
    pytest.param(["coffee", "coffee house"], "COFFEE HOUSE", 0, id="earliest-wins"),
    pytest.param(["coffee house", "coffee"], "COFFEE HOUSE", 0, id="earliest-wins-reversed"),
    pytest.param(["tea", "house"], "COFFEE HOUSE", 1, id="later-rule-when-earlier-misses"),
    pytest.param(["", "coffee"], "COFFEE", 0, id="empty-pattern-first"),
    pytest.param(["tea", "", "coffee"], "COFFEE", 1, id="empty-pattern-shadows-later"),
    pytest.param([""], "", 0, id="empty-pattern-empty-narration"),
    pytest.param(["a"], "", None, id="empty-narration"),
    pytest.param([" cafe"], "cafe", None, id="leading-space-kept"),
    pytest.param([" cafe"], "the cafe", 0, id="leading-space-matches"),
    pytest.param(["cafe "], "cafe", None, id="trailing-space-kept"),
    pytest.param(["UPI"], "upi", 0, id="equal-length-equal"),
    pytest.param(["UPX"], "upi", None, id="equal-length-different"),
    pytest.param(["UPI/"], "upi", None, id="longer-never"),
    pytest.param(["a.b"], "axb", None, id="dot-is-literal"),
    pytest.param(["a*"], "aaa", None, id="star-is-literal"),
    pytest.param(["straße"], "STRASSE", None, id="sharp-s-not-folded"),
    pytest.param(["STRASSE"], "strasse", 0, id="double-s-lowers"),
    pytest.param(["straße"], "STRAßE", 0, id="sharp-s-itself"),
    pytest.param(["i"], "\u0130STANBUL", 0, id="dotted-capital-i-gives-i"),
    pytest.param(["\u0130stanbul"], "i\u0307stanbul", 0, id="dotted-capital-i-in-pattern"),
    pytest.param(["\u0130"], "istanbul", None, id="dotted-capital-i-needs-dot"),
    pytest.param(["ı"], "ISTANBUL", None, id="no-turkish-tailoring"),
    pytest.param(["Σ"], "ΟΔΟΣ", None, id="lone-sigma-vs-final-sigma"),
    pytest.param(["ς"], "ΟΔΟΣ", 0, id="final-sigma-narration"),
    pytest.param(["σ"], "ΟΔΟΣ ΟΣΑ", 0, id="medial-sigma-narration"),
    pytest.param(["ΟΣ"], "ΟΔΟΣ", 0, id="final-sigma-pattern"),
    pytest.param(["ΟΣ"], "ΟΣΑ", None, id="final-sigma-pattern-vs-medial"),
    pytest.param(["ΟΣ"], "ΟΣ\u0301", 0, id="final-sigma-before-mark"),
    pytest.param(["CAFÉ"], "Café Latte", 0, id="latin1-lowers"),
    pytest.param(["k"], "\u212a", 0, id="kelvin-sign-shrinks"),
    pytest.param(["日本"], "ATM 日本 BANK", 0, id="cjk"),
]


@pytest.mark.parametrize("patterns,narration,expected", MATCH_CASES)
def test_first_matching_rule(patterns, narration, expected):
    assert winner(numbered(patterns), narration) == expected


def test_labels_copied_verbatim():
    rules = [rule("Coffee", "Food & Drink", "Coffee House"), rule("x", "", " Ünïcode  ")]
    assert categorize(rules, ["POS 1234 COFFEE HOUSE", "X"]) == [
        {"category": "Food & Drink", "merchant": "Coffee House"},
        {"category": "", "merchant": " Ünïcode  "},
    ]


@pytest.mark.parametrize(
    "rules,narrations,expected",
    [
        pytest.param([], ["a", "b", ""], [None, None, None], id="no-rules"),
        pytest.param([rule("a")], [], [], id="no-transactions"),
        pytest.param([rule("b")], ["a", "b", "c"], [None, {"category": "C", "merchant": "M"}, None], id="positions"),
        pytest.param([rule("")], ["a", ""], [{"category": "C", "merchant": "M"}] * 2, id="empty-pattern-all"),
        pytest.param([rule("pay")], ["PAY"] * 3, [{"category": "C", "merchant": "M"}] * 3, id="repeats"),
    ],
)
def test_one_entry_per_transaction(rules, narrations, expected):
    assert categorize(rules, narrations) == expected


def test_rows_of_one_rule_are_separate_dicts():
    # The caller may change one row; the others keep the rule's labels.
    first, second, third = categorize([rule("pay")], ["PAY"] * 3)
    first["category"] = "changed"
    assert second == third == {"category": "C", "merchant": "M"} and second is not third


@pytest.mark.parametrize("filler", [0, 5, 50, 2000])
def test_rule_count_does_not_change_results(filler):
    # Non-matching rules in front and behind shift the winners' indices but
    # never the winners, whichever search the rule count selects.
    core = [rule("coffee house", "B"), rule("house", "C"), rule("", "Z")]
    front = [rule(f"never{i}", f"f{i}") for i in range(filler)]
    back = [rule("coffee", "late")]
    narrations = ["COFFEE HOUSE", "GUEST HOUSE", "COFFEE", "", "house coffee house"]
    got = categorize(front + core + back, narrations)
    assert [g["category"] for g in got] == ["B", "C", "Z", "Z", "B"]


texts = st.text(alphabet=ALPHABET, max_size=10)


@settings(max_examples=examples(200), deadline=None)
@given(st.lists(texts, max_size=5), st.lists(texts, min_size=1, max_size=6), st.integers(0, 40))
def test_equals_python_containment(narrations, pieces, filler):
    # Patterns mix free text with cuts of the narrations, so matches are
    # common; the filler pushes the rule count past the direct-search limit.
    cuts = [n[i:i + 3] for n in narrations for i in range(0, len(n), 2)]
    patterns = pieces + cuts + [f"\u2603{i}" for i in range(filler)]
    patterns = patterns[1::2] + patterns[0::2]
    got = categorize(numbered(patterns), narrations)
    for narration, result in zip(narrations, got):
        lowered = narration.lower()
        expected = next((i for i, p in enumerate(patterns) if p.lower() in lowered), None)
        assert (None if result is None else int(result["category"][1:])) == expected


# A large request of plain dicts and lists is read and matched in one pass;
# any other is read whole first. Both must answer alike, failures included.
BIG = 9000  # narrations: past the size from which the one pass is taken


def big_request(rules_first=False, data_at=None, rule_at=None, element=None):
    data = [{"narration": f"UPI/{i}/Coffee House ÉTÉ"[: 12 + i % 20]} for i in range(BIG)]
    rules = [rule("house", "H"), rule("été", "E"), rule("upi/1", "U")]
    if data_at is not None:
        data[data_at] = {"narration": 5}
    if rule_at is not None:
        rules[rule_at] = {"pattern": "x", "category": "y"}
    if element is not None:
        data[BIG // 2] = element
    return {"rules": rules, "data": data} if rules_first else {"data": data, "rules": rules}


def outcome(request):
    try:
        return "ok", morvanta.categorize_transactions(request)
    except ValueError as error:
        return "error", error.args, getattr(error, "__notes__", None)


@pytest.mark.parametrize("request_", [
    pytest.param(big_request(), id="data-first"),
    pytest.param(big_request(rules_first=True), id="rules-first"),
    pytest.param(big_request(data_at=BIG - 1), id="data-error"),
    pytest.param(big_request(rules_first=True, data_at=70), id="data-error-rules-first"),
    pytest.param(big_request(data_at=8000, rule_at=1), id="both-fail-data-first"),
    pytest.param(big_request(rules_first=True, data_at=8000, rule_at=1), id="both-fail-rules-first"),
    pytest.param(big_request(rule_at=2), id="rules-error-data-first"),
    pytest.param(big_request(element=types.MappingProxyType({"narration": "HOUSE"})), id="other-mapping-midway"),
    pytest.param(big_request(element={"narration": "ÉTÉ", "amount": 5}), id="extra-key"),
    pytest.param({**big_request(), "extra": 1}, id="extra-request-key"),
])
def test_large_plain_request_answers_as_a_whole_read(request_):
    got = outcome(request_)
    assert got == outcome(types.MappingProxyType(request_))  # not a dict: read whole
    if got[0] == "ok":
        assert len(got[1]["data"]) == BIG
