"""Side-by-side benchmark of morvanta against what a Python developer would use instead.

    pip install ".[bench]" && python benchmarks/run.py [--quick] [--only SECTIONS] [--shapes SHAPES]
    python benchmarks/run.py --compare README.md            # run, then list the rows that moved
    python benchmarks/run.py --compare README.md --against other_run.md    # compare two tables, no run

Builds bank-statement data in two shapes from fixed seeds (benchmarks/data.py),
checks that every peer gives morvanta's answer, then times all of them in this
one process and prints a Markdown table.

How a workload is timed: every workload is set up first, and every case (one
implementation of a workload) warmed up, called for at least --warm seconds,
which also sizes a round of it to about 20 ms. Then come passes
over all the workloads, each pass giving each workload one round: every case
of it once, after a few untimed calls, in an order that turns by one case
from round to round, with the cyclic garbage collector paused during the
calls. A workload's rounds are thus spread over the whole run. A probe, a
fixed pure-Python loop, runs before, between and after the cases of a round,
and a case's round counts only if the probes on both sides of it ran at the
core's quiet speed (within 1.5x of the fastest hundredth of all probes): on
a shared host a neighbour at times takes a share of the core, for
milliseconds to seconds, and it slows some implementations more than
others. Where fewer than 3 of a case's rounds are quiet, its least disturbed
third counts. Workloads with a case short of 7 quiet rounds, or whose ratio
of a case to morvanta's still spreads widely over them, get more passes, up
to three times as many rounds; a slow workload (a call of over half a
second) gets 3 rounds, up to 7 while its ratio spreads, and all count.
The table gives the median over the counted rounds of the time per call,
its spread (the interquartile range as a share of the median), ns per
narration where there are narrations, and the ratio peer time / morvanta time
(above 1 means morvanta is faster): the median over the counted rounds of the
ratio within each round, so that a slower stretch, which slows both, cancels
out. The peak memory of one JSON call is measured in
a fresh process (benchmarks/peak.py).
"""
import argparse
import gc
import itertools
import json
import marshal
import os
import platform
import re
import resource
import statistics
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
# A loop that keeps its results holds at most this many at a time: it keeps them
# in lists of this length, each dropped (untimed) before the next is filled, so
# that its memory stays bounded however many calls a round makes.
KEEP_CAP = 50
SECTIONS = ("small", "large", "derive", "loans", "json", "peak")
# The CPU time of this thread, so that other processes on a shared machine do not
# count; it includes the kernel's time for page faults. --wall switches to wall time.
clock = time.thread_time


def page_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


