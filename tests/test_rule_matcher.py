"""Every rule-matching method of the core (direct search with patterns lowered
lazily or up front, the prefix index, the automaton with its default,
all-sparse and all-dense layouts, batches of one narration or many, the
automatic choice, and its direct search or prefix index handing over to the
automaton mid-call) against Python's own containment test on lower-cased text.

The driver tests/native/rule_matcher.cpp runs one case per line group and
prints, per method, the index of the first matching rule of each narration.
The last test runs the module itself, whose batch sizes pick the method.
"""
import subprocess

import pytest
from alphabet import ALPHABET
from hypothesis import given, settings, strategies as st

import morvanta
from budget import examples

METHODS = ["direct", "prelowered", "automatic", "handover", "prefix", "prefix-handover", "automaton", "single", "sparse",
           "full"]

texts = st.text(alphabet=ALPHABET, max_size=12)


def _hex(text):
    return text.encode().hex() or "-"


def run_cases(exe, cases):
    """cases: list of (patterns, narrations) -> list of {method: [index or None]}."""
    lines = []
    for patterns, narrations in cases:
        lines.append(f"{len(patterns)} {len(narrations)}")
        lines.extend(_hex(p) for p in patterns)
        lines.extend(_hex(n) for n in narrations)
    out = subprocess.run([exe], input="\n".join(lines) + "\n", capture_output=True, text=True, check=True)
    rows = out.stdout.splitlines()
    per_case = len(METHODS) + 1
    assert len(rows) == per_case * len(cases)
    results = []
    for k in range(len(cases)):
        block = {}
        for row in rows[k * per_case:(k + 1) * per_case]:
            name, *hits = row.split(" ")
            if name == "choice":
                block[name] = hits[0]
            else:
                block[name] = [None if h == "-" else int(h) for h in hits]
        assert sorted(block) == sorted(METHODS + ["choice"])
        results.append(block)
    return results


def first_rule(patterns, narration):
    lowered = narration.lower()
    return next((i for i, p in enumerate(patterns) if p.lower() in lowered), None)


@pytest.fixture(scope="module")
def matcher(native_tool):
    return native_tool("rule_matcher")


CASES = [
    # (patterns, narration, expected first rule); the cases that stress the
    # automaton's structure. Lowering and matching rules at large are covered
    # through the module in test_categorize.py.
    ([], "anything", None),
    (["coffee", "coffee house"], "COFFEE HOUSE", 0),
    (["coffee house", "coffee"], "COFFEE HOUSE", 0),
    (["house", "coffee house"], "COFFEE HOUSE", 0),
    (["zzz", "house", "coffee house"], "COFFEE HOUSE", 1),
    # A later, shorter pattern ending inside an earlier, longer one: the
    # automaton must report both through its suffix links.
    (["xx", "coffee house", "house"], "COFFEE HOUSE", 1),
    (["xx", "ee h", "offee house"], "coffee house", 1),
    (["abc", "", "x"], "", 1),
    (["abc", "", "x"], "x", 1),
    (["Σ"], "ΟΔΟΣ", None),
    (["k"], "\u212a", 0),
    # The same pattern twice, and a pattern that is a prefix of another.
    (["bc", "bc", "b"], "abc", 0),
    (["abcd", "abc"], "xabcx", 1),
    # Repeated and overlapping occurrences.
    (["aab"], "aaaab", 0),
    (["abab", "bab"], "abaabab", 0),
    # Long patterns: one running past the end of the text, one found through
    # another pattern's states, two overlapping, and the lower index found
    # second.
    (["zzzz", "abcdefgh"], "xxabcdefg", None),
    (["zabcdez", "abcdefgh"], "zabcdefgh", 1),
    (["abcdefgh", "bcdefghi"], "abcdefghi", 0),
    (["qqqqqq", "bcdefghi", "abcdefgh"], "abcdefghi", 1),
    (["abcdefgh", "abcdefgx"], "abcdefgx", 1),
    # Keys alike once every byte is OR 0x20 ('@' and '`'), told apart by
    # their bytes; patterns of one to three bytes beside longer ones.
    (["a`bc", "a@bc"], "xA@BCx", 1),
    (["zzzz", "bc", "c"], "abc", 1),
    (["q", "xyz", "ab"], "zab", 2),
    (["abcdefghijklmnopqr", "ijklmnopqrs"], "XABCDEFGHIJKLMNOPQRS", 0),
    # A capital that lowers to non-ASCII bytes, at each offset of the words
    # in which a narration is found ASCII (and so left unlowered) or not.
    *[(["é"], "x" * k + "É", 0) for k in range(18)],
    *[(["é"], "É" + "x" * k, 0) for k in (1, 6, 7, 8, 15)],
]


