"""Compare tenures for one loan: instalment, total paid and interest, nominal and real.

    python examples/loan_planner.py [loan amount] [interest %] [inflation %] [tenure in months ...]

"Real" amounts are in the money of the first month: with inflation, a rupee
(or euro, or dollar) paid in year ten is worth less than one paid today, so a
long loan costs less in real terms than its nominal interest suggests.
A tenure the engine refuses (above 600 months) is listed with its reason.
"""
import sys

import morvanta

DEFAULT_TENURES = [12, 36, 60, 120, 180, 240, 360]


def plan(amount, interest, inflation, tenures):
    """One row per tenure: (months, result or None, error text or None)."""
    rows = []
    for months in tenures:
        try:
            result = morvanta.compute_emi({"mode": "emi", "loanAmount": amount, "months": months,
                                           "interestRate": interest, "inflationRate": inflation})
        except ValueError as exc:
            rows.append((months, None, str(exc)))
        else:
            rows.append((months, result, None))
    return rows


def print_table(amount, interest, inflation, rows):
    print(f"Loan {amount:,.0f} at {interest}% a year, inflation {inflation}% a year")
    print()
    header = (f"{'months':>6}  {'years':>5}  {'instalment':>10}  {'total paid':>12}  {'interest':>11}  "
              f"{'real paid':>12}  {'real interest':>13}")
    print(header)
    print("-" * len(header))
    for months, result, error in rows:
        if result is None:
            print(f"{months:>6}  {months / 12:>5.1f}  refused: {error}")
            continue
        totals = result["totals"]
        print(f"{months:>6}  {months / 12:>5.1f}  {result['emi']:>10,}  {totals['nominalPaid']:>12,}  "
              f"{totals['nominalInterest']:>11,}  {totals['realPaid']:>12,}  {totals['realInterest']:>13,}")
    print("-" * len(header))
    print("real = in first-month money; a negative real interest means inflation outpaces the loan's rate")


def main(argv):
    amount = float(argv[1]) if len(argv) > 1 else 2_500_000
    interest = float(argv[2]) if len(argv) > 2 else 8.5
    inflation = float(argv[3]) if len(argv) > 3 else 5
    tenures = [int(a) for a in argv[4:]] or DEFAULT_TENURES
    print_table(amount, interest, inflation, plan(amount, interest, inflation, tenures))


if __name__ == "__main__":
    main(sys.argv)
