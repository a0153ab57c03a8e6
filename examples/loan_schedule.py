"""Print a loan's month-by-month schedule as a table.

    python examples/loan_schedule.py [loan amount] [months] [interest %] [inflation %] [start YYYY-MM]
"""
import sys

import morvanta


def main(argv):
    loan = float(argv[1]) if len(argv) > 1 else 500000
    months = int(argv[2]) if len(argv) > 2 else 24
    interest = float(argv[3]) if len(argv) > 3 else 9.5
    inflation = float(argv[4]) if len(argv) > 4 else 6
    start = argv[5] if len(argv) > 5 else "2024-11"

    result = morvanta.compute_emi({"mode": "emi", "loanAmount": loan, "months": months,
                                   "interestRate": interest, "inflationRate": inflation, "start": start})
    print(f"Loan {result['loanAmount']:,} over {result['months']} months at {interest}% "
          f"(inflation {inflation}%): instalment {result['emi']:,}")
    print()
    header = f"{'month':>7}  {'instalment':>10}  {'principal':>10}  {'interest':>9}  {'outstanding':>11}  {'real paid':>9}"
    print(header)
    print("-" * len(header))
    for row in result["schedule"]:
        when = f"{row['year']}-{row['month']:02d}"
        print(f"{when:>7}  {row['emi']:>10,}  {row['principal']:>10,}  {row['interest']:>9,}  "
              f"{row['outstanding']:>11,}  {row['realEmi']:>9,}")
    print("-" * len(header))
    totals = result["totals"]
    print(f"paid {totals['nominalPaid']:,} (interest {totals['nominalInterest']:,}); "
          f"in first-month money {totals['realPaid']:,} (real interest {totals['realInterest']:,})")
    print()
    for year in result["years"]:
        print(f"{year['year']}: paid {year['nominalTotal']:,}, real {year['realTotal']:,}, "
              f"outstanding at year end {year['closingOutstanding']:,}")


if __name__ == "__main__":
    main(sys.argv)
