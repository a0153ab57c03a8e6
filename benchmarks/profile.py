"""Small drivers to run one workload under a profiler.

    python benchmarks/profile.py categorize RULES NARRATIONS CALLS
    python benchmarks/profile.py emi-json CALLS [--no-start]

`categorize` makes CALLS calls of categorize_transactions, each with NARRATIONS
narrations against RULES rules, from the benchmark's data. `emi-json` makes
CALLS calls of compute_emi_json (600 months) in a loop that drops each result.
The setup is the same whatever CALLS is, so a count taken at CALLS=0 is the
baseline to subtract, for example page faults per call:

    perf stat -e page-faults python benchmarks/profile.py emi-json 3000
    perf stat -e page-faults python benchmarks/profile.py emi-json 0

or, for where the instructions go:

    valgrind --tool=callgrind python benchmarks/profile.py categorize 10000 1 20
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import morvanta  # noqa: E402
import data  # noqa: E402
from run import LOAN  # noqa: E402


def categorize(rules, narrations, calls):
    rng = data.rng(7)
    rule_list = data.make_rules(rng, rules)
    pool = data.make_narrations(rng, rule_list, max(narrations, 1) * max(min(calls, 64), 1))
    requests = [{"data": pool[i * narrations:(i + 1) * narrations], "rules": rule_list}
                for i in range(max(min(calls, 64), 1))]
    for i in range(calls):
        morvanta.categorize_transactions(requests[i % len(requests)])


def emi_json(calls, start=True):
    loan = dict(LOAN)
    if not start:
        del loan["start"]
    text = json.dumps(loan)
    morvanta.compute_emi_json(text)
    for _ in range(calls):
        morvanta.compute_emi_json(text)


def main():
    args = sys.argv[1:]
    if args[:1] == ["categorize"] and len(args) == 4:
        categorize(*map(int, args[1:]))
    elif args[:1] == ["emi-json"] and len(args) in (2, 3):
        emi_json(int(args[1]), start=args[2:] != ["--no-start"])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