class Case:
    """One implementation of one workload: `call()` runs one call; `keep` keeps each result a while."""

    def __init__(self, name, call, keep=False):
        self.name, self.call, self.keep = name, call, keep
        self.number, self.times, self.faults, self.per_call = 1, [], 0, 0.0
        self.marks = []  # per round, the slower of the probes on either side of this case

    def quiet(self, limit):
        """How many of this case's rounds had both probes beside it within `limit`."""
        return sum(mark <= limit for mark in self.marks)

    def loop(self, number):
        """The seconds that `number` calls take, the garbage collector paused."""
        call = self.call
        enabled = gc.isenabled()
        gc.disable()
        try:
            if not self.keep:
                start = clock()
                for _ in range(number):
                    call()
                return clock() - start
            elapsed = 0.0
            for chunk in range(0, number, KEEP_CAP):
                kept = []
                append = kept.append
                start = clock()
                for _ in range(min(KEEP_CAP, number - chunk)):
                    append(call())
                elapsed += clock() - start
                del kept, append
            return elapsed
        finally:
            if enabled:
                gc.enable()

    def warm(self, seconds, target):
        """Calls until `seconds` have passed (past the first calls' transients), and sizes a round to `target`."""
        calls, elapsed, batch = 0, 0.0, 1
        while elapsed < seconds or calls == 0:
            elapsed += self.loop(batch)
            calls += batch
            per_call = max(elapsed / calls, 1e-9)
            batch = max(1, min(batch * 2, round((seconds - elapsed) / per_call)))
        # At least three calls a round, so that one slow call (a page-fault burst) is not a whole round.
        self.number = max(1 if per_call > 0.1 else 3, round(target / per_call))
        self.per_call = per_call

    def run(self):
        """One round: a few untimed calls (the other workloads since this case's last round have
        taken the caches), then the timed ones."""
        gc.collect()
        if self.number >= 8:
            self.loop(self.number // 8)
        faults = page_faults()
        self.times.append(self.loop(self.number) / self.number)
        self.faults += page_faults() - faults


class Probe:
    """How fast this core runs right now: a fixed pure-Python loop, timed.

    On a shared host a neighbour at times takes a share of the physical core, in stretches of
    milliseconds to seconds, and the core then runs this loop at about half its speed. It slows
    some code (our calls) more than other code (a peer that waits on memory), so no ratio of the
    two survives it. A case's round is taken as quiet when the probes on both sides of it ran
    within QUIET of the core's quiet speed, the fastest hundredth of all probes of the run:
    the slow stretches can last most of a run, the quiet ones a tenth of it.
    """

    LOOP = 10_000
    QUIET = 1.5

    def __init__(self):
        self.samples = []

    def __call__(self):
        start = clock()
        x = 0
        for i in range(self.LOOP):
            x += i
        elapsed = clock() - start
        self.samples.append(elapsed)
        return elapsed

    def limit(self):
        """The slowest probe that a quiet round may hold."""
        quiet = (statistics.quantiles(self.samples, n=100)[0] if len(self.samples) >= 100
                 else min(self.samples, default=float("inf")))
        return quiet * self.QUIET


class Workload:
    """The cases of one workload, and what to do with their per-round times once all rounds are run."""

    def __init__(self, cases, finish):
        self.cases, self.finish = cases, finish
        self.rounds = self.planned = self.most = 0
        self.slow = False

    def run_round(self, probe):
        """Every case once, each between two probes; a case's mark for the round is the slower one."""
        turn = self.rounds % len(self.cases)
        before = probe()
        for case in self.cases[turn:] + self.cases[:turn]:
            case.run()
            after = probe()
            case.marks.append(max(before, after))
            before = after
        self.rounds += 1

    def short(self, limit):
        """Whether some case has fewer quiet rounds than planned."""
        return not self.slow and any(case.quiet(limit) < self.planned for case in self.cases)

    def times(self, limit):
        """Each case's per-round times, None where the round does not count for that case.

        A case's round counts when the probes on both sides of it were quiet; where fewer than
        three of its rounds were, its least disturbed third (three at least) count instead. A
        slow workload's calls outlast most quiet stretches, so the probes say little about
        them, and all its rounds count."""
        out = {}
        for case in self.cases:
            count = len(case.times)
            if self.slow:
                kept = set(range(count))
            else:
                kept = {i for i, mark in enumerate(case.marks) if mark <= limit}
                if len(kept) < 3:
                    kept = set(sorted(range(count), key=case.marks.__getitem__)[:max(3, count // 3)])
            out[case.name] = [t if i in kept else None for i, t in enumerate(case.times)]
        return out


class Plan:
    """Every workload of the run, timed together.

    Each case is warmed up and sized first. Then come passes over all the workloads, each
    pass giving each workload one round, so that every workload's rounds are spread over the
    whole run, and then more passes over the workloads short of quiet rounds (see Probe) or
    whose ratios still spread. Only the quiet rounds of a case count.
    """

    def __init__(self, cfg):
        self.cfg, self.workloads = cfg, []
        self.probe = Probe()

    def add(self, cases, finish):
        self.workloads.append(Workload(cases, finish))

    def run(self):
        cfg, probe = self.cfg, self.probe
        # Objects alive now (the benchmark's data) are left out of every later collection.
        gc.collect()
        gc.freeze()
        try:
            for workload in self.workloads:
                for case in workload.cases:
                    case.warm(cfg.warm, cfg.target)
                    probe()
                # A workload with a case of a second or so a call (derivation in pure Python) is
                # itself an average over many items: fewer rounds of it keep the run short.
                workload.slow = any(case.number == 1 and case.per_call > cfg.slow for case in workload.cases)
                workload.planned = cfg.slow_repeat if workload.slow else cfg.repeat
                workload.most = cfg.repeat if workload.slow else cfg.repeat * 3
            began = time.perf_counter()
            for done in range(cfg.repeat):
                for workload in self.workloads:
                    # A workload of fewer rounds has them spread evenly over the passes.
                    if (done + 1) * workload.planned // cfg.repeat > done * workload.planned // cfg.repeat:
                        workload.run_round(probe)
            # A workload with a case of fewer quiet rounds than planned, or whose ratios still
            # disagree over the rounds that count (a peer that maps and unmaps megabytes a call),
            # gets more rounds, up to three times as many (a slow workload up to the usual count),
            # so that its median is as steady from run to run as the others. They too come in passes.
            while True:
                limit = probe.limit()
                unsettled = [w for w in self.workloads if w.rounds < w.most and (
                    w.short(limit) or unsteady(w.times(limit), cfg.steady))]
                if not unsettled:
                    break
                for workload in unsettled:
                    workload.run_round(probe)
            limit = probe.limit()
            cases = [case for w in self.workloads if not w.slow for case in w.cases]
            quiet = sum(case.quiet(limit) for case in cases)
            note(f"  rounds: {time.perf_counter() - began:.0f} s, {sum(w.rounds for w in self.workloads)} "
                 f"over {len(self.workloads)} workloads; {quiet} of {sum(len(c.marks) for c in cases)} "
                 f"case rounds quiet (probe {limit / Probe.QUIET / Probe.LOOP * 1e9:.1f} ns a loop step, "
                 f"{sum(s > limit for s in probe.samples) / len(probe.samples):.0%} of probes slower)")
            fallback = sum(case.quiet(limit) < 3 for case in cases)
            if fallback:
                note(f"    {fallback} cases had fewer than 3 quiet rounds: their least disturbed third counted")
        finally:
            gc.unfreeze()
        for workload in self.workloads:
            for case in workload.cases:
                per_call = case.faults / (case.number * len(case.times))
                if per_call >= 1:
                    note(f"    {case.name}: {per_call:.0f} page faults a call")
            workload.finish(workload.times(limit))


def paired(times, reference):
    """The ratios time / morvanta's time of the rounds that count for both."""
    return [t / ref for t, ref in zip(times, reference) if t is not None and ref is not None]


def unsteady(times, limit):
    """Whether the per-round ratio of any case to morvanta's spreads wider than `limit`."""
    reference = times["morvanta"]
    return any(spread(paired(case, reference)) > limit for name, case in times.items() if name != "morvanta")


def cycling(fn, requests):
    """A call that takes the next request each time, so small batches do not see one narration over and over."""
    it = itertools.cycle(requests)
    return lambda: fn(next(it))


def median(values):
    """The median of the values that count (not None)."""
    return statistics.median([v for v in values if v is not None])


def spread(values):
    """The interquartile range of the values that count as a share of their median."""
    values = [v for v in values if v is not None]
    if len(values) < 2:
        return 0.0
    q1, _, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return (q3 - q1) / median(values)


class Table:
    HEADER = "| Workload | Implementation | Time per call | spread | ns per narration | peer / morvanta |"

    def __init__(self):
        self.rows = []

    def add(self, workload, name, times, reference, items=None):
        """A row from the per-round times of a case and of morvanta's case in the same rounds.

        The ratio is the median of the ratios within the rounds that count for both, or where
        fewer than three do, the ratio of the two medians."""
        ratio = None
        if name != "morvanta":
            ratios = paired(times, reference)
            ratio = median(ratios) if len(ratios) >= 3 else median(times) / median(reference)
        self.rows.append((workload, name, median(times), spread(times), ratio, items))

    def add_all(self, workload, times, items=None):
        for name, per_round in times.items():
            self.add(workload, name, per_round, times["morvanta"], items)

    def ratio(self, workload, name):
        return next(row[4] for row in self.rows if row[0] == workload and row[1] == name)

    def markdown(self):
        lines = [self.HEADER, "|---|---|---:|---:|---:|---:|"]
        last = None
        for workload, name, seconds, dispersion, ratio, items in self.rows:
            shown = workload if workload != last else ""
            last = workload
            per = f"{seconds / items * 1e9:,.0f}" if items else ""
            shown_ratio = "" if ratio is None else format_ratio(ratio)
            lines.append(f"| {shown} | {name} | {format_time(seconds)} | {dispersion:.0%} | {per} | {shown_ratio} |")
        return "\n".join(lines)


def format_ratio(ratio):
    """Two decimals, or two significant digits below 0.1, where two decimals would hide the value."""
    return f"{ratio:.2f}x" if ratio >= 0.1 else f"{ratio:.2g}x"


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


# What the table was measured with -----------------------------------------------------------------

PEERS = ("orjson", "pyahocorasick", "ahocorasick-rs")


def peer_versions():
    """{distribution: version or None} for each peer package."""
    from importlib import metadata

    versions = {}
    for name in PEERS:
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            versions[name] = None
    return versions


def version_floors():
    """{distribution: minimum version} from the `bench` extra of pyproject.toml, where it is at hand."""
    path = os.path.join(HERE, os.pardir, "pyproject.toml")
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        return {}
    found = re.search(r"^bench\s*=\s*\[(.*?)\]", text, re.M | re.S)
    return dict(re.findall(r'"([A-Za-z0-9_.-]+)>=([0-9.]+)"', found.group(1))) if found else {}


def version_tuple(text):
    return tuple(int(part) for part in re.findall(r"\d+", text)[:3])


def check_peer_versions():
    """Warn where a peer is older than the `bench` extra asks: an older orjson, say, is much slower."""
    versions, floors = peer_versions(), version_floors()
    for name, floor in floors.items():
        have = versions.get(name)
        if have is not None and version_tuple(have) < version_tuple(floor):
            note(f"warning: {name} {have} is installed, older than the {floor} the bench extra asks for "
                 f"(pip install \".[bench]\"); its rows measure that older version")


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
    peers_text = ", ".join(f"{name} {version or 'absent'}" for name, version in peer_versions().items())
    return (f"morvanta {morvanta.__version__}, CPython {platform.python_version()}, {model}, "
            f"{os.cpu_count()} cores, {platform.system()} {platform.machine()}; {peers_text}")


def settle_allocator():
    """Bring the C allocator to the state that any process which has handled one large request is in.

    glibc maps a block of 128 KB or more on its own, and frees it back to the system; freeing
    such a block raises that threshold to the block's size (up to 32 MB), and the heap's trim
    threshold to twice that. Until then, a call that allocates and frees a few blocks of
    100-300 KB (a 600-month loan's JSON text is 148 KB) grows the heap and trims it back on every
    call, and pays for some forty page faults each time: 2-3 times its steady cost. A harness
    that meets this state in whichever rows run first measures the order of its rows; freeing
    one large block first gives every row the same, steady, state.
    """
    block = bytearray(30 << 20)
    del block


# Data --------------------------------------------------------------------------------------------

class Shape:
    """One shape of narrations (benchmarks/data.py), with its rules and narrations per rule count."""

    def __init__(self, name, suffix, narrations, labelled, salt, cfg):
        self.name, self.suffix, self.make_narrations, self.make_labelled = name, suffix, narrations, labelled
        self.salt = salt
        self.rule_sets, self.narrations = {}, {}
        for index, count in enumerate(RULE_COUNTS):
            rng = data.rng(salt + index)
            self.rule_sets[count] = data.make_rules(rng, count)
            self.narrations[count] = narrations(rng, self.rule_sets[count], cfg.batch)

    def label(self, text):
        return text + self.suffix


def make_shapes(cfg):
    # The short shape keeps the seeds it always had, so its rows stay comparable with earlier runs.
    shapes = {"short": lambda: Shape("short", "", data.make_narrations, data.make_labelled, 0, cfg),
              "long": lambda: Shape("long", ", long narrations", data.make_long_narrations,
                                    data.make_long_labelled, 10, cfg)}
    return [shapes[name]() for name in cfg.shapes]


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


def bench_small_batches(plan, table, shape, cfg):
    for count in RULE_COUNTS:
        rules = shape.rule_sets[count]
        automata = categorize_peers(rules)
        for batch in SMALL_BATCHES:
            pool = shape.narrations[count]
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
            label = shape.label(f"categorize {batch} narration{'s' if batch > 1 else ''} × {count:,} rules")

            def finish(times, label=label, batch=batch, count=count):
                table.add_all(label, times, batch)
                ours_time = median(times["morvanta"])
                note(f"  {label}: {ours_time * 1e6:.1f} µs a call, {ours_time / count * 1e9:.1f} ns per rule")

            plan.add(cases, finish)


def bench_large_batch(plan, table, shape, cfg, per_narration):
    """Fills per_narration {rule count: morvanta's seconds a narration} once the plan has run."""
    n = cfg.batch
    for count in RULE_COUNTS:
        rules = shape.rule_sets[count]
        req = {"data": shape.narrations[count][:n], "rules": rules}
        ours = morvanta.categorize_transactions(req)
        matched = sum(x is not None for x in ours["data"]) / n
        # Each call binds this iteration's data: the calls run after the loop, with all workloads.
        cases = [Case("morvanta", lambda req=req: morvanta.categorize_transactions(req))]
        # Building the result's objects alone (a dict for each match), which no object-mode call can undercut.
        frozen = marshal.dumps(ours)
        check("marshal", marshal.loads(frozen), ours)
        cases.append(Case("marshal.loads of the result (object floor)", lambda frozen=frozen: marshal.loads(frozen)))
        for name, per_call, _ in categorize_peers(rules):
            check(name, per_call(req), ours)
            cases.append(Case(f"{name} (automaton built per call)", lambda f=per_call, req=req: f(req)))
        # The direct loop is too slow for the whole batch: time its setup and a slice, and scale the slice.
        part = min(n, max(200, 2_000_000 // count))
        sliced = {"data": req["data"][:part], "rules": rules}
        check("pure-Python loop", peers.categorize_loop(sliced), morvanta.categorize_transactions(sliced))
        lowered = peers.loop_prepare(rules)
        cases.append(Case("loop setup", lambda rules=rules: peers.loop_prepare(rules)))
        cases.append(Case("loop slice", lambda rules=rules, lowered=lowered, part=sliced["data"]:
                          peers.loop_run(lowered, rules, part)))
        label = shape.label(f"categorize {n:,} narrations × {count:,} rules")
        non_ascii = data.non_ascii_share(req["data"])

        def finish(times, label=label, count=count, part=part, matched=matched, non_ascii=non_ascii):
            setup, piece = times.pop("loop setup"), times.pop("loop slice")
            total = [None if a is None or b is None else a + b * n / part for a, b in zip(setup, piece)]
            if sum(t is not None for t in total) < 3:
                # Too few rounds count for both parts: the sum of their medians stands for every round.
                total = [median(setup) + median(piece) * n / part] * len(total)
            times[f"pure-Python loop (slice of {part}, scaled)"] = total
            table.add_all(label, times, n)
            per_narration[count] = median(times["morvanta"]) / n
            note(f"  {label}: {matched:.0%} matched, {non_ascii:.1%} non-ASCII, "
                 f"{per_narration[count] * 1e9:.0f} ns per narration")

        plan.add(cases, finish)


def token_stats(items):
    """Mean UTF-8 bytes and tokens (as derive_rules cuts them) a narration, and distinct tokens."""
    sizes, counts, distinct = 0, 0, set()
    for item in items:
        text = item["narration"]
        tokens = peers.tokens(text)
        sizes += len(text.encode())
        counts += len(tokens)
        distinct.update(tokens)
    return sizes / len(items), counts / len(items), len(distinct)


def bench_derive(plan, table, shape, cfg):
    n = cfg.batch
    req = {"data": shape.make_labelled(data.rng(shape.salt + 3), n, 300)}
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
    label = shape.label(f"derive_rules {n:,} labelled narrations, 300 label pairs")
    size, tokens, distinct = token_stats(req["data"])

    def finish(times):
        table.add_all(label, times, n)
        note(f"  {label}: {len(ours['rules'])} rules, {size:.0f} bytes and {tokens:.1f} tokens a narration, "
             f"{distinct:,} distinct tokens, {median(times['morvanta']) / n * 1e9:.0f} ns per narration")

    plan.add(cases, finish)


# Loans -----------------------------------------------------------------------------------------

LOAN = {"mode": "emi", "loanAmount": 7500000, "months": 600, "interestRate": 8.5, "inflationRate": 5.5,
        "start": "2025-01"}


def keep_and_drop(plan, table, label, pairs):
    """Time each (name, call) in a loop that keeps every result and in one that drops it."""
    for loop, keep in (("keeps results", True), ("drops results", False)):
        cases = [Case(name, call, keep) for name, call in pairs]
        plan.add(cases, lambda times, workload=f"{label}, loop {loop}": table.add_all(workload, times))


def bench_loan(plan, table):
    import orjson

    ours = morvanta.compute_emi(LOAN)
    check("pure-Python loan engine", peers.compute_emi(LOAN), ours)
    frozen = marshal.dumps(ours)
    check("marshal", marshal.loads(frozen), ours)
    keep_and_drop(plan, table, "compute_emi 600 months with start",
                  [("morvanta", lambda: morvanta.compute_emi(LOAN)),
                   ("marshal.loads of the result (object floor)", lambda: marshal.loads(frozen))])
    text = json.dumps(LOAN)
    check("orjson", json.loads(orjson.dumps(ours)), json.loads(morvanta.compute_emi_json(text)))
    keep_and_drop(plan, table, "compute_emi_json 600 months with start",
                  [("morvanta", lambda: morvanta.compute_emi_json(text)),
                   ("orjson.dumps of the result", lambda: orjson.dumps(ours))])
    # Without start the result has no calendar fields and no year groups: a smaller output.
    plain = {key: value for key, value in LOAN.items() if key != "start"}
    plain_text, plain_ours = json.dumps(plain), morvanta.compute_emi(plain)
    check("orjson", json.loads(orjson.dumps(plain_ours)), json.loads(morvanta.compute_emi_json(plain_text)))
    keep_and_drop(plan, table, "compute_emi_json 600 months without start",
                  [("morvanta", lambda: morvanta.compute_emi_json(plain_text)),
                   ("orjson.dumps of the result", lambda: orjson.dumps(plain_ours))])
    cases = [Case("morvanta", lambda: morvanta.compute_emi(LOAN)),
             Case("pure-Python engine", lambda: peers.compute_emi(LOAN))]

    def finish(times):
        table.add_all("compute_emi 600 months, whole engine", times)
        # The loan workloads before this one are finished by now: workloads finish in order.
        for label, peer in (("compute_emi 600 months with start", "marshal.loads of the result (object floor)"),
                            ("compute_emi_json 600 months with start", "orjson.dumps of the result"),
                            ("compute_emi_json 600 months without start", "orjson.dumps of the result")):
            ratios = [table.ratio(f"{label}, loop {loop}", peer) for loop in ("keeps results", "drops results")]
            note(f"  {label}: {peer} / morvanta, keep {ratios[0]:.2f}x, drop {ratios[1]:.2f}x")

    plan.add(cases, finish)


# JSON text ---------------------------------------------------------------------------------------

def categorize_text(rng, rules, target_bytes, distinct, fresh=True, make_narrations=data.make_narrations):
    """A request of about `target_bytes` UTF-8 bytes, `data` before `rules`.

    Narrations come in chunks of `distinct`: each chunk new when `fresh`, else one chunk repeated
    (cheaper to build, for the memory measurement, where only the sizes matter).
    """
    chunks, size = [], 0
    while size < target_bytes:
        if fresh or not chunks:
            items = make_narrations(rng, rules, distinct)
            chunk = json.dumps(items, ensure_ascii=False, separators=(",", ":"))[1:-1]
            chunk_size = len(chunk.encode())
        chunks.append(chunk)
        size += chunk_size + 1
    return '{"data":[' + ",".join(chunks) + '],"rules":' + json.dumps(rules, ensure_ascii=False) + "}"


def bench_json_categorize(plan, table, shape, cfg):
    import orjson

    text = categorize_text(data.rng(shape.salt + 4), shape.rule_sets[1000], cfg.json_bytes, 10000,
                           make_narrations=shape.make_narrations)
    size = len(text.encode())
    check("JSON mode", json.loads(morvanta.categorize_transactions_json(text)),
          morvanta.categorize_transactions(json.loads(text)))
    count = len(json.loads(text)["data"])
    cases = [Case("morvanta", lambda: morvanta.categorize_transactions_json(text)),
             Case("json.loads only", lambda: json.loads(text)),
             Case("orjson.loads only", lambda: orjson.loads(text))]
    label = shape.label(f"categorize_transactions_json {size / 1e6:.0f} MB, {count:,} narrations × 1,000 rules")

    def finish(times):
        table.add_all(label, times, count)
        note(f"  {label}: {median(times['morvanta']) / count * 1e9:.0f} ns per narration, "
             f"{table.ratio(label, 'orjson.loads only'):.2f}x orjson.loads")

    plan.add(cases, finish)


def bench_peak(cfg):
    out = subprocess.run([sys.executable, os.path.join(HERE, "peak.py"), str(cfg.peak_bytes)],
                         capture_output=True, text=True, check=True).stdout
    return out.strip()


# Comparing two tables ---------------------------------------------------------------------------

def parse_table(text):
    """{(workload, implementation): ratio or None} from the first table of this benchmark in `text`."""
    lines = text.splitlines()
    start = next((i for i, line in enumerate(lines)
                  if line.startswith("| Workload |") and "peer / morvanta" in line), None)
    if start is None:
        raise SystemExit("no benchmark table (a header starting | Workload | ... peer / morvanta |) found")
    header = [cell.strip() for cell in lines[start].strip().strip("|").split("|")]
    at = {name: header.index(name) for name in ("Workload", "Implementation", "peer / morvanta")}
    rows, workload = {}, None
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        workload = cells[at["Workload"]] or workload
        ratio = cells[at["peer / morvanta"]].rstrip("x")
        rows[(workload, cells[at["Implementation"]])] = float(ratio) if ratio else None
    return rows


def compare(old_text, new_text, tolerance, out=sys.stdout):
    """Prints the rows whose ratio moved by more than `tolerance`, and rows that only one table has."""
    old, new = parse_table(old_text), parse_table(new_text)
    moved, compared = [], 0
    for key, ratio in new.items():
        before = old.get(key)
        # A ratio printed as 0.00x (by earlier versions of this script) says too little to compare.
        if ratio is None or not before:
            continue
        compared += 1
        change = ratio / before - 1
        if abs(change) > tolerance:
            moved.append((key, before, ratio, change))
    print(f"\n{compared} ratios compared; {len(moved)} moved by more than {tolerance:.0%}.", file=out)
    if moved:
        print("\n| Workload | Implementation | before | now | change |\n|---|---|---:|---:|---:|", file=out)
        for (workload, name), before, ratio, change in moved:
            print(f"| {workload} | {name} | {format_ratio(before)} | {format_ratio(ratio)} | {change:+.0%} |", file=out)
    for title, keys in (("only in the earlier table", [key for key in old if key not in new]),
                        ("only in this table", [key for key in new if key not in old])):
        if keys:
            workloads = list(dict.fromkeys(workload for workload, _ in keys))
            print(f"\n{len(keys)} rows {title}, of {len(workloads)} workloads:", file=out)
            for workload in workloads:
                print(f"- {workload}", file=out)
    return moved


# --------------------------------------------------------------------------------------------------

class Config:
    def __init__(self, args):
        quick = args.quick
        self.quick = quick
        self.batch = 10_000 if quick else 100_000
        self.requests = 8 if quick else 32
        self.repeat = 3 if quick else 7
        self.slow_repeat = 3  # rounds of a workload with a case slower than `slow` seconds a call
        self.slow = 0.5
        self.steady = 0.08  # rounds are added while a ratio's interquartile range is wider than this
        self.target = 0.01 if quick else 0.02
        self.warm = args.warm if args.warm is not None else (0.05 if quick else 0.1)
        self.json_bytes = (1 if quick else 10) * 1_000_000
        self.peak_bytes = (10 if quick else 100) * 1_000_000
        self.sections = parse_list(args.only, SECTIONS, "section")
        self.shapes = parse_list(args.shapes, ("short", "long"), "shape")


def parse_list(text, allowed, what):
    chosen = [item.strip() for item in text.split(",") if item.strip()]
    unknown = [item for item in chosen if item not in allowed]
    if unknown or not chosen:
        raise SystemExit(f"unknown {what} {', '.join(unknown) or '(none given)'}; choose from {', '.join(allowed)}")
    return chosen


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller data and fewer rounds, for a smoke run")
    parser.add_argument("--wall", action="store_true", help="time by the wall clock instead of this thread's CPU time")
    parser.add_argument("--only", default=",".join(SECTIONS),
                        help=f"comma-separated sections to run, of {', '.join(SECTIONS)} (default: all)")
    parser.add_argument("--shapes", default="short,long", help="comma-separated data shapes: short, long (default: both)")
    parser.add_argument("--warm", type=float, help="seconds of calls that warm up each case (default 0.1, --quick 0.05)")
    parser.add_argument("--compare", metavar="FILE",
                        help="then list the rows whose ratio moved against the table in FILE (README.md, say)")
    parser.add_argument("--against", metavar="FILE",
                        help="with --compare: compare FILE's table with this one instead of running")
    parser.add_argument("--tolerance", type=float, default=0.15, help="with --compare: the change to report (0.15)")
    args = parser.parse_args()
    if args.against:
        if not args.compare:
            raise SystemExit("--against needs --compare")
        with open(args.compare, encoding="utf-8") as f, open(args.against, encoding="utf-8") as g:
            compare(f.read(), g.read(), args.tolerance)
        return
    if args.compare:
        with open(args.compare, encoding="utf-8") as f:
            earlier = f.read()
        parse_table(earlier)  # fail now, not after the run
    global clock
    if args.wall:
        clock = time.perf_counter
    cfg = Config(args)
    began = time.perf_counter()
    note(machine())
    check_peer_versions()
    settle_allocator()
    shapes = make_shapes(cfg)
    note(f"data built in {time.perf_counter() - began:.0f} s")
    table = Table()
    plan = Plan(cfg)
    per_narration = {}
    steps = [("small", "categorize, small batches (each call builds everything it needs)",
              lambda shape: bench_small_batches(plan, table, shape, cfg)),
             ("large", "categorize, large batch",
              lambda shape: bench_large_batch(plan, table, shape, cfg, per_narration.setdefault(shape.name, {}))),
             ("derive", "derive_rules", lambda shape: bench_derive(plan, table, shape, cfg)),
             ("loans", "loans", None),
             ("json", "JSON categorize", lambda shape: bench_json_categorize(plan, table, shape, cfg))]
    # Every workload is set up (and its peers checked) first; then all are timed together.
    for section, title, step in steps:
        if section not in cfg.sections:
            continue
        step_began = time.perf_counter()
        if step is None:
            bench_loan(plan, table)
        else:
            for shape in shapes:
                step(shape)
        note(f"{title}: set up in {time.perf_counter() - step_began:.0f} s")
    note("timing:")
    plan.run()
    peak = None
    if "peak" in cfg.sections:
        note("peak memory (fresh process):")
        peak = bench_peak(cfg)
    print(f"Machine: {machine()}.")
    print(f"Run {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}{', --quick' if cfg.quick else ''}; "
          f"each case warmed for {cfg.warm:g} s, then {cfg.repeat} passes over all workloads, each giving each "
          f"workload a round of interleaved cases ({cfg.slow_repeat} rounds where a call takes over {cfg.slow:g} s), "
          f"and more, up to {cfg.repeat * 3}, while a case has fewer than {cfg.repeat} quiet rounds or a ratio "
          f"spreads over {cfg.steady:.0%} across them; a case's round counts where the probes on both sides of it "
          f"ran within {Probe.QUIET:g}x of the fastest hundredth of the run's probes (where fewer than 3 did, its "
          f"least disturbed third): times are medians of the counted rounds, spread their interquartile range, "
          f"ratios the median of the ratios within the rounds that count for both, in "
          f"{'wall time' if clock is time.perf_counter else 'CPU time of the benchmark thread'}.\n")
    print(table.markdown())
    for shape in shapes:
        costs = per_narration.get(shape.name)
        if costs:
            growth = costs[RULE_COUNTS[-1]] / costs[RULE_COUNTS[0]]
            print(f"\nmorvanta's cost per narration grows {growth:.2f}x from {RULE_COUNTS[0]:,} to "
                  f"{RULE_COUNTS[-1]:,} rules at {cfg.batch:,} {shape.name} narrations.")
    if peak:
        print(peak)
    note(f"done in {time.perf_counter() - began:.0f} s")
    if args.compare:
        compare(earlier, table.markdown(), args.tolerance, out=sys.stderr)


if __name__ == "__main__":
    main()
