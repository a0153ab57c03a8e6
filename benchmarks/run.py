"""Side-by-side benchmark of morvanta against what a Python developer would use instead.

    pip install ".[bench]" && python benchmarks/run.py [--quick] [--only SECTIONS] [--shapes SHAPES]
    python benchmarks/run.py --write      # a full run, then its tables into benchmarks/README.md and README.md
    python benchmarks/run.py --compare benchmarks/README.md               # run, then list the ratios that moved
    python benchmarks/run.py --compare benchmarks/README.md --against new.md    # two saved tables, no run

Builds bank-statement data in two shapes from fixed seeds (benchmarks/data.py), checks
that every peer gives morvanta's answer, then times them all in this one process: each
case (one implementation of one workload) is warmed up, then every workload gets one
round in each of several passes, a round calling each of its cases in turn with the
cyclic garbage collector paused. The table gives medians over the rounds, and each
peer's ratio to morvanta as the median of its per-round ratios. benchmarks/README.md
says more.
"""
import argparse
import gc
import itertools
import json
import marshal
import operator
import os
import platform
import re
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(ROOT, "tests"))

import morvanta  # noqa: E402
import data  # noqa: E402
import peak  # noqa: E402
import peers  # noqa: E402
from loan_reference import compute_emi as python_emi  # noqa: E402

RULE_COUNTS = (100, 1000, 10000)
SMALL_BATCHES = (1, 10, 100, 1000)
# Requests that a batch of this many narrations and more cycles through (fewer: each is slow for the pure-Python loop).
MID_BATCH, MID_REQUESTS = 1000, 4
SECTIONS = ("small", "large", "derive", "loans", "json", "peak")
SHAPES = ("short", "long")
# A loop that keeps its results holds them in lists of this many, each dropped (untimed)
# before the next is filled, so that its memory stays bounded whatever a round's length.
KEEP_CAP = 50
# CPU time of this thread, page faults included, so that other processes count as little
# as they can; --wall switches to wall time.
clock = time.thread_time


