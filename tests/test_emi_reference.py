"""The loan engine against a plain-Python rendering of the same arithmetic, on random requests."""
from hypothesis import given, settings, strategies as st

import morvanta

from budget import examples
from loan_reference import compute_emi as reference_emi

amounts = st.one_of(st.floats(min_value=1, max_value=1e9, allow_nan=False), st.integers(1, 10**7))
rates = st.one_of(st.floats(min_value=0, max_value=40, allow_nan=False), st.integers(0, 30))
requests = st.fixed_dictionaries(
    {"mode": st.sampled_from(["emi", "tenure", "loanAmount"]), "interestRate": rates},
    optional={"loanAmount": amounts, "emi": amounts, "months": st.integers(0, 700), "inflationRate": rates,
              "start": st.builds(lambda y, m: f"{y}-{m}", st.integers(0, 9999), st.integers(1, 12))},
)


def outcome(fn, req):
    try:
        return fn(req)
    except ValueError as e:
        return ("error", e.args)


@settings(max_examples=examples(400), deadline=None)
@given(requests)
def test_matches_plain_python(req):
    assert outcome(morvanta.compute_emi, req) == outcome(reference_emi, req)
