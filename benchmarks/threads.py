"""Scaling across threads: categorization of disjoint batches by 1, 2 and 4 threads.

    python benchmarks/threads.py [--quick]

Meant for the free-threaded CPython (cp314t wheel), where calls from several
threads run at once; with a GIL they are serialised and the figures show it.
The same total work, a fixed set of request batches built from a fixed seed
(benchmarks/data.py), is split evenly over the threads, each of which calls
morvanta on its own batches only. Each configuration is timed by the wall
clock from a barrier to the last thread's end, the fastest of several
repetitions kept, and printed as a Markdown table with the speed-up over one
thread. Scaling needs as many idle physical cores as threads: on a machine
shared with other work, or with fewer cores, the figures say nothing about it.
"""
import argparse
import json
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import morvanta  # noqa: E402
import data  # noqa: E402
from run import machine  # noqa: E402

THREADS = (1, 2, 4)
BATCHES = 8  # divisible by every thread count


def make_batches(size):
    rng = data.rng(7)
    rules = data.make_rules(rng, 1000)
    return [{"data": data.make_narrations(rng, rules, size), "rules": rules} for _ in range(BATCHES)]


def timed(threads, work):
    """Wall time of `threads` threads, thread i calling work(i, threads), from a common start."""
    start = threading.Barrier(threads + 1)

    def body(i):
        start.wait()
        work(i, threads)

    pool = [threading.Thread(target=body, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    start.wait()
    began = time.perf_counter()
    for t in pool:
        t.join()
    return time.perf_counter() - began


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller batches and fewer repetitions")
    args = parser.parse_args()
    size, repeats = (2000, 3) if args.quick else (20000, 7)
    batches = make_batches(size)
    texts = [json.dumps(b) for b in batches]
    expected = [morvanta.categorize_transactions(b) for b in batches]
    modes = {
        "categorize_transactions": lambda k: morvanta.categorize_transactions(batches[k]),
        "categorize_transactions_json": lambda k: morvanta.categorize_transactions_json(texts[k]),
    }
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Machine: {machine()}; GIL {'on' if gil else 'off'}; {os.cpu_count()} logical CPUs.")
    print(f"{BATCHES} batches of {size} narrations against 1000 rules, split over the threads; "
          f"fastest of {repeats} repetitions.\n")
    print("| function | threads | wall ms | narrations per s | speed-up over 1 thread |")
    print("|---|---:|---:|---:|---:|")
    for name, call in modes.items():
        def work(i, threads):
            for k in range(i, BATCHES, threads):  # thread i's own batches
                call(k)

        # Every thread's answer is the single-threaded one.
        if name == "categorize_transactions":
            got = [None] * BATCHES

            def check(i, threads):
                for k in range(i, BATCHES, threads):
                    got[k] = morvanta.categorize_transactions(batches[k])

            timed(4, check)
            assert got == expected
        base = None
        for threads in THREADS:
            best = min(timed(threads, work) for _ in range(repeats))
            base = base or best
            print(f"| `{name}` | {threads} | {best * 1e3:.1f} | {BATCHES * size / best:,.0f} | {base / best:.2f}x |")


if __name__ == "__main__":
    main()