class Case:
    """One implementation of one workload. A reference case is a floor or a size that
    morvanta's figure is read against (the summary under the table gives morvanta ÷ it)."""

    def __init__(self, name, call, keep=False, reference=False):
        self.name, self.call, self.keep, self.reference = name, call, keep, reference
        self.number, self.times = 1, []

    def loop(self, number):
        """The seconds that `number` calls take, the garbage collector paused."""
        call = self.call
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
            gc.enable()

    def warm(self, seconds, target):
        """Calls for `seconds`, then sizes a round to about `target` seconds: at least three
        calls, so that one slow call is not a whole round, or one for a call of over 0.1 s."""
        calls, elapsed, batch = 0, 0.0, 1
        while elapsed < seconds or calls == 0:
            elapsed += self.loop(batch)
            calls += batch
            per_call = max(elapsed / calls, 1e-9)
            batch = max(1, min(batch * 2, round((seconds - elapsed) / per_call)))
        self.number = max(1 if per_call > 0.1 else 3, round(target / per_call))

    def run(self):
        """One round: a few untimed calls bring the case's data back into the caches, then the timed ones."""
        gc.collect()
        if self.number >= 8:
            self.loop(self.number // 8)
        self.times.append(self.loop(self.number) / self.number)


class Workload:
    """The cases of one workload; `combine` may turn some cases' per-round times into one row."""

    def __init__(self, label, cases, items=None, combine=None):
        self.label, self.cases, self.items, self.combine = label, cases, items, combine

    def run_round(self):
        """Every case once, in an order that turns by one case from round to round."""
        turn = len(self.cases[0].times) % len(self.cases)
        for case in self.cases[turn:] + self.cases[:turn]:
            case.run()

    def times(self):
        times = {case.name: case.times for case in self.cases}
        return self.combine(times) if self.combine else times


def run_all(workloads, cfg):
    """Warms every case, then runs `cfg.rounds` passes, each giving every workload one round."""
    gc.collect()
    gc.freeze()  # the benchmark's own data stays out of every collection
    try:
        for workload in workloads:
            for case in workload.cases:
                case.warm(cfg.warm, cfg.target)
        for done in range(cfg.rounds):
            began = time.perf_counter()
            for workload in workloads:
                workload.run_round()
            note(f"  pass {done + 1} of {cfg.rounds}: {time.perf_counter() - began:.0f} s")
    finally:
        gc.unfreeze()


def spread(values):
    """The interquartile range as a share of the median."""
    if len(values) < 2:
        return 0.0
    q1, _, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return (q3 - q1) / statistics.median(values)


class Row:
    def __init__(self, workload, name, value, unit="s", spread=None, ratio=None, items=None, reference=False):
        self.workload, self.name, self.value, self.unit = workload, name, value, unit
        self.spread, self.ratio, self.items, self.reference = spread, ratio, items, reference


class Table:
    HEADER = "| Workload | Implementation | Per call | spread | ns per narration | peer / morvanta |"

    def __init__(self):
        self.rows = []

    def add_workload(self, workload):
        times = workload.times()
        ours = times["morvanta"]
        references = {case.name for case in workload.cases if case.reference}
        for name, per_round in times.items():
            ratio = None if name == "morvanta" else statistics.median(t / o for t, o in zip(per_round, ours))
            self.rows.append(Row(workload.label, name, statistics.median(per_round), "s", spread(per_round), ratio,
                                 workload.items, name in references))

    def add_sizes(self, label, ours, references):
        """Memory rows: morvanta's bytes, and each reference size with its ratio size / morvanta's."""
        self.rows.append(Row(label, "morvanta", ours, "B"))
        for name, size in references:
            self.rows.append(Row(label, name, size, "B", ratio=size / ours if ours else None, reference=True))

    def markdown(self):
        lines = [self.HEADER, "|---|---|---:|---:|---:|---:|"]
        last = None
        for row in self.rows:
            shown, last = ("" if row.workload == last else row.workload), row.workload
            per = f"{row.value / row.items * 1e9:,.0f}" if row.items and row.unit == "s" else ""
            dispersion = "" if row.spread is None else f"{row.spread:.0%}"
            ratio = "" if row.ratio is None else format_ratio(row.ratio)
            lines.append(f"| {shown} | {row.name} | {format_value(row.value, row.unit)} | {dispersion} | {per} | {ratio} |")
        return "\n".join(lines)

    def references(self):
        """One line per reference row: morvanta's time or memory divided by the reference's."""
        return [f"- {row.workload}: morvanta ÷ {row.name}, {1 / row.ratio:.2f}x"
                for row in self.rows if row.reference and row.ratio]


def format_ratio(ratio):
    """Two decimals, or two significant digits below 0.1, where two decimals would hide the value."""
    return f"{ratio:.2f}x" if ratio >= 0.1 else f"{ratio:.2g}x"


def format_value(value, unit):
    if unit == "B":
        return f"{value / 1e6:.0f} MB"
    if value >= 1:
        return f"{value:.2f} s"
    if value >= 1e-3:
        return f"{value * 1e3:.2f} ms"
    return f"{value * 1e6:.1f} µs"


def check(name, got, expected):
    if got != expected:
        raise SystemExit(f"{name} disagrees with morvanta")


def note(text):
    print(text, file=sys.stderr, flush=True)


def cycling(fn, requests):
    """A call that takes the next request each time, so small batches do not see one narration over and over."""
    it = itertools.cycle(requests)
    return lambda: fn(next(it))


# What the table was measured with -----------------------------------------------------------------

PEERS = ("orjson", "pyahocorasick", "ahocorasick-rs")


def peer_versions():
    from importlib import metadata

    versions = {}
    for name in PEERS:
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            versions[name] = None
    return versions


def check_peer_versions():
    """Warns where a peer is older than the `bench` extra of pyproject.toml asks (an older orjson is much slower)."""
    try:
        with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as f:
            found = re.search(r"^bench\s*=\s*\[(.*?)\]", f.read(), re.M | re.S)
    except OSError:
        return
    floors = dict(re.findall(r'"([A-Za-z0-9_.-]+)>=([0-9.]+)"', found.group(1))) if found else {}
    numbers = lambda text: tuple(int(part) for part in re.findall(r"\d+", text)[:3])  # noqa: E731
    for name, have in peer_versions().items():
        if have is not None and name in floors and numbers(have) < numbers(floors[name]):
            note(f"warning: {name} {have} is older than the {floors[name]} the bench extra asks for")


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), model)
    except OSError:
        pass
    peers_text = ", ".join(f"{name} {version or 'absent'}" for name, version in peer_versions().items())
    return (f"morvanta {morvanta.__version__}, CPython {platform.python_version()}, {model}, "
            f"{os.cpu_count()} cores, {platform.system()} {platform.machine()}; {peers_text}")


