"""Side-by-side benchmark of morvanta against what a Python developer would use instead.

    pip install ".[bench]" && python benchmarks/run.py [--quick]

Builds bank-statement data from a fixed seed (benchmarks/data.py), checks that
every peer gives morvanta's answer, then times all of them in this one process,
their repetitions interleaved, and prints a Markdown table: the fastest of the
repetitions per call, ns per narration where there are narrations, and the ratio
peer time / morvanta time (above 1 means morvanta is faster). The peak memory of
one JSON call is measured in a fresh process (benchmarks/peak.py).
"""
import argparse
import gc
import itertools
import json
import marshal
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import morvanta  # noqa: E402
import data  # noqa: E402
import peers  # noqa: E402

RULE_COUNTS = (100, 1000, 10000)
SMALL_BATCHES = (1, 10, 100)
KEEP_CAP = 50  # calls per repetition in loops that keep results, to bound their memory
# The CPU time of this thread, so that other processes on a shared machine do not
# count; it includes the kernel's time for page faults. --wall switches to wall time.
clock = time.thread_time


class Case:
    """One implementation of one workload: `call()` runs one call; `keep` appends each result to a list."""

    def __init__(self, name, call, keep=False):
        self.name, self.call, self.keep = name, call, keep
        self.number, self.times = 1, []

    def run(self):
        call, number = self.call, self.number
        gc.collect()
        if self.keep:
            kept = []
            append = kept.append
            start = clock()
            for _ in range(number):
                append(call())
            elapsed = clock() - start
            del kept
        else:
            start = clock()
            for _ in range(number):
                call()
            elapsed = clock() - start
        self.times.append(elapsed / number)

    @property
    def best(self):
        return min(self.times)


def measure(cases, repeat, target):
    """Calibrate each case to about `target` seconds a repetition, then run the repetitions interleaved."""
    for case in cases:
        start = clock()
        case.call()
        once = max(clock() - start, 1e-7)
        case.number = max(1, int(target / once))
        if case.keep:
            case.number = min(case.number, KEEP_CAP)
    for _ in range(repeat):
        for case in cases:
            case.run()
    return {case.name: case.best for case in cases}


def cycling(fn, requests):
    """A call that takes the next request each time, so small batches do not see one narration over and over."""
    it = itertools.cycle(requests)
    return lambda: fn(next(it))


class Table:
    def __init__(self):
        self.rows = []

    def add(self, workload, name, seconds, reference, items=None):
        self.rows.append((workload, name, seconds, reference, items))

    def markdown(self):
        lines = ["| Workload | Implementation | Time per call | ns per narration | peer / morvanta |",
                 "|---|---|---:|---:|---:|"]
        last = None
        for workload, name, seconds, reference, items in self.rows:
            shown = workload if workload != last else ""
            last = workload
            per = f"{seconds / items * 1e9:,.0f}" if items else ""
            ratio = "" if name == "morvanta" else f"{seconds / reference:.2f}x"
            lines.append(f"| {shown} | {name} | {format_time(seconds)} | {per} | {ratio} |")
        return "\n".join(lines)


def format_time(seconds):
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.1f} µs"


def check(name, got, expected):
    if got != expected:
        raise SystemExit(f"{name} disagrees with morvanta")


def note(text):
    print(text, file=sys.stderr, flush=True)


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"morvanta {morvanta.__version__}, CPython {platform.python_version()}, {model}, "
            f"{os.cpu_count()} cores, {platform.system()} {platform.machine()}")


# Categorization -----------------------------------------------------------------------------

def categorize_peers(rules):
    """(name, call per request, run with a prebuilt automaton) for each automaton peer."""
    out = []
    for name, prepare, run in (("pyahocorasick", peers.aho_prepare, peers.aho_run),
                               ("ahocorasick-rs", peers.aho_rs_prepare, peers.aho_rs_run)):
        built = prepare(rules)
        out.append((name, lambda req, p=prepare, r=run: r(p(req["rules"]), req["rules"], req["data"]),
                    lambda req, b=built, r=run: r(b, req["rules"], req["data"])))
    return out


