"""Learn categorization rules from a labelled statement, apply them to new transactions.

    python examples/statement_workflow.py [labelled.csv] [new.csv]

1. derive one rule per (category, merchant) from the labelled CSV
   (columns narration, category, merchant);
2. categorize the new CSV (column narration) with those rules, first match wins;
3. compare with the labels the new CSV carries (expected_category,
   expected_merchant) and print coverage (share of transactions a rule
   matched) and accuracy (share of matched ones that got the right labels);
4. fix what went wrong with one hand-written rule placed before the derived
   ones, and measure again.

Defaults: the two files in examples/data/.
"""
from __future__ import annotations

import csv
import os
import sys
from typing import TYPE_CHECKING, Dict, List, Optional, Sequence, Tuple

import morvanta

if TYPE_CHECKING:  # shapes known to type checkers, not module attributes
    from morvanta import CategorizeRequest, CategoryRule, DeriveRulesRequest, MapOutput

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def read_csv(path: str) -> List[Dict[str, str]]:
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def derive(labelled: Sequence[Dict[str, str]]) -> List[CategoryRule]:
    request: DeriveRulesRequest = {"data": [
        {"narration": row["narration"], "category": row["category"], "merchant": row["merchant"]} for row in labelled]}
    return morvanta.derive_rules(request)["rules"]


def categorize(transactions: Sequence[Dict[str, str]], rules: Sequence[CategoryRule]) -> List[Optional[MapOutput]]:
    request: CategorizeRequest = {"data": [{"narration": row["narration"]} for row in transactions], "rules": rules}
    return morvanta.categorize_transactions(request)["data"]


def score(transactions: Sequence[Dict[str, str]], results: Sequence[Optional[MapOutput]]) -> Tuple[int, int, int]:
    """(total, matched, correct)"""
    matched = correct = 0
    for row, result in zip(transactions, results):
        if result is None:
            continue
        matched += 1
        if (result["category"], result["merchant"]) == (row["expected_category"], row["expected_merchant"]):
            correct += 1
    return len(transactions), matched, correct


def report(title: str, transactions: Sequence[Dict[str, str]], results: Sequence[Optional[MapOutput]]) -> None:
    print(f"== {title}")
    for row, result in zip(transactions, results):
        expected = f"{row['expected_category']} / {row['expected_merchant']}"
        if result is None:
            verdict, got = "unmatched", "-"
        else:
            got = f"{result['category']} / {result['merchant']}"
            verdict = "ok" if got == expected else f"wrong, expected {expected}"
        print(f"  {row['narration']:<38} {got:<32} {verdict}")
    total, matched, correct = score(transactions, results)
    print(f"coverage: {matched}/{total} = {matched / total:.1%}")
    print(f"accuracy: {correct}/{matched} = {correct / matched:.1%} of matched, "
          f"{correct}/{total} = {correct / total:.1%} of all")
    print()


def main(argv: List[str]) -> None:
    labelled = read_csv(argv[1] if len(argv) > 1 else os.path.join(DATA, "labelled.csv"))
    new = read_csv(argv[2] if len(argv) > 2 else os.path.join(DATA, "new_transactions.csv"))

    rules = derive(labelled)
    print(f"== {len(rules)} rules derived from {len(labelled)} labelled transactions")
    for rule in rules:
        print(f"  {rule['pattern']!r:<14} -> {rule['category']} / {rule['merchant']}")
    print()
    report("derived rules on new transactions", new, categorize(new, rules))

    # Derived rules are a starting point. "AMAZON PRIME VIDEO" contains "amazon"
    # and so is filed as shopping; a more specific rule placed first wins.
    fix: CategoryRule = {"pattern": "amazon prime", "category": "Entertainment", "merchant": "Amazon Prime"}
    report("with one hand-written rule first", new, categorize(new, [fix, *rules]))


if __name__ == "__main__":
    main(sys.argv)
