"""Draw a loan's amortisation as a PNG: principal and interest per month as
stacked bars, the outstanding balance as a line, nominal on top and
inflation-adjusted (first-month money) below.

    pip install "morvanta[examples]"    # matplotlib
    python examples/amortisation_chart.py [--out amortisation.png] [--amount 2500000]
        [--months 240] [--rate 8.5] [--inflation 5] [--start 2025-01]
"""
import argparse

import matplotlib

matplotlib.use("Agg")  # draw to a file, no display needed
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402

import morvanta  # noqa: E402

WIDTH_IN, HEIGHT_IN, DPI = 11, 8, 100
HEADROOM = 1.2  # room above the highest bar for the legend
THOUSANDS = FuncFormatter(lambda value, _pos: f"{value:,.0f}")


def deflators(schedule, inflation):
    """The factor that turns each month's money into first-month money.

    The same monthly factor the loan engine uses for its real values: the
    annual rate spread evenly over twelve months and compounded month by month.
    """
    monthly = (1 + inflation / 100) ** (1 / 12)
    factors, d = [], 1.0
    for _ in schedule:
        factors.append(d)
        d *= monthly
    return factors


def draw(result, inflation, path):
    schedule = result["schedule"]
    months = [row["index"] + 1 for row in schedule]
    real_balance = [row["outstanding"] / d for row, d in zip(schedule, deflators(schedule, inflation))]

    fig, (nominal, real) = plt.subplots(2, 1, figsize=(WIDTH_IN, HEIGHT_IN), dpi=DPI, sharex=True)
    panels = [
        (nominal, "nominal", [r["principal"] for r in schedule], [r["interest"] for r in schedule],
         [r["outstanding"] for r in schedule]),
        (real, f"real (first-month money, inflation {inflation}%)", [r["realPrincipal"] for r in schedule],
         [r["realInterest"] for r in schedule], real_balance),
    ]
    for ax, title, principal, interest, balance in panels:
        ax.bar(months, principal, width=1.0, color="#2b6cb0", label="principal")
        ax.bar(months, interest, width=1.0, bottom=principal, color="#dd6b20", label="interest")
        ax.set_ylabel("paid per month")
        ax.set_ylim(0, HEADROOM * max(p + i for p, i in zip(principal, interest)))
        ax.yaxis.set_major_formatter(THOUSANDS)
        ax.set_title(title, loc="left", fontsize=10)
        outstanding = ax.twinx()
        outstanding.plot(months, balance, color="#1a202c", linewidth=1.5, label="outstanding")
        outstanding.set_ylabel("outstanding after the payment")
        outstanding.set_ylim(0, HEADROOM * max(max(balance), 1))
        outstanding.yaxis.set_major_formatter(THOUSANDS)
        bars, labels = ax.get_legend_handles_labels()
        line, line_label = outstanding.get_legend_handles_labels()
        ax.legend(bars + line, labels + line_label, loc="upper center", ncol=3, fontsize=8)

    when = f", first instalment {result['start']}" if "start" in result else ""
    fig.suptitle(f"Loan {result['loanAmount']:,} over {result['months']} months at {result['interestRate']}%: "
                 f"instalment {result['emi']:,}{when}")
    real.set_xlabel("month")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default="amortisation.png", help="PNG file to write")
    parser.add_argument("--amount", type=float, default=2_500_000)
    parser.add_argument("--months", type=int, default=240)
    parser.add_argument("--rate", type=float, default=8.5, help="interest, percent a year")
    parser.add_argument("--inflation", type=float, default=5, help="inflation, percent a year")
    parser.add_argument("--start", default="2025-01", help="month of the first instalment, YYYY-MM")
    args = parser.parse_args(argv)

    result = morvanta.compute_emi({"mode": "emi", "loanAmount": args.amount, "months": args.months,
                                   "interestRate": args.rate, "inflationRate": args.inflation,
                                   "start": args.start})
    draw(result, args.inflation, args.out)
    print(f"wrote {args.out}: {result['months']} months, instalment {result['emi']:,}, "
          f"interest {result['totals']['nominalInterest']:,} nominal, {result['totals']['realInterest']:,} real")


if __name__ == "__main__":
    main()