def bench_small_batches(table, rule_sets, narrations, cfg):
    for count in RULE_COUNTS:
        rules = rule_sets[count]
        automata = categorize_peers(rules)
        for batch in SMALL_BATCHES:
            pool = narrations[count]
            requests = [{"data": pool[i * batch:(i + 1) * batch], "rules": rules} for i in range(cfg.requests)]
            ours = [morvanta.categorize_transactions(req) for req in requests]
            cases = [Case("morvanta", cycling(morvanta.categorize_transactions, requests)),
                     Case("pure-Python loop", cycling(peers.categorize_loop, requests))]
            check("pure-Python loop", [peers.categorize_loop(req) for req in requests], ours)
            for name, per_call, prebuilt in automata:
                check(name, [per_call(req) for req in requests], ours)
                check(name, [prebuilt(req) for req in requests], ours)
                cases.append(Case(f"{name} (automaton built per call)", cycling(per_call, requests)))
            for name, _, prebuilt in automata:
                cases.append(Case(f"{name} (prebuilt automaton, reference)", cycling(prebuilt, requests)))
            times = measure(cases, cfg.repeat, cfg.target)
            label = f"categorize {batch} narration{'s' if batch > 1 else ''} × {count:,} rules"
            for case in cases:
                table.add(label, case.name, times[case.name], times["morvanta"], batch)
            note(f"  {label}: {times['morvanta'] * 1e6:.1f} µs a call, "
                 f"{times['morvanta'] / count * 1e9:.1f} ns per rule")