@pytest.mark.parametrize("patterns,narration,expected", CASES)
def test_every_method_finds_the_first_matching_rule(matcher, patterns, narration, expected):
    assert first_rule(patterns, narration) == expected  # the table itself agrees with Python
    # Pad with rules that never match so the automatic choice takes each
    # path: few rules below its threshold, many above.
    for filler in (0, 40):
        padded = patterns + ["\u2603never"] * filler
        (result,) = run_cases(matcher, [(padded, [narration])])
        for method in METHODS:
            assert result[method] == [expected], (method, filler)


_ALNUM = "abcdefghijklmnopqrstuvwxyz0123456789"


@pytest.mark.parametrize(
    "patterns,narrations,expected",
    [
        # 3,000 rules of which only some occur; each narration's answer is known.
        ([f"m{i:04d}x" for i in range(3000)], ["pay m2999x and m1500x", "m0000x", "nothing here", "M0042X M0041X", ""],
         [1500, 0, None, 41, None]),
        # Every three-character word: 46,656 states where a pattern ends, all
        # led into from the depth-2 rows, more than the automaton's escapes
        # can number, so its build is taken again with fewer dense rows.
        ([a + b + c for a in _ALNUM for b in _ALNUM for c in _ALNUM], ["99", "999", "Zz9 aab", "a1b2", "9a"],
         [None, 46655, 1, 973, None]),
    ],
)
def test_many_rules_all_methods_agree(matcher, patterns, narrations, expected):
    (result,) = run_cases(matcher, [(patterns, narrations)])
    for method in METHODS:
        assert result[method] == expected, method


@pytest.mark.parametrize(
    "patterns,narrations,choice",
    [
        (["coffee"] * 10_000, 1, "direct"),
        (["coffee"] * 10_000, 172, "prefix"),
        (["coffee"] * 4095, 33_016, "automaton"),
        (["coffee"] * 4096, 100_000, "prefix"),  # many rules: the index, whatever the batch
        (["coffee"], 100_000, "direct"),  # one rule: a memchr scan
        (["coffee"] * 6, 15, "direct"),
        (["coffee"] * 6, 16, "prefix"),
        (["coffee"] * 6, 303, "prefix"),
        (["coffee"] * 6, 304, "automaton"),
        (["tea", "", "x"] * 100, 1000, "direct"),  # rules after an empty pattern are never searched
        ([], 1000, "direct"),
    ],
)
def test_automatic_choice(matcher, patterns, narrations, choice):
    (result,) = run_cases(matcher, [(patterns, ["a" * 20 + "tea"] * narrations)])
    assert result["choice"] == choice


@pytest.mark.parametrize("rules", [6, 100, 2000])
def test_methods_agree_on_both_sides_of_the_crossover(matcher, rules):
    # Wherever the automatic choice turns from the direct search to the
    # prefix index, and from it to the automaton, as narrations grow, both
    # sides give the containment answer.
    patterns = [f"shop{i:05d}" for i in range(rules)]
    order = ["direct", "prefix", "automaton"]

    def narrations(n):
        return [f"POS SHOP{k * 7919 % rules:05d} REF" if k % 3 == 0 else "a" * 20 + "tea" for k in range(n)]

    results = {}

    def choice(n):
        if n not in results:
            (results[n],) = run_cases(matcher, [(patterns, narrations(n))])
        return order.index(results[n]["choice"])

    for turn in (1, 2):
        lo, hi = 0, 1
        while choice(hi) < turn:
            assert hi < 2 ** 16, f"{order[turn]} is never chosen"
            lo, hi = hi, hi * 2
        while hi - lo > 1:  # choice(lo) comes before the turn, choice(hi) at it
            mid = (lo + hi) // 2
            lo, hi = (mid, hi) if choice(mid) < turn else (lo, mid)
        for n in (lo, hi):
            if n == 0:
                continue
            expected = [first_rule(patterns, text) for text in narrations(n)]
            for method in METHODS:
                assert results[n][method] == expected, (method, n)


def test_long_periodic_pattern(matcher):
    # The case that makes a naive search quadratic, answered by every method.
    pattern = "a" * 3000 + "b"
    narrations = ["a" * 6000, "a" * 6000 + "b", "A" * 2999 + "b"]
    (result,) = run_cases(matcher, [(["zz", pattern], narrations)])
    for method in METHODS:
        assert result[method] == [None, 1, None], method


@st.composite
def rule_sets(draw):
    narrations = draw(st.lists(texts, max_size=6))
    # Patterns are often cut from a narration, so matches are common; the
    # rest are free text, and some are empty.
    pieces = []
    for n in narrations:
        if n:
            a = draw(st.integers(0, len(n) - 1))
            b = draw(st.integers(a, len(n)))
            pieces.append(n[a:b])
    pattern = st.one_of(texts, st.sampled_from(pieces) if pieces else texts)
    patterns = draw(st.lists(pattern, max_size=30))
    # Repeats carry a case over a batch boundary and across the automatic
    # choice's narration threshold.
    return patterns, narrations * draw(st.sampled_from([1, 1, 12, 30]))


