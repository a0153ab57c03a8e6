"""The loan engine in object mode: solving, schedule, totals, year groups, errors."""
import json
import math

import pytest

import morvanta

WORKED = {"mode": "emi", "loanAmount": 100000, "months": 12, "interestRate": 12,
          "inflationRate": 6, "start": "2024-11"}

# index, year, month, emi, principal, interest, outstanding, realEmi,
# realPrincipal, realInterest, remainingEmi, realRemainingEmi
WORKED_ROWS = [
    (0, 2024, 11, 8885, 7885, 1000, 92115, 8885, 7885, 1000, 97734, 94940),
    (1, 2024, 12, 8885, 7964, 921, 84151, 8842, 7925, 917, 88849, 86098),
    (2, 2025, 1, 8885, 8043, 842, 76108, 8799, 7965, 834, 79964, 77299),
    (10, 2025, 9, 8885, 8710, 175, 8796, 8464, 8297, 167, 8884, 8422),
    (11, 2025, 10, 8884, 8796, 88, 0, 8422, 8339, 83, 0, 0),
]
ROW_KEYS = ["index", "year", "month", "emi", "principal", "interest", "outstanding", "realEmi",
            "realPrincipal", "realInterest", "remainingEmi", "realRemainingEmi"]


def test_worked_example_rows_totals_and_years():
    result = morvanta.compute_emi(WORKED)
    assert list(result) == ["mode", "loanAmount", "emi", "months", "interestRate", "inflationRate",
                            "start", "totals", "schedule", "years"]
    assert (result["mode"], result["loanAmount"], result["emi"], result["months"]) == ("emi", 100000, 8885, 12)
    assert result["interestRate"] == 12.0 and isinstance(result["interestRate"], float)
    assert result["inflationRate"] == 6.0 and result["start"] == "2024-11"
    for expected in WORKED_ROWS:
        row = result["schedule"][expected[0]]
        assert list(row) == ROW_KEYS
        assert tuple(row.values()) == expected
    assert result["totals"] == {"nominalPaid": 106619, "realPaid": 103825, "nominalPrincipal": 100000,
                                "nominalInterest": 6619, "realPrincipal": 100000, "realInterest": 3825}
    y2024, y2025 = result["years"]
    assert y2024["year"] == 2024 and y2024["months"][:10] == [None] * 10
    assert y2024["months"][10:] == [{"nominal": 8885, "real": 8885}, {"nominal": 8885, "real": 8842}]
    assert (y2024["nominalTotal"], y2024["realTotal"], y2024["closingOutstanding"]) == (17770, 17727, 84151)
    assert y2025["year"] == 2025 and y2025["months"][10:] == [None, None]
    assert all(m is not None for m in y2025["months"][:10])
    assert (y2025["nominalTotal"], y2025["realTotal"], y2025["closingOutstanding"]) == (88849, 86098, 0)


def test_schedule_invariants_of_worked_example():
    result = morvanta.compute_emi(WORKED)
    rows = result["schedule"]
    assert [r["index"] for r in rows] == list(range(12))
    assert sum(r["emi"] for r in rows) == result["totals"]["nominalPaid"]
    for r in rows:
        assert r["realEmi"] == r["realPrincipal"] + r["realInterest"]
        assert r["emi"] == r["principal"] + r["interest"]
    assert rows[0]["remainingEmi"] == result["totals"]["nominalPaid"] - rows[0]["emi"]
    assert rows[0]["realRemainingEmi"] == result["totals"]["realPaid"] - rows[0]["realEmi"]


def test_zero_interest_and_inflation():
    result = morvanta.compute_emi({"mode": "emi", "loanAmount": 100000, "months": 12, "interestRate": 0})
    rows = result["schedule"]
    assert result["emi"] == 8333
    assert [r["outstanding"] for r in rows[:3]] == [91667, 83334, 75001]
    assert rows[10]["outstanding"] == 8337 and rows[11]["principal"] == 8337
    assert all(r["interest"] == 0 and r["realEmi"] == r["emi"] for r in rows)
    assert result["totals"]["nominalPaid"] == result["totals"]["realPaid"] == 100000
    assert result["totals"]["nominalInterest"] == result["totals"]["realInterest"] == 0
    assert result["years"] == [] and "start" not in result
    assert "year" not in rows[0] and "month" not in rows[0]