def bench_large_batch(table, rule_sets, narrations, cfg):
    n = cfg.batch
    per_narration = {}
    for count in RULE_COUNTS:
        rules = rule_sets[count]
        req = {"data": narrations[count][:n], "rules": rules}
        ours = morvanta.categorize_transactions(req)
        matched = sum(x is not None for x in ours["data"]) / n
        cases = [Case("morvanta", lambda: morvanta.categorize_transactions(req))]
        for name, per_call, _ in categorize_peers(rules):
            check(name, per_call(req), ours)
            cases.append(Case(f"{name} (automaton built per call)", lambda f=per_call: f(req)))
        # The direct loop is too slow for the whole batch: time its setup and a slice, and scale the slice.
        part = min(n, max(200, 2_000_000 // count))
        sliced = {"data": req["data"][:part], "rules": rules}
        check("pure-Python loop", peers.categorize_loop(sliced), morvanta.categorize_transactions(sliced))
        lowered = peers.loop_prepare(rules)
        cases.append(Case("loop setup", lambda: peers.loop_prepare(rules)))
        cases.append(Case("loop slice", lambda: peers.loop_run(lowered, rules, sliced["data"])))
        times = measure(cases, cfg.repeat, cfg.target)
        times["pure-Python loop (slice of %d, scaled)" % part] = (
            times.pop("loop setup") + times.pop("loop slice") * n / part)
        label = f"categorize {n:,} narrations × {count:,} rules"
        for name, seconds in times.items():
            table.add(label, name, seconds, times["morvanta"], n)
        per_narration[count] = times["morvanta"] / n
        note(f"  {label}: {matched:.0%} matched, {non_ascii(req['data']):.1%} non-ASCII, "
             f"{per_narration[count] * 1e9:.0f} ns per narration")
    return per_narration


def non_ascii(items):
    return data.non_ascii_share(items)


def bench_derive(table, cfg):
    n = cfg.batch
    req = {"data": data.make_labelled(data.rng(3), n, 300)}
    ours = morvanta.derive_rules(req)
    ties = {}
    theirs = peers.derive_rules_python(req, ties)
    # A pattern may be any of the tokens tied for the best score.
    check("pure-Python derivation",
          [(r["category"], r["merchant"]) for r in theirs["rules"]],
          [(r["category"], r["merchant"]) for r in ours["rules"]])
    for rule in ours["rules"]:
        if rule["pattern"] not in ties[(rule["category"], rule["merchant"])]:
            raise SystemExit(f"pure-Python derivation disagrees with morvanta on {rule}")
    cases = [Case("morvanta", lambda: morvanta.derive_rules(req)),
             Case("pure Python (Counter)", lambda: peers.derive_rules_python(req))]
    times = measure(cases, cfg.repeat, cfg.target)
    label = f"derive_rules {n:,} labelled narrations, 300 label pairs"
    for name, seconds in times.items():
        table.add(label, name, seconds, times["morvanta"], n)
    note(f"  {label}: {len(ours['rules'])} rules, {times['morvanta'] / n * 1e9:.0f} ns per narration")


# Loans -----------------------------------------------------------------------------------------

LOAN = {"mode": "emi", "loanAmount": 7500000, "months": 600, "interestRate": 8.5, "inflationRate": 5.5,
        "start": "2025-01"}


def keep_and_drop(table, label, pairs, cfg):
    """Time each (name, call) in a loop that keeps every result and in one that drops it."""
    for loop, keep in (("keeps results", True), ("drops results", False)):
        cases = [Case(name, call, keep) for name, call in pairs]
        times = measure(cases, cfg.repeat, cfg.target)
        for name, seconds in times.items():
            table.add(f"{label}, loop {loop}", name, seconds, times["morvanta"])


def bench_loan(table, cfg):
    import orjson

    ours = morvanta.compute_emi(LOAN)
    check("pure-Python loan engine", peers.compute_emi(LOAN), ours)
    frozen = marshal.dumps(ours)
    check("marshal", marshal.loads(frozen), ours)
    keep_and_drop(table, "compute_emi 600 months with start",
                  [("morvanta", lambda: morvanta.compute_emi(LOAN)),
                   ("marshal.loads of the result (object floor)", lambda: marshal.loads(frozen))], cfg)
    text = json.dumps(LOAN)
    check("orjson", json.loads(orjson.dumps(ours)), json.loads(morvanta.compute_emi_json(text)))
    keep_and_drop(table, "compute_emi_json 600 months with start",
                  [("morvanta", lambda: morvanta.compute_emi_json(text)),
                   ("orjson.dumps of the result", lambda: orjson.dumps(ours))], cfg)
    # Without start the result has no calendar fields and no year groups: a smaller output.
    plain = {key: value for key, value in LOAN.items() if key != "start"}
    plain_text, plain_ours = json.dumps(plain), morvanta.compute_emi(plain)
    check("orjson", json.loads(orjson.dumps(plain_ours)), json.loads(morvanta.compute_emi_json(plain_text)))
    keep_and_drop(table, "compute_emi_json 600 months without start",
                  [("morvanta", lambda: morvanta.compute_emi_json(plain_text)),
                   ("orjson.dumps of the result", lambda: orjson.dumps(plain_ours))], cfg)
    cases = [Case("morvanta", lambda: morvanta.compute_emi(LOAN)),
             Case("pure-Python engine", lambda: peers.compute_emi(LOAN))]
    times = measure(cases, cfg.repeat, cfg.target)
    for name, seconds in times.items():
        table.add("compute_emi 600 months, whole engine", name, seconds, times["morvanta"])


# JSON text ---------------------------------------------------------------------------------------

def categorize_text(rng, rules, target_bytes, distinct, fresh=True):
    """A request of about `target_bytes` UTF-8 bytes, `data` before `rules`.

    Narrations come in chunks of `distinct`: each chunk new when `fresh`, else one chunk repeated
    (cheaper to build, for the memory measurement, where only the sizes matter).
    """
    chunks, size = [], 0
    while size < target_bytes:
        if fresh or not chunks:
            items = data.make_narrations(rng, rules, distinct)
            chunk = json.dumps(items, ensure_ascii=False, separators=(",", ":"))[1:-1]
            chunk_size = len(chunk.encode())
        chunks.append(chunk)
        size += chunk_size + 1
    return '{"data":[' + ",".join(chunks) + '],"rules":' + json.dumps(rules, ensure_ascii=False) + "}"


def bench_json_categorize(table, rule_sets, cfg):
    import orjson

    text = categorize_text(data.rng(4), rule_sets[1000], cfg.json_bytes, 10000)
    size = len(text.encode())
    check("JSON mode", json.loads(morvanta.categorize_transactions_json(text)),
          morvanta.categorize_transactions(json.loads(text)))
    count = len(json.loads(text)["data"])
    cases = [Case("morvanta", lambda: morvanta.categorize_transactions_json(text)),
             Case("json.loads only", lambda: json.loads(text)),
             Case("orjson.loads only", lambda: orjson.loads(text))]
    times = measure(cases, cfg.repeat, cfg.target)
    label = f"categorize_transactions_json {size / 1e6:.0f} MB, {count:,} narrations × 1,000 rules"
    for name, seconds in times.items():
        table.add(label, name, seconds, times["morvanta"], count)


def bench_peak(cfg):
    out = subprocess.run([sys.executable, os.path.join(HERE, "peak.py"), str(cfg.peak_bytes)],
                         capture_output=True, text=True, check=True).stdout
    return out.strip()


# --------------------------------------------------------------------------------------------------

class Config:
    def __init__(self, quick):
        self.quick = quick
        self.batch = 10_000 if quick else 100_000
        self.requests = 8 if quick else 32
        self.repeat = 3 if quick else 7
        self.target = 0.01 if quick else 0.03
        self.json_bytes = (1 if quick else 10) * 1_000_000
        self.peak_bytes = (10 if quick else 100) * 1_000_000


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller data and fewer repetitions, for a smoke run")
    parser.add_argument("--wall", action="store_true", help="time by the wall clock instead of this thread's CPU time")
    args = parser.parse_args()
    global clock
    if args.wall:
        clock = time.perf_counter
    cfg = Config(args.quick)
    began = time.perf_counter()
    note(machine())
    rule_sets, narrations = {}, {}
    for salt, count in enumerate(RULE_COUNTS):
        rng = data.rng(salt)
        rule_sets[count] = data.make_rules(rng, count)
        narrations[count] = data.make_narrations(rng, rule_sets[count], cfg.batch)
    table = Table()
    note("categorize, small batches (each call builds everything it needs):")
    bench_small_batches(table, rule_sets, narrations, cfg)
    note("categorize, large batch:")
    per_narration = bench_large_batch(table, rule_sets, narrations, cfg)
    note("derive_rules:")
    bench_derive(table, cfg)
    note("loans:")
    bench_loan(table, cfg)
    note("JSON categorize:")
    bench_json_categorize(table, rule_sets, cfg)
    note("peak memory (fresh process):")
    peak = bench_peak(cfg)
    growth = per_narration[RULE_COUNTS[-1]] / per_narration[RULE_COUNTS[0]]
    print(f"Machine: {machine()}.")
    print(f"Run {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}{', --quick' if cfg.quick else ''}; "
          f"times are the fastest of {cfg.repeat} interleaved repetitions, "
          f"{'wall time' if clock is time.perf_counter else 'CPU time of the benchmark thread'}, "
          "on a shared machine: expect noise.\n")
    print(table.markdown())
    print(f"\nmorvanta's cost per narration grows {growth:.2f}x from {RULE_COUNTS[0]:,} to {RULE_COUNTS[-1]:,} rules "
          f"at {cfg.batch:,} narrations.")
    print(peak)
    note(f"done in {time.perf_counter() - began:.0f} s")


if __name__ == "__main__":
    main()
