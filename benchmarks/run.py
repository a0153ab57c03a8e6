"""Side-by-side benchmark of morvanta against what a Python developer would use instead.

    pip install ".[bench]" && python benchmarks/run.py [--quick]

Builds synthetic but realistic data from a fixed seed, checks that every peer
gives morvanta's answer, then times each in this one process and prints
medians and ratios (peer time / morvanta time: above 1 means morvanta is faster).
"""
import argparse
import gc
import json
import marshal
import os
import platform
import random
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import morvanta  # noqa: E402
import peers  # noqa: E402

SEED = 20261208
WORDS = ["coffee", "bakery", "grocer", "fuel", "pharma", "cinema", "rail", "metro", "taxi", "books", "market",
         "burger", "pizza", "sushi", "hotel", "airline", "telecom", "power", "water", "insure", "gym", "salon",
         "garden", "music", "stream", "cloud", "parking", "toll", "school", "clinic", "dental", "pet", "bike",
         "sport", "fashion", "shoes", "home", "decor", "tools", "games", "toys", "wine", "brew", "tea", "juice",
         "café", "crêpe", "bäckerei", "straße", "kiosk", "deli", "noodle", "ramen", "taco", "grill", "diner"]
FILLER = ["POS", "UPI", "NEFT", "IMPS", "ATM", "REF", "TXN", "CARD", "DEBIT", "CREDIT", "ONLINE", "PAYMENT",
          "TO", "FROM", "AT", "VIA", "BILL", "AUTO", "ECOM", "INTL", "MUMBAI", "DELHI", "BERLIN", "PARIS"]


def merchant_name(rng):
    word = rng.choice(WORDS)
    return f"{word}{rng.choice(['', 'hub', 'mart', 'point', 'zone', 'world', 'co'])}{rng.randrange(10000)}"


def make_rules(rng, count):
    rules = []
    for i in range(count):
        name = merchant_name(rng)
        rules.append({"pattern": name, "category": rng.choice(["Food", "Travel", "Bills", "Shopping", "Health"]),
                      "merchant": name.capitalize() + f" #{i}"})
    return rules


def make_narrations(rng, rules, count, matched_share=0.6):
    data = []
    for _ in range(count):
        parts = [rng.choice(FILLER), str(rng.randrange(10**6))]
        if rng.random() < matched_share:
            parts.insert(rng.randrange(len(parts) + 1), rng.choice(rules)["pattern"].upper())
        while len(" ".join(parts)) < rng.randrange(20, 60):
            parts.append(rng.choice(FILLER + ["NO" + str(rng.randrange(99))]))
        text = " ".join(parts)
        text = "".join(c.lower() if rng.random() < 0.3 else c for c in text)[:80]
        data.append({"narration": text})
    return data


def make_labelled(rng, count, pairs):
    labels = []
    for i in range(pairs):
        name = merchant_name(rng)
        labels.append((name, rng.choice(["Food", "Travel", "Bills", "Shopping", "Health"]), name.capitalize()))
    data = []
    for _ in range(count):
        token, category, merchant = rng.choice(labels)
        words = [rng.choice(FILLER), token.upper(), str(rng.randrange(10**5)), rng.choice(FILLER)]
        rng.shuffle(words)
        data.append({"narration": "/".join(words), "category": category, "merchant": merchant})
    return data


def median_time(fn, repeat, number=1):
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


class Table:
    """Rows of (workload, implementation, median seconds, morvanta's median for that workload)."""

    def __init__(self):
        self.rows = []

    def add(self, workload, name, seconds, reference):
        self.rows.append((workload, name, seconds, reference))

    def print(self):
        print(f"{'workload':<44} {'implementation':<28} {'median':>10} {'peer/morvanta':>14}")
        print("-" * 99)
        for workload, name, seconds, reference in self.rows:
            ratio = "" if name == "morvanta" else f"{seconds / reference:.2f}x"
            print(f"{workload:<44} {name:<28} {format_time(seconds):>10} {ratio:>14}")


def format_time(seconds):
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.1f} us"


def check(name, got, expected):
    if got != expected:
        raise SystemExit(f"{name} disagrees with morvanta")


