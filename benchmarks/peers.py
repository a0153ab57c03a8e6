"""Pure-Python peers of the categorizer: what a Python developer would write instead of morvanta.

Each returns exactly what the corresponding morvanta function returns, so the
benchmark can check answers before timing. The pure-Python loan engine is the
tests' reference (tests/loan_reference.py).
"""
import re
from collections import Counter


def _rows(rules, winners):
    return {"data": [None if w is None else {"category": rules[w]["category"], "merchant": rules[w]["merchant"]}
                     for w in winners]}


def loop_prepare(rules):
    """The direct loop's setup: each pattern lowered once."""
    return [(rule["pattern"].lower(), index) for index, rule in enumerate(rules)]


def loop_run(lowered, rules, data):
    """First rule whose lowered pattern occurs in the lowered narration wins."""
    winners = []
    for item in data:
        narration = item["narration"].lower()
        winners.append(next((index for pattern, index in lowered if pattern in narration), None))
    return _rows(rules, winners)


def categorize_loop(req):
    """The direct loop, as a user writes it: lower each pattern once per call, then test in order."""
    return loop_run(loop_prepare(req["rules"]), req["rules"], req["data"])


def _distinct_lowered(rules):
    """(lowered pattern, lowest rule index) for each distinct non-empty pattern, and the first empty one."""
    first, floor = {}, None
    for index, rule in enumerate(rules):
        pattern = rule["pattern"].lower()
        if not pattern:
            floor = index if floor is None else floor
        elif pattern not in first:
            first[pattern] = index
    return first, floor


def aho_prepare(rules):
    """pyahocorasick's automaton over the lowered patterns; each word carries its lowest rule index."""
    import ahocorasick

    first, floor = _distinct_lowered(rules)
    automaton = ahocorasick.Automaton()
    for pattern, index in first.items():
        automaton.add_word(pattern, index)
    if first:
        automaton.make_automaton()
    return automaton, floor, bool(first)


def aho_run(prepared, rules, data):
    automaton, floor, any_word = prepared
    winners = []
    for item in data:
        best = floor
        if any_word:
            for _, index in automaton.iter(item["narration"].lower()):
                if best is None or index < best:
                    best = index
        winners.append(best)
    return _rows(rules, winners)


def categorize_aho(req):
    """pyahocorasick, automaton built in the call."""
    return aho_run(aho_prepare(req["rules"]), req["rules"], req["data"])


def aho_rs_prepare(rules):
    """ahocorasick-rs over the distinct lowered patterns, with the lowest rule index of each."""
    import ahocorasick_rs

    first, floor = _distinct_lowered(rules)
    patterns = list(first)
    automaton = ahocorasick_rs.AhoCorasick(patterns) if patterns else None
    return automaton, list(first.values()), floor


def aho_rs_run(prepared, rules, data):
    automaton, indexes, floor = prepared
    winners = []
    for item in data:
        best = floor
        if automaton is not None:
            found = automaton.find_matches_as_indexes(item["narration"].lower(), overlapping=True)
            if found:
                lowest = min(indexes[m[0]] for m in found)
                best = lowest if best is None or lowest < best else best
        winners.append(best)
    return _rows(rules, winners)


def categorize_aho_rs(req):
    """ahocorasick-rs, automaton built in the call, overlapping matches, lowest rule index wins."""
    return aho_rs_run(aho_rs_prepare(req["rules"]), req["rules"], req["data"])


_SEPARATORS = re.compile(r"[^\w]+|_+")


def tokens(narration):
    """The tokens of a narration as rule derivation cuts them, in order, repeats included."""
    return [t for t in _SEPARATORS.split(narration.lower()) if len(t.encode()) >= 3]


def derive_rules_python(req, ties=None):
    """Idiomatic rule derivation: lower, split on non-alphanumerics, count with Counter.

    Which of several tokens with the best score becomes the pattern is left open;
    when `ties` is a dict, it receives for each label pair every token with the best score.
    """
    groups = {}
    for item in req["data"]:
        groups.setdefault((item["category"], item["merchant"]), []).append(item["narration"])
    token_sets = {key: [set(tokens(n)) for n in narrs] for key, narrs in groups.items()}
    overall = Counter()
    for sets in token_sets.values():
        for s in sets:
            overall.update(s)
    rules = []
    for (category, merchant), narrs in groups.items():
        counts = Counter()
        # Counting in reading order makes the first-seen token win ties.
        for n in narrs:
            seen = set()
            for t in tokens(n):
                if t not in seen:
                    seen.add(t)
                    counts[t] += 1
        best, best_score = None, 0
        for token, count in counts.items():
            if count / overall[token] >= 0.8:
                score = count * 1000 + len(token.encode())
                if score > best_score:
                    best, best_score, tied = token, score, {token}
                elif score == best_score:
                    tied.add(token)
        if best is not None:
            if ties is not None:
                ties[(category, merchant)] = tied
            rules.append({"pattern": best, "category": category, "merchant": merchant})
    rules.sort(key=lambda r: (r["category"].encode(), r["merchant"].encode()))
    return {"rules": rules}