@pytest.mark.parametrize("request_, months, first_row", [
    # The final payment can exceed the instalment: it covers the balance plus interest.
    ({"mode": "tenure", "loanAmount": 1000, "emi": 1005, "interestRate": 12}, 1,
     {"principal": 1000, "interest": 10, "emi": 1010, "outstanding": 0}),
    # A regular payment leaving a balance that rounds to 0 ends the schedule early.
    ({"mode": "tenure", "loanAmount": 1000.4, "emi": 1000.2, "interestRate": 0}, 1,
     {"principal": 1000, "interest": 0, "emi": 1000, "outstanding": 0}),
    ({"mode": "emi", "loanAmount": 500, "months": 1, "interestRate": 12}, 1,
     {"principal": 500, "interest": 5, "emi": 505, "outstanding": 0}),
])
def test_short_schedules(request_, months, first_row):
    result = morvanta.compute_emi(request_)
    assert result["months"] == months == len(result["schedule"])
    row = result["schedule"][0]
    assert {k: row[k] for k in first_row} == first_row


def test_early_end_reports_rounded_amounts():
    result = morvanta.compute_emi({"mode": "tenure", "loanAmount": 1000.4, "emi": 1000.2, "interestRate": 0})
    assert (result["loanAmount"], result["emi"]) == (1000, 1000)


def test_rounding_can_stall_the_loan():
    result = morvanta.compute_emi({"mode": "emi", "loanAmount": 100, "months": 600, "interestRate": 12})
    rows = result["schedule"]
    assert result["emi"] == 1 and len(rows) == 600
    assert all((r["principal"], r["interest"], r["outstanding"]) == (0, 1, 100) for r in rows[:599])
    assert (rows[599]["principal"], rows[599]["interest"], rows[599]["emi"]) == (100, 1, 101)
    assert result["totals"]["nominalPaid"] == 700


def test_start_is_optional_and_does_not_change_amounts():
    base = {"mode": "emi", "loanAmount": 250000, "months": 30, "interestRate": 9.5, "inflationRate": 4}
    without = morvanta.compute_emi(base)
    with_start = morvanta.compute_emi({**base, "start": "2023-07"})
    assert without["totals"] == with_start["totals"]
    for a, b in zip(without["schedule"], with_start["schedule"]):
        b = dict(b)
        b.pop("year"), b.pop("month")
        assert a == b
    assert morvanta.compute_emi({**base, "start": None}) == without


def test_december_start_spans_two_years():
    result = morvanta.compute_emi({"mode": "emi", "loanAmount": 1000, "months": 2, "interestRate": 0,
                                   "start": "2024-12"})
    assert [(r["year"], r["month"]) for r in result["schedule"]] == [(2024, 12), (2025, 1)]
    y1, y2 = result["years"]
    assert [i for i, m in enumerate(y1["months"]) if m] == [11]
    assert [i for i, m in enumerate(y2["months"]) if m] == [0]


def test_fractional_loan_amount_keeps_unrounded_principal_for_interest():
    result = morvanta.compute_emi({"mode": "loanAmount", "emi": 1000, "months": 12, "interestRate": 10})
    expected_loan = ((1 + 10 / 100 / 12) ** 12 - 1) * 1000 / (10 / 100 / 12 * (1 + 10 / 100 / 12) ** 12)
    assert result["loanAmount"] == math.floor(expected_loan + 0.5)
    assert result["totals"]["nominalPrincipal"] == result["loanAmount"]
    r = 10 / 100 / 12
    assert result["schedule"][0]["interest"] == 1000 - math.floor(1000 - r * expected_loan + 0.5)