@settings(max_examples=examples(300), deadline=None)
@given(st.lists(rule_sets(), min_size=1, max_size=8))
def test_methods_equal_python_containment(matcher, cases):
    results = run_cases(matcher, cases)
    for (patterns, narrations), result in zip(cases, results):
        expected = [first_rule(patterns, n) for n in narrations]
        for method in METHODS:
            assert result[method] == expected, method


@st.composite
def requests(draw):
    # Batch sizes and rule counts on both sides of every choice the module
    # makes: unfiltered or filtered direct search, one batch or several, and
    # the automaton.
    pool = draw(st.lists(texts, min_size=1, max_size=8))
    size = draw(st.sampled_from([1, 2, 10, 100, 200]))
    narrations = [pool[i % len(pool)] + draw(st.sampled_from(["", "x", " ΣΑΣ"])) for i in range(size)]
    pieces = [n[a:a + 4] for n in pool for a in range(0, len(n), 3)] or [""]
    pattern = st.one_of(texts, st.sampled_from(pieces))
    count = draw(st.sampled_from([0, 1, 3, 8, 9, 40, 80]))
    patterns = draw(st.lists(pattern, min_size=count, max_size=count))
    return narrations, patterns


@settings(max_examples=examples(150), deadline=None)
@given(requests())
def test_module_equals_python_containment_at_every_batch_size(case):
    narrations, patterns = case
    rules = [{"pattern": p, "category": f"c{i}", "merchant": f"m{i}"} for i, p in enumerate(patterns)]
    got = morvanta.categorize_transactions({"data": [{"narration": n} for n in narrations], "rules": rules})
    expected = []
    for n in narrations:
        hit = first_rule(patterns, n)
        expected.append(None if hit is None else {"category": f"c{hit}", "merchant": f"m{hit}"})
    assert got == {"data": expected}


SIZE_MAX = 2**64 - 1


def test_gram_table_size_at_its_boundaries(native_tool):
    # Lengths around the floor, the cap (4,096 bytes of narration reach the
    # 65,536 slots) and where a table sized by the length alone would need
    # 2^32 slots or more, or wrap the product with 16: every table is a
    # power of two within the bounds, its shift takes a 32-bit hash to a slot,
    # and a longer narration never gets a smaller table.
    lengths = [0, 1, 3, 4, 5, 63, 64, 65, 4095, 4096, 4097, 2**28 - 1, 2**28, 2**28 + 1, 2**32,
               SIZE_MAX // 16, SIZE_MAX // 16 + 1, SIZE_MAX - 1, SIZE_MAX]
    out = subprocess.run([native_tool("rule_matcher"), "sizing"], input="\n".join(map(str, lengths)) + "\n",
                         capture_output=True, text=True, check=True).stdout.split("\n")
    rows = [tuple(map(int, line.split())) for line in out if line]
    assert [r[0] for r in rows] == lengths
    previous = 0
    for longest, slots, shift in rows:
        assert 64 <= slots <= 2**16 and slots & (slots - 1) == 0, longest
        assert slots >= min(max(64, longest * 16), 2**16), longest
        assert shift == 32 - slots.bit_length() + 1, longest
        assert slots >= previous
        previous = slots
    assert rows[0][1:] == (64, 26) and rows[-1][1:] == (2**16, 16)


def lookalike_case(narrations):
    # 10,000 rules of about 60 bytes that all pass the first-3/last-3-byte
    # filter on narrations of 1 KB, and never match.
    patterns = ["aaa" + "a" * (k % 50) + "c" * (1 + k // 50 % 5) + "a" * (55 - k % 50) + "aab" for k in range(10_000)]
    return patterns, ["a" * 1000 + "b" + str(i) for i in range(narrations)]


@pytest.mark.parametrize("narrations", [10, 100, 1000])
def test_look_alike_rules_cost_about_what_the_automaton_costs(native_tool, narrations):
    # The steps the direct search counts (about 1/8 ns each) stay within a
    # small multiple of the automaton's own cost in the same steps: its
    # build at about 800 a rule and 100 a pattern byte, its scan at about 16
    # a narration byte. Testing each pattern in each narration would take
    # some 10^5 steps a rule and narration, 10^8 and more in all.
    patterns, texts = lookalike_case(narrations)
    lines = [f"{len(patterns)} {len(texts)}"] + [_hex(p) for p in patterns] + [_hex(t) for t in texts]
    out = subprocess.run([native_tool("rule_matcher"), "work"], input="\n".join(lines) + "\n",
                         capture_output=True, text=True, check=True).stdout.splitlines()
    assert out[0] == "automatic" + " -" * narrations
    _, steps, handed_over = out[1].split()
    automaton = 800 * len(patterns) + 100 * sum(map(len, patterns)) + 16 * sum(map(len, texts))
    assert int(steps) <= 2 * automaton
    assert handed_over == "1"