def bench_categorize(table, rng, quick):
    n = 20000 if quick else 100000
    rule_sets = {count: make_rules(rng, count) for count in (100, 1000, 10000)}
    base_time = None
    for count, rules in rule_sets.items():
        data = make_narrations(rng, rules, n)
        req = {"data": data, "rules": rules}
        ours = morvanta.categorize_transactions(req)
        matched = sum(x is not None for x in ours["data"]) / n
        check("pyahocorasick peer", peers.categorize_aho(req), ours)
        label = f"categorize {n:,} x {count:,} rules"
        t = median_time(lambda: morvanta.categorize_transactions(req), 5)
        base_time = base_time or t
        table.add(label, "morvanta", t, t)
        table.add(label, "pyahocorasick", median_time(lambda: peers.categorize_aho(req), 3), t)
        # The direct loop is slow at scale: time it on a slice and scale up.
        part = {"data": data[: n // 20], "rules": rules}
        check("pure-Python loop", peers.categorize_loop(part), morvanta.categorize_transactions(part))
        table.add(label, "pure-Python loop (scaled)", 20 * median_time(lambda: peers.categorize_loop(part), 1), t)
        print(f"  {label}: {matched:.0%} matched, {t / n * 1e9:.0f} ns per narration", file=sys.stderr)
    return base_time


def bench_derive(table, rng, quick):
    n = 20000 if quick else 100000
    req = {"data": make_labelled(rng, n, 300)}
    ours = morvanta.derive_rules(req)
    check("pure-Python derivation", peers.derive_rules_python(req), ours)
    label = f"derive_rules {n:,} narrations, 300 labels"
    t = median_time(lambda: morvanta.derive_rules(req), 5)
    table.add(label, "morvanta", t, t)
    table.add(label, "pure Python (Counter)", median_time(lambda: peers.derive_rules_python(req), 3), t)
    print(f"  {label}: {len(ours['rules'])} rules, {t / n * 1e9:.0f} ns per narration", file=sys.stderr)


def bench_loan(table):
    req = {"mode": "emi", "loanAmount": 7500000, "months": 600, "interestRate": 8.5, "inflationRate": 5.5,
           "start": "2025-01"}
    ours = morvanta.compute_emi(req)
    check("pure-Python loan engine", peers.compute_emi(req), ours)
    frozen = marshal.dumps(ours)
    check("marshal", marshal.loads(frozen), ours)
    text = json.dumps(req)
    ours_json = morvanta.compute_emi_json(text)
    import orjson

    check("orjson", json.loads(orjson.dumps(ours)), json.loads(ours_json))
    label = "compute_emi 600 months"
    t = median_time(lambda: morvanta.compute_emi(req), 15, 50)
    table.add(label, "morvanta", t, t)
    table.add(label, "marshal.loads (object floor)", median_time(lambda: marshal.loads(frozen), 15, 50), t)
    table.add(label, "pure-Python engine", median_time(lambda: peers.compute_emi(req), 5, 5), t)
    label = "compute_emi_json 600 months"
    tj = median_time(lambda: morvanta.compute_emi_json(text), 15, 50)
    table.add(label, "morvanta", tj, tj)
    table.add(label, "orjson.dumps of the result", median_time(lambda: orjson.dumps(ours), 15, 50), tj)


def bench_json_read(table, rng, quick):
    import orjson

    rules = make_rules(rng, 1000)
    target = (2 if quick else 10) * 1024 * 1024
    data = []
    size = 0
    while size < target:
        chunk = make_narrations(rng, rules, 1000)
        data.extend(chunk)
        size += sum(len(x["narration"]) + 17 for x in chunk)
    text = json.dumps({"data": data, "rules": rules}, ensure_ascii=False)
    check("JSON mode", json.loads(morvanta.categorize_transactions_json(text)),
          morvanta.categorize_transactions(json.loads(text)))
    label = f"categorize_json {len(text.encode()) / 2**20:.0f} MB (parse+run+write)"
    t = median_time(lambda: morvanta.categorize_transactions_json(text), 5)
    table.add(label, "morvanta", t, t)
    table.add(label, "json.loads only", median_time(lambda: json.loads(text), 5), t)
    table.add(label, "orjson.loads only", median_time(lambda: orjson.loads(text), 5), t)


PEAK_SCRIPT = r"""
import json, resource, sys
sys.path.insert(0, sys.argv[2])
import morvanta, run
rng = run.random.Random(run.SEED)
rules = run.make_rules(rng, 1000)
target = int(sys.argv[1])
parts, size = [], 0
while size < target:
    chunk = json.dumps(run.make_narrations(rng, rules, 5000), ensure_ascii=False)[1:-1]
    parts.append(chunk)
    size += len(chunk)
text = '{"data":[' + ",".join(parts) + '],"rules":' + json.dumps(rules) + "}"
del parts
size = len(text.encode())
morvanta.categorize_transactions_json('{"data":[],"rules":[]}')
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
out = morvanta.categorize_transactions_json(text)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(size, (after - before) * 1024, len(out.encode()))
"""


def bench_peak(quick):
    target = (20 if quick else 100) * 1024 * 1024
    out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, str(target), os.path.dirname(os.path.abspath(__file__))],
                         capture_output=True, text=True, check=True).stdout.split()
    size, growth, out_size = map(int, out)
    print(f"\npeak memory of categorize_transactions_json on {size / 2**20:.0f} MB of text: "
          f"{growth / 2**20:.0f} MB above the text ({growth / size:.2f}x the text; result {out_size / 2**20:.0f} MB)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller data, for a smoke run")
    args = parser.parse_args()
    print(f"morvanta {morvanta.__version__} on Python {platform.python_version()}, {platform.machine()}, "
          f"{os.cpu_count()} cores", file=sys.stderr)
    rng = random.Random(SEED)
    table = Table()
    bench_categorize(table, rng, args.quick)
    bench_derive(table, rng, args.quick)
    bench_loan(table)
    bench_json_read(table, rng, args.quick)
    print()
    table.print()
    bench_peak(args.quick)


if __name__ == "__main__":
    main()