@pytest.mark.parametrize("request_, months", [
    ({"mode": "tenure", "loanAmount": 100000, "emi": 2000, "interestRate": 12}, 70),
    ({"mode": "tenure", "loanAmount": 100000, "emi": 1100, "interestRate": 12}, 241),
    ({"mode": "tenure", "loanAmount": 1000, "emi": 300, "interestRate": 0}, 4),
    ({"mode": "tenure", "loanAmount": 1000, "emi": 2000, "interestRate": 0}, 1),
    ({"mode": "emi", "loanAmount": 1000000, "months": 600, "interestRate": 5}, 600),
    # The rounded-up instalment repays a small loan before the tenure ends.
    ({"mode": "emi", "loanAmount": 1000, "months": 600, "interestRate": 5}, 445),
    ({"mode": "loanAmount", "emi": 1000, "months": 10, "interestRate": 0}, 10),
])
def test_solved_tenure(request_, months):
    assert morvanta.compute_emi(request_)["months"] == months


def test_loan_amount_at_zero_rate():
    assert morvanta.compute_emi({"mode": "loanAmount", "emi": 1000, "months": 10, "interestRate": 0})["loanAmount"] == 10000


BELOW = "monthly payment of {} does not cover the first month's interest of {}; the loan would never be repaid"


@pytest.mark.parametrize("request_, message", [
    ({"mode": "emi", "interestRate": -0.01, "loanAmount": None}, "invalid input: interestRate must be zero or greater"),
    ({"mode": "emi", "interestRate": math.nan}, "invalid input: interestRate must be zero or greater"),
    ({"mode": "emi", "interestRate": math.inf}, "invalid input: interestRate must be zero or greater"),
    ({"mode": "emi", "interestRate": 1, "inflationRate": -1}, "invalid input: inflationRate must be zero or greater"),
    ({"mode": "emi", "interestRate": 1, "inflationRate": -math.inf}, "invalid input: inflationRate must be zero or greater"),
    ({"mode": "emi", "interestRate": 1}, "invalid input: loanAmount is required when solving for Emi"),
    ({"mode": "emi", "interestRate": 1, "loanAmount": 5}, "invalid input: months is required when solving for Emi"),
    ({"mode": "emi", "interestRate": 1, "loanAmount": 0, "months": 5}, "invalid input: loanAmount must be greater than zero"),
    ({"mode": "emi", "interestRate": 1, "loanAmount": math.nan, "months": 5}, "invalid input: loanAmount must be greater than zero"),
    ({"mode": "emi", "interestRate": 1, "loanAmount": math.inf, "months": 5}, "invalid input: loanAmount must be greater than zero"),
    ({"mode": "emi", "interestRate": 1, "loanAmount": 5, "months": 0}, "invalid input: months must be greater than zero"),
    ({"mode": "emi", "interestRate": 1, "loanAmount": 5, "months": 601}, "tenure of 601 months exceeds the maximum supported 600 months"),
    ({"mode": "tenure", "interestRate": 1}, "invalid input: loanAmount is required when solving for Tenure"),
    ({"mode": "tenure", "interestRate": 1, "loanAmount": 5}, "invalid input: emi is required when solving for Tenure"),
    ({"mode": "tenure", "interestRate": 1, "loanAmount": 5, "emi": -1}, "invalid input: emi must be greater than zero"),
    ({"mode": "loanAmount", "interestRate": 1}, "invalid input: emi is required when solving for LoanAmount"),
    ({"mode": "loanAmount", "interestRate": 1, "emi": 5}, "invalid input: months is required when solving for LoanAmount"),
    ({"mode": "loanAmount", "interestRate": 1, "emi": 5, "months": 4294967295},
     "tenure of 4294967295 months exceeds the maximum supported 600 months"),
    ({"mode": "tenure", "loanAmount": 100000, "emi": 1000, "interestRate": 12}, BELOW.format("1000.00", "1000.00")),
    ({"mode": "tenure", "loanAmount": 100000, "emi": 999.999, "interestRate": 12}, BELOW.format("1000.00", "1000.00")),
    ({"mode": "tenure", "loanAmount": 100000, "emi": 1000.01, "interestRate": 12},
     "tenure of 1158 months exceeds the maximum supported 600 months"),
    ({"mode": "tenure", "loanAmount": 100000, "emi": 150, "interestRate": 0},
     "tenure of 667 months exceeds the maximum supported 600 months"),
    ({"mode": "tenure", "loanAmount": 1e300, "emi": 1e200, "interestRate": 0},
     "tenure of 18446744073709551615 months exceeds the maximum supported 600 months"),
    ({"mode": "tenure", "loanAmount": 1e300, "emi": 1e-300, "interestRate": 0},
     "invalid input: could not derive a valid tenure from the supplied loan amount and emi"),
    # Rates are tested before the fields a mode needs.
    ({"mode": "tenure", "interestRate": -1}, "invalid input: interestRate must be zero or greater"),
])
def test_engine_errors(request_, message):
    with pytest.raises(ValueError) as info:
        morvanta.compute_emi(request_)
    assert info.value.args == (message,)