def settle_allocator():
    """Frees one large block first, as any process that has handled one large request has done.

    Until glibc frees a mapped block of 128 KB or more, it maps every such block on its own;
    a call that allocates a few of them (a 600-month loan's JSON is 148 KB) then pays for
    page faults on every call, and the rows that run first would measure that.
    """
    block = bytearray(30 << 20)
    del block


# Data ----------------------------------------------------------------------------------------------

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
    shapes = {"short": lambda: Shape("short", "", data.make_narrations, data.make_labelled, 0, cfg),
              "long": lambda: Shape("long", ", long narrations", data.make_long_narrations,
                                    data.make_long_labelled, 10, cfg)}
    return [shapes[name]() for name in cfg.shapes]


# Categorization -------------------------------------------------------------------------------------

def categorize_peers(rules):
    """(name, call per request, run with a prebuilt automaton) for each automaton peer."""
    out = []
    for name, prepare, run in (("pyahocorasick", peers.aho_prepare, peers.aho_run),
                               ("ahocorasick-rs", peers.aho_rs_prepare, peers.aho_rs_run)):
        built = prepare(rules)
        out.append((name, lambda req, p=prepare, r=run: r(p(req["rules"]), req["rules"], req["data"]),
                    lambda req, b=built, r=run: r(b, req["rules"], req["data"])))
    return out


def bench_small_batches(shape, cfg):
    workloads = []
    for count in RULE_COUNTS:
        rules = shape.rule_sets[count]
        automata = categorize_peers(rules)
        for batch in SMALL_BATCHES:
            pool = shape.narrations[count]
            count_requests = cfg.requests if batch < MID_BATCH else min(cfg.requests, MID_REQUESTS)
            requests = [{"data": pool[i * batch:(i + 1) * batch], "rules": rules} for i in range(count_requests)]
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
            if batch == 1 and count == RULE_COUNTS[-1]:
                # Three look-ups in each rule's dict, in C: taking in the rules with none of the text work.
                getter = operator.itemgetter("pattern", "category", "merchant")
                cases.append(Case("itemgetter over the rules (rule floor)", lambda: list(map(getter, rules)),
                                  reference=True))
            label = shape.label(f"categorize {batch:,} narration{'s' if batch > 1 else ''} × {count:,} rules")
            workloads.append(Workload(label, cases, batch))
    return workloads


