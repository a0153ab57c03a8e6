"""JSON text mode and object mode give the same answers for random valid requests."""
import json

from hypothesis import given, settings, strategies as st

import morvanta
from budget import examples

# Decimals of at most 15 significant digits with a small exponent: both JSON
# readers (ours and json.loads) take such a text to the same double.
decimals = st.builds(lambda digits, scale: digits / 10**scale, st.integers(1, 10**12), st.integers(0, 6))
rates = st.one_of(st.integers(0, 30), st.builds(lambda d, s: d / 10**s, st.integers(0, 3000), st.integers(0, 3)))
loan_requests = st.fixed_dictionaries(
    {"mode": st.sampled_from(["emi", "tenure", "loanAmount"]), "interestRate": rates},
    optional={"loanAmount": st.one_of(decimals, st.none()), "emi": st.one_of(decimals, st.none()),
              "months": st.one_of(st.integers(0, 650), st.none()), "inflationRate": rates,
              "start": st.one_of(st.none(), st.builds(lambda y, m: f"{y:04d}-{m:02d}", st.integers(0, 9999),
                                                      st.integers(1, 12))),
              "note": st.text(max_size=5)},
)
texts = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=20)
labels = st.sampled_from(["Food", "food", "Travel", "Bills", "Ünïcode", ""])
derive_requests = st.builds(
    lambda items: {"data": [{"narration": n, "category": c, "merchant": m} for n, c, m in items]},
    st.lists(st.tuples(st.one_of(texts, st.sampled_from(["POS COFFEE 12", "UPI/SWIGGY/99", "RENT MAY"])),
                       labels, labels), max_size=12))


def outcome(fn, arg):
    try:
        return ("ok", fn(arg))
    except ValueError as e:
        return ("error", e.args[0])


@settings(max_examples=examples(300), deadline=None)
@given(loan_requests, st.booleans())
def test_loan_modes_agree(request_, as_array):
    if as_array:  # the same request as a JSON array of the fields in order
        text = json.dumps([request_["mode"], request_.get("loanAmount"), request_.get("emi"), request_.get("months"),
                           request_["interestRate"], request_.get("inflationRate", 0.0), request_.get("start")])
    else:
        text = json.dumps(request_)
    got = outcome(morvanta.compute_emi_json, text)
    expected = outcome(morvanta.compute_emi, request_)
    if expected[0] == "ok":
        assert got[0] == "ok" and json.loads(got[1]) == expected[1]
    else:
        assert got == expected


@settings(max_examples=examples(200), deadline=None)
@given(derive_requests, st.booleans())
def test_derive_modes_agree(request_, ascii_only):
    text = json.dumps(request_, ensure_ascii=ascii_only)
    assert json.loads(morvanta.derive_rules_json(text)) == morvanta.derive_rules(request_)