@pytest.mark.parametrize("request_", [
    {"mode": "emi", "loanAmount": 1000, "months": 12, "interestRate": -0.0},
    {"mode": "emi", "loanAmount": 1000, "months": 12, "interestRate": 5, "emi": -7},
    {"mode": "loanAmount", "loanAmount": -5, "emi": 100, "months": 3, "interestRate": 5},
    {"mode": "tenure", "loanAmount": 1000, "emi": 100, "months": 0, "interestRate": 5},
])
def test_unused_and_signed_zero_fields_pass(request_):
    assert morvanta.compute_emi(request_)["months"] > 0


@pytest.mark.parametrize("value, text", [
    (1500, "1500.00"), (8333.333, "8333.33"), (0.005, "0.01"), (1.125, "1.12"), (0.375, "0.38"), (2.675, "2.67"),
])
def test_two_decimal_rounding_follows_binary_value(value, text):
    # A loan whose first month's interest (10000.00) dwarfs the instalment.
    with pytest.raises(ValueError) as info:
        morvanta.compute_emi({"mode": "tenure", "loanAmount": 1e6, "emi": value, "interestRate": 12})
    assert info.value.args == (BELOW.format(text, "10000.00"),)


@pytest.mark.parametrize("amount, whole", [
    (0.5, 1), (1.5, 2), (2.5, 3), (0.49999999999999994, 0), (2.4999999999999996, 2), (7.500000000000001, 8),
    (2.0**51 - 0.5, 2**51), (2.0**51 - 1.5, 2**51 - 1), (2.0**51 + 0.5, 2**51 + 1), (2.0**52 - 0.5, 2**52),
    (2.0**52 + 1, 2**52 + 1), (2.0**53 + 2, 2**53 + 2),
])
def test_whole_units_round_halves_up(amount, whole):
    result = morvanta.compute_emi({"mode": "emi", "loanAmount": amount, "months": 1, "interestRate": 0})
    assert (result["loanAmount"], result["emi"], result["schedule"][0]["principal"]) == (whole, whole, whole)


RANGE = "invalid input: amounts exceed the supported range of whole units"


@pytest.mark.parametrize("request_, message", [
    # A solved instalment or loan amount that is not finite.
    ({"mode": "emi", "loanAmount": 100000, "months": 600, "interestRate": 3000},
     "invalid input: could not derive a valid emi from the supplied loan amount and months"),
    ({"mode": "emi", "loanAmount": 100000, "months": 600, "interestRate": 2700},
     "invalid input: could not derive a valid emi from the supplied loan amount and months"),
    ({"mode": "loanAmount", "emi": 1000, "months": 600, "interestRate": 3000},
     "invalid input: could not derive a valid loan amount from the supplied emi and months"),
    ({"mode": "loanAmount", "emi": 1e308, "months": 600, "interestRate": 0},
     "invalid input: could not derive a valid loan amount from the supplied emi and months"),
    # The earlier checks still come first.
    ({"mode": "emi", "loanAmount": 100000, "months": 601, "interestRate": 3000},
     "tenure of 601 months exceeds the maximum supported 600 months"),
    # Amounts that do not fit whole units in 64 bits are refused, not clamped.
    ({"mode": "emi", "loanAmount": 1e300, "months": 3, "interestRate": 1}, RANGE),
    ({"mode": "emi", "loanAmount": 9.3e18, "months": 12, "interestRate": 1}, RANGE),
    ({"mode": "emi", "loanAmount": 2.0**63, "months": 1, "interestRate": 0}, RANGE),
    ({"mode": "loanAmount", "emi": 1e308, "months": 1, "interestRate": 12}, RANGE),
    ({"mode": "tenure", "loanAmount": 1e300, "emi": 1e299, "interestRate": 0}, RANGE),
    # Every row fits, the sum of the payments does not.
    ({"mode": "emi", "loanAmount": 9.2e18, "months": 2, "interestRate": 12}, RANGE),
])
def test_amounts_beyond_whole_units_fail(request_, message):
    for call, arg in ((morvanta.compute_emi, request_), (morvanta.compute_emi_json, json.dumps(request_))):
        with pytest.raises(ValueError) as info:
            call(arg)
        assert info.value.args == (message,)