def bench_large_batch(shape, cfg):
    n = cfg.batch
    workloads, calls = [], {}
    for count in RULE_COUNTS:
        rules = shape.rule_sets[count]
        req = {"data": shape.narrations[count][:n], "rules": rules}
        ours = morvanta.categorize_transactions(req)
        calls[count] = lambda req=req: morvanta.categorize_transactions(req)
        cases = [Case("morvanta", calls[count])]
        # Building the result's objects alone (a dict for each match), which no object-mode call can undercut.
        frozen = marshal.dumps(ours)
        check("marshal", marshal.loads(frozen), ours)
        cases.append(Case("marshal.loads of the result (object floor)", lambda frozen=frozen: marshal.loads(frozen),
                          reference=True))
        if count == RULE_COUNTS[-1]:
            # The same call at the fewest rules, in the same rounds: how the cost grows with the rule count.
            cases.append(Case(f"morvanta at {RULE_COUNTS[0]:,} rules (growth reference)", calls[RULE_COUNTS[0]],
                              reference=True))
        for name, per_call, _ in categorize_peers(rules):
            check(name, per_call(req), ours)
            cases.append(Case(f"{name} (automaton built per call)", lambda f=per_call, req=req: f(req)))
        # The direct loop is too slow for the whole batch: its setup and a slice are timed, the slice scaled.
        part = min(n, max(200, 2_000_000 // count))
        sliced = {"data": req["data"][:part], "rules": rules}
        check("pure-Python loop", peers.categorize_loop(sliced), morvanta.categorize_transactions(sliced))
        lowered = peers.loop_prepare(rules)
        cases.append(Case("loop setup", lambda rules=rules: peers.loop_prepare(rules)))
        cases.append(Case("loop slice", lambda rules=rules, lowered=lowered, part=sliced["data"]:
                          peers.loop_run(lowered, rules, part)))

        def combine(times, part=part):
            setup, piece = times.pop("loop setup"), times.pop("loop slice")
            times[f"pure-Python loop (slice of {part}, scaled)"] = [a + b * n / part for a, b in zip(setup, piece)]
            return times

        label = shape.label(f"categorize {n:,} narrations × {count:,} rules")
        note(f"  {label}: {sum(x is not None for x in ours['data']) / n:.0%} matched, "
             f"{data.non_ascii_share(req['data']):.1%} non-ASCII")
        workloads.append(Workload(label, cases, n, combine))
    return workloads


def token_stats(items):
    """Mean UTF-8 bytes and tokens (as derive_rules cuts them) a narration, and distinct tokens."""
    sizes, counts, distinct = 0, 0, set()
    for item in items:
        tokens = peers.tokens(item["narration"])
        sizes += len(item["narration"].encode())
        counts += len(tokens)
        distinct.update(tokens)
    return sizes / len(items), counts / len(items), len(distinct)


def bench_derive(shape, cfg):
    n = cfg.batch
    req = {"data": shape.make_labelled(data.rng(shape.salt + 3), n, 300)}
    ours = morvanta.derive_rules(req)
    ties = {}
    theirs = peers.derive_rules_python(req, ties)
    # A pattern may be any of the tokens tied for the best score.
    check("pure-Python derivation", [(r["category"], r["merchant"]) for r in theirs["rules"]],
          [(r["category"], r["merchant"]) for r in ours["rules"]])
    if any(rule["pattern"] not in ties[(rule["category"], rule["merchant"])] for rule in ours["rules"]):
        raise SystemExit("pure-Python derivation disagrees with morvanta on a pattern")
    label = shape.label(f"derive_rules {n:,} labelled narrations, 300 label pairs")
    size, tokens, distinct = token_stats(req["data"])
    note(f"  {label}: {len(ours['rules'])} rules, {size:.0f} bytes and {tokens:.1f} tokens a narration, "
         f"{distinct:,} distinct tokens")
    return [Workload(label, [Case("morvanta", lambda: morvanta.derive_rules(req)),
                             Case("pure Python (Counter)", lambda: peers.derive_rules_python(req))], n)]


# Loans ------------------------------------------------------------------------------------------------

LOAN = {"mode": "emi", "loanAmount": 7500000, "months": 600, "interestRate": 8.5, "inflationRate": 5.5,
        "start": "2025-01"}


def bench_loans(cfg):
    import orjson

    def keep_and_drop(label, pairs, reference=False):
        """Each (name, call) in a loop that keeps every result and in one that drops it."""
        return [Workload(f"{label}, loop {loop}",
                         [Case(name, call, keep, reference and name != "morvanta") for name, call in pairs])
                for loop, keep in (("keeps results", True), ("drops results", False))]

    ours = morvanta.compute_emi(LOAN)
    check("pure-Python loan engine", python_emi(LOAN), ours)
    frozen = marshal.dumps(ours)
    check("marshal", marshal.loads(frozen), ours)
    workloads = keep_and_drop("compute_emi 600 months with start",
                              [("morvanta", lambda: morvanta.compute_emi(LOAN)),
                               ("marshal.loads of the result (object floor)", lambda: marshal.loads(frozen))],
                              reference=True)
    # Without start the result has no calendar fields and no year groups: a smaller output.
    plain = {key: value for key, value in LOAN.items() if key != "start"}
    for label, loan in (("with start", LOAN), ("without start", plain)):
        text, result = json.dumps(loan), morvanta.compute_emi(loan)
        check("orjson", json.loads(orjson.dumps(result)), json.loads(morvanta.compute_emi_json(text)))
        workloads += keep_and_drop(f"compute_emi_json 600 months {label}",
                                   [("morvanta", lambda text=text: morvanta.compute_emi_json(text)),
                                    ("orjson.dumps of the result", lambda result=result: orjson.dumps(result))])
    workloads.append(Workload("compute_emi 600 months, whole engine",
                              [Case("morvanta", lambda: morvanta.compute_emi(LOAN)),
                               Case("pure-Python engine", lambda: python_emi(LOAN))]))
    return workloads


# JSON text ----------------------------------------------------------------------------------------

def bench_json_categorize(shape, cfg):
    import orjson

    text = data.categorize_text(data.rng(shape.salt + 4), shape.rule_sets[1000], cfg.json_bytes, 10000,
                                make=shape.make_narrations)
    size = len(text.encode())
    check("JSON mode", json.loads(morvanta.categorize_transactions_json(text)),
          morvanta.categorize_transactions(json.loads(text)))
    count = len(json.loads(text)["data"])
    label = shape.label(f"categorize_transactions_json {size / 1e6:.0f} MB, {count:,} narrations × 1,000 rules")
    return [Workload(label, [Case("morvanta", lambda: morvanta.categorize_transactions_json(text)),
                             Case("json.loads only", lambda: json.loads(text)),
                             Case("orjson.loads only", lambda: orjson.loads(text), reference=True)], count)]


def add_peaks(table, cfg):
    """The peak memory rows, each case measured in a fresh process (benchmarks/peak.py)."""
    for shape in cfg.shapes:
        for case in peak.SHAPE_CASES[shape]:
            found = peak.measure_fresh(cfg.peak_bytes, case)
            if found["growth"] is None:
                raise SystemExit(f"{found['label']}: the peak is not measurable here (no /proc/self/clear_refs)")
            table.add_sizes(found["label"], found["growth"], [("the request's text (reference size)", found["text"]),
                                                              ("the returned str (floor)", found["str"])])


# Comparing and writing tables ---------------------------------------------------------------------

BEGIN_RUN, END_RUN = "<!-- BEGIN RUN: python benchmarks/run.py --write -->", "<!-- END RUN -->"
BEGIN_HEADLINE = "<!-- BEGIN HEADLINE: rows of benchmarks/README.md, refreshed by python benchmarks/run.py --write -->"
END_HEADLINE = "<!-- END HEADLINE -->"
TABLE_FILE, HEADLINE_FILE = os.path.join(HERE, "README.md"), os.path.join(ROOT, "README.md")


def parse_table(text):
    """{(workload, implementation): (ratio or None, per-call text)} from the first benchmark table in `text`."""
    lines = text.splitlines()
    start = next((i for i, line in enumerate(lines)
                  if line.startswith("| Workload |") and "peer / morvanta" in line), None)
    if start is None:
        raise SystemExit("no benchmark table (a header starting | Workload | ... peer / morvanta |) found")
    header = [cell.strip() for cell in lines[start].strip().strip("|").split("|")]
    rows, workload = {}, None
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        cells = dict(zip(header, (cell.strip() for cell in line.strip().strip("|").split("|"))))
        workload = cells["Workload"] or workload
        ratio = cells["peer / morvanta"].rstrip("x")
        rows[(workload, cells["Implementation"])] = float(ratio) if ratio else None
    return rows


def compare(old_text, new_text, tolerance, out=sys.stdout):
    """Prints the ratios that moved by more than `tolerance`; returns (compared, moved, largest change)."""
    old, new = parse_table(old_text), parse_table(new_text)
    changes = {key: ratio / old[key] - 1 for key, ratio in new.items() if ratio and old.get(key)}
    moved = {key: change for key, change in changes.items() if abs(change) > tolerance}
    largest = max(changes.items(), key=lambda item: abs(item[1]), default=(None, 0.0))
    print(f"\n{len(changes)} ratios compared; {len(moved)} moved by more than {tolerance:.0%}"
          + (f"; the largest change {largest[1]:+.0%} ({largest[0][0]}: {largest[0][1]})." if changes else "."),
          file=out)
    if moved:
        print("\n| Workload | Implementation | before | now | change |\n|---|---|---:|---:|---:|", file=out)
        for (workload, name), change in moved.items():
            print(f"| {workload} | {name} | {format_ratio(old[(workload, name)])} | "
                  f"{format_ratio(new[(workload, name)])} | {change:+.0%} |", file=out)
    lost = list(dict.fromkeys(workload for workload, name in old if (workload, name) not in new))
    if lost:
        print(f"\nWorkloads with rows only in the earlier table: {'; '.join(lost)}", file=out)
    return len(changes), len(moved), largest


def between(text, begin, end, path):
    if begin not in text or end not in text:
        raise SystemExit(f"{path} lacks the markers {begin} ... {end}")
    start = text.index(begin) + len(begin)
    return start, text.index(end, start)


def write_docs(report, table, tolerance):
    """Replaces the run in benchmarks/README.md and fills the README's headline rows from it.

    The headline keeps the rows it lists; the sentence under it says how far this run's
    ratios are from those of the run it replaces."""
    with open(TABLE_FILE, encoding="utf-8") as f:
        full = f.read()
    with open(HEADLINE_FILE, encoding="utf-8") as f:
        readme = f.read()
    start, stop = between(full, BEGIN_RUN, END_RUN, TABLE_FILE)
    earlier = full[start:stop]
    h_start, h_stop = between(readme, BEGIN_HEADLINE, END_HEADLINE, HEADLINE_FILE)
    wanted = list(parse_table(readme[h_start:h_stop]))
    rows = {(row.workload, row.name): row for row in table.rows}
    ours = {row.workload: row for row in table.rows if row.name == "morvanta"}
    missing = [key for key in wanted if key not in rows]
    if missing:
        raise SystemExit(f"the README's headline names rows this run does not have: {missing}")
    lines = ["| Workload | Implementation | morvanta | peer / morvanta |", "|---|---|---:|---:|"]
    for workload, name in wanted:
        lines.append(f"| {workload} | {name} | {format_value(ours[workload].value, ours[workload].unit)} | "
                     f"{format_ratio(rows[(workload, name)].ratio)} |")
    when = re.search(r"^Run (\d{4}-\d\d-\d\d \d\d:\d\d UTC)", earlier, re.M)
    compared = 0
    if when and "| Workload |" in earlier:
        compared, moved, (key, change) = compare(earlier, table.markdown(), tolerance, out=sys.stderr)
    if compared:
        agreement = (f"Against the run before it ({when.group(1)}), {compared - moved} of {compared} ratios "
                     f"are within {tolerance:.0%}; the largest change is {change:+.0%} ({key[0]}: {key[1]}).")
    else:
        agreement = "There is no earlier run in benchmarks/README.md to compare this one with."
    lines += ["", f"Measured {time.strftime('%Y-%m-%d', time.gmtime())} on {machine()}. {agreement}"]
    with open(TABLE_FILE, "w", encoding="utf-8") as f:
        f.write(full[:start] + "\n" + report + "\n" + full[stop:])
    with open(HEADLINE_FILE, "w", encoding="utf-8") as f:
        f.write(readme[:h_start] + "\n" + "\n".join(lines) + "\n" + readme[h_stop:])
    note(f"wrote {TABLE_FILE} and the headline rows of {HEADLINE_FILE}")


# ----------------------------------------------------------------------------------------------------

class Config:
    def __init__(self, args):
        quick = args.quick
        self.quick = quick
        self.batch = 10_000 if quick else 100_000
        self.requests = 8 if quick else 32
        self.rounds = 3 if quick else 7
        self.target = 0.01 if quick else 0.02
        self.warm = args.warm if args.warm is not None else (0.05 if quick else 0.1)
        self.json_bytes = (1 if quick else 10) * 1_000_000
        self.peak_bytes = (10 if quick else 100) * 1_000_000
        self.sections = parse_list(args.only, SECTIONS, "section")
        self.shapes = parse_list(args.shapes, SHAPES, "shape")


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
    parser.add_argument("--only", default=",".join(SECTIONS), help=f"sections to run, of {', '.join(SECTIONS)}")
    parser.add_argument("--shapes", default=",".join(SHAPES), help="data shapes to run: short, long")
    parser.add_argument("--warm", type=float, help="seconds of calls that warm up each case (0.1, --quick 0.05)")
    parser.add_argument("--write", action="store_true",
                        help="a full run only: replace the run in benchmarks/README.md, refill the README's headline")
    parser.add_argument("--compare", metavar="FILE", help="then list the ratios that moved against FILE's table")
    parser.add_argument("--against", metavar="FILE", help="with --compare: compare FILE's table instead of running")
    parser.add_argument("--tolerance", type=float, default=0.25, help="the change in a ratio to report (0.25)")
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
    if args.write and (cfg.quick or args.wall or cfg.sections != list(SECTIONS) or cfg.shapes != list(SHAPES)):
        raise SystemExit("--write takes a full run: no --quick, --wall, --only or --shapes")
    began = time.perf_counter()
    note(machine())
    check_peer_versions()
    settle_allocator()
    shapes = make_shapes(cfg)
    note(f"data built in {time.perf_counter() - began:.0f} s")
    # Every workload is set up (and its peers checked) first; then all are timed together.
    steps = {"small": bench_small_batches, "large": bench_large_batch, "derive": bench_derive,
             "json": bench_json_categorize}
    workloads = []
    for section in SECTIONS:
        if section in cfg.sections and section in steps:
            for shape in shapes:
                workloads += steps[section](shape, cfg)
        elif section in cfg.sections and section == "loans":
            workloads += bench_loans(cfg)
    note(f"set up in {time.perf_counter() - began:.0f} s; timing {len(workloads)} workloads")
    run_all(workloads, cfg)
    table = Table()
    for workload in workloads:
        table.add_workload(workload)
    if "peak" in cfg.sections:
        note("peak memory, each case in a fresh process")
        add_peaks(table, cfg)
    lines = [f"Machine: {machine()}.",
             f"Run {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}{', --quick' if cfg.quick else ''}: "
             f"each case warmed for {cfg.warm:g} s, then {cfg.rounds} rounds of each workload, one in each pass over "
             f"all of them; {'wall' if args.wall else 'CPU'} time, medians over the rounds, ratios the median of "
             f"the per-round ratios.", "", table.markdown()]
    if table.references():
        lines += ["", "Against the reference rows (morvanta's figure ÷ the row's):", "", *table.references()]
    report = "\n".join(lines)
    print(report)
    note(f"done in {time.perf_counter() - began:.0f} s")
    if args.compare:
        compare(earlier, table.markdown(), args.tolerance, out=sys.stderr)
    if args.write:
        write_docs(report, table, args.tolerance)


if __name__ == "__main__":
    main()
