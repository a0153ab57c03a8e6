"""Categorize a pandas DataFrame column of narrations in one call, then summarise spending.

    pip install "morvanta[examples]"    # pandas
    python examples/pandas_categorize.py [statement.csv]

The whole column goes to morvanta in a single categorize_transactions call
(one pass in native code, instead of one Python call per row); the answers
come back in row order and become two new columns. Unmatched rows get a
missing value. The rules here are written by hand; derive_rules can propose
them from transactions already labelled (see statement_workflow.py).
"""
import os
import sys

import pandas as pd

import morvanta

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")

RULES = [
    {"pattern": "amazon prime", "category": "Entertainment", "merchant": "Amazon Prime"},
    {"pattern": "amazon", "category": "Shopping", "merchant": "Amazon"},
    {"pattern": "decathlon", "category": "Shopping", "merchant": "Decathlon"},
    {"pattern": "netflix", "category": "Entertainment", "merchant": "Netflix"},
    {"pattern": "spotify", "category": "Entertainment", "merchant": "Spotify"},
    {"pattern": "starbucks", "category": "Food & Drink", "merchant": "Starbucks"},
    {"pattern": "swiggy", "category": "Food & Drink", "merchant": "Swiggy"},
    {"pattern": "bigbasket", "category": "Groceries", "merchant": "BigBasket"},
    {"pattern": "uber", "category": "Transport", "merchant": "Uber"},
    {"pattern": "olacabs", "category": "Transport", "merchant": "Ola"},
    {"pattern": "indian oil", "category": "Fuel", "merchant": "Indian Oil"},
    {"pattern": "imps rent", "category": "Housing", "merchant": "Rent"},
    {"pattern": "salary", "category": "Income", "merchant": "Employer"},
]


def categorize_column(df, rules, column="narration"):
    """A copy of df with `category` and `merchant` columns for its narrations."""
    narrations = df[column].fillna("").astype(str)
    response = morvanta.categorize_transactions({"data": [{"narration": n} for n in narrations],
                                                 "rules": rules})
    out = df.copy()
    for key in ("category", "merchant"):
        out[key] = pd.Series([m[key] if m else None for m in response["data"]], index=df.index, dtype=object)
    return out


def main(argv):
    path = argv[1] if len(argv) > 1 else os.path.join(DATA, "new_transactions.csv")
    statement = pd.read_csv(path, usecols=["date", "narration", "amount"])
    categorized = categorize_column(statement, RULES)

    with pd.option_context("display.width", 120, "display.max_rows", 100):
        print(categorized[["date", "narration", "amount", "category", "merchant"]].to_string(index=False))
        print()
        spending = (categorized[categorized["amount"] < 0]
                    .assign(category=lambda d: d["category"].fillna("(uncategorized)"),
                            spent=lambda d: -d["amount"])
                    .groupby("category")["spent"].agg(["count", "sum"])
                    .sort_values("sum", ascending=False))
        print("spending by category")
        print(spending.to_string(float_format=lambda v: f"{v:,.2f}"))
    print(f"\n{categorized['category'].notna().sum()} of {len(categorized)} transactions categorized")


if __name__ == "__main__":
    main(sys.argv)