@pytest.mark.parametrize("request_", [
    # 1 + r rounds to 1: the zero-rate formulas apply.
    {"mode": "emi", "loanAmount": 100000, "months": 12, "interestRate": 1e-13},
    {"mode": "emi", "loanAmount": 100000, "months": 12, "interestRate": 5e-324},
    {"mode": "loanAmount", "emi": 1000, "months": 10, "interestRate": 1e-13},
    {"mode": "tenure", "loanAmount": 1000, "emi": 300, "interestRate": 1e-300},
    {"mode": "tenure", "loanAmount": 100000, "emi": 150, "interestRate": 1e-14},
])
def test_rate_too_small_to_matter_repays_like_zero_rate(request_):
    def outcome(req):
        try:
            result = morvanta.compute_emi(req)
        except ValueError as e:
            return e.args
        result.pop("interestRate")
        return result
    assert outcome(request_) == outcome({**request_, "interestRate": 0})


@pytest.mark.parametrize("request_, expected", [
    # Just above where 1 + r rounds to 1, and at the edge of the 64-bit
    # range: (loanAmount, emi, months, nominalPaid, realPaid) as before.
    ({"mode": "emi", "loanAmount": 100000, "months": 12, "interestRate": 1e-12}, (100000, 7819, 12, 100000, 100000)),
    ({"mode": "loanAmount", "emi": 1000, "months": 10, "interestRate": 1e-12}, (10658, 1000, 10, 10658, 10658)),
    ({"mode": "emi", "loanAmount": 2.0**63 - 1024, "months": 2, "interestRate": 0},
     (2**63 - 1024, 2**62 - 512, 2, 2**63 - 1024, 2**63 - 1024)),
    ({"mode": "emi", "loanAmount": 1e6, "months": 600, "interestRate": 2000}, (1000000, 1666667, 1, 2666667, 2666667)),
    ({"mode": "emi", "loanAmount": 4e18, "months": 3, "interestRate": 36, "start": "2024-12"},
     (4 * 10**18, 1414121453298392064, 3, 4242364359895176192, 4242364359895176192)),
])
def test_extreme_results_in_range_are_kept(request_, expected):
    result = morvanta.compute_emi(request_)
    totals = result["totals"]
    assert (result["loanAmount"], result["emi"], result["months"], totals["nominalPaid"], totals["realPaid"]) == expected


@pytest.mark.parametrize("start, months, last", [("2147483647-11", 2, (2147483647, 12)), ("2147483600-01", 600, None),
                                               ("2147483647-11", 3, None)])
def test_calendar_years_stay_within_32_bits(start, months, last):
    # The last row may fall in the largest signed 32-bit year; a schedule
    # that runs past it is refused rather than dated with wrapped years.
    request = {"mode": "emi", "loanAmount": 1000 * months, "months": months, "interestRate": 0, "start": start}
    if last is None:
        with pytest.raises(ValueError) as info:
            morvanta.compute_emi(request)
        assert info.value.args == ("invalid input: calendar years exceed the supported range (at most 2147483647)",)
    else:
        result = morvanta.compute_emi(request)
        assert (result["schedule"][-1]["year"], result["schedule"][-1]["month"]) == last
        assert result["years"][-1]["year"] == 2147483647
