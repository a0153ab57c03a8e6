"""Many Python threads calling every function at once get the single-threaded answers."""
import json
import threading

import morvanta

LOAN = {"mode": "emi", "loanAmount": 480000, "months": 120, "interestRate": 8.25, "inflationRate": 4.5,
        "start": "2025-02"}
CAT = {"data": [{"narration": f"POS {i} {w} STORE"} for i, w in enumerate(["COFFEE", "Fuel", "BÄCKEREI", "x"] * 50)],
       "rules": [{"pattern": "coffee", "category": "Food", "merchant": "Cafe"},
                 {"pattern": "bäck", "category": "Food", "merchant": "Bakery"},
                 {"pattern": "fuel", "category": "Car", "merchant": "Pump"}]}
DERIVE = {"data": [{"narration": f"UPI/{w}/{i}", "category": c, "merchant": m}
                   for i, (w, c, m) in enumerate([("SWIGGY", "Food", "Swiggy"), ("UBER", "Travel", "Uber"),
                                                  ("NETFLIX", "Fun", "Netflix")] * 40)]}

CALLS = [
    (morvanta.compute_emi, LOAN),
    (morvanta.compute_emi_json, json.dumps(LOAN)),
    (morvanta.categorize_transactions, CAT),
    (morvanta.categorize_transactions_json, json.dumps(CAT)),
    (morvanta.derive_rules, DERIVE),
    (morvanta.derive_rules_json, json.dumps(DERIVE)),
    (morvanta.compute_emi, {**LOAN, "months": 0}),  # an error path too
]


def run(fn, arg):
    try:
        return ("ok", fn(arg))
    except ValueError as e:
        return ("error", e.args)


def test_eight_threads_agree_with_one():
    expected = [run(fn, arg) for fn, arg in CALLS]
    failures = []
    barrier = threading.Barrier(8)

    def worker(seed):
        barrier.wait()
        for round_ in range(60):
            k = (seed + round_) % len(CALLS)
            fn, arg = CALLS[k]
            if run(fn, arg) != expected[k]:
                failures.append((seed, k))

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
