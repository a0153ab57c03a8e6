"""Peak memory of one categorize_transactions_json call, each case in a fresh process.

    python benchmarks/peak.py [TEXT_BYTES]          every case, one line each
    python benchmarks/peak.py TEXT_BYTES CASE       one case, in this process, as a JSON object

Each case builds a request of about TEXT_BYTES UTF-8 bytes (`data` first), then
resets the kernel's high-water mark of resident memory by writing "5" to
/proc/self/clear_refs, so that VmHWM afterwards is the peak of the call alone,
and reports the growth of that peak over the resident size before the call,
beside the size of the text and of the returned str. No writer can go under
that str: it takes two bytes a character once it holds one beyond U+00FF (the
non-ASCII merchants of 1,000 drawn rules), one byte when it is ASCII.
"""
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import morvanta  # noqa: E402
import data  # noqa: E402

# name: (narrations, ASCII categories and merchants only, what the label adds)
CASES = {
    "short": (data.make_narrations, False, ""),
    "short-ascii": (data.make_narrations, True, ", ASCII categories and merchants"),
    "long": (data.make_long_narrations, False, ", long narrations"),
    "long-ascii": (data.make_long_narrations, True, ", ASCII categories and merchants, long narrations"),
}
SHAPE_CASES = {"short": ["short", "short-ascii"], "long": ["long", "long-ascii"]}
RULES = 1000


def ascii_rules(rng, count):
    """`count` rules whose texts are all ASCII: the result str then takes one byte a character."""
    rules = []
    while len(rules) < count:
        rules += [rule for rule in data.make_rules(rng, count)
                  if all(text.isascii() for text in rule.values())
                  and rule["pattern"].lower() not in {r["pattern"].lower() for r in rules}]
    return rules[:count]


def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise SystemExit(f"no {field} in /proc/self/status")


def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def measure(target, name):
    """{label, text, str, growth} in bytes; growth is None where the call's own peak cannot be told."""
    make, ascii_only, suffix = CASES[name]
    rules = ascii_rules(data.rng(6), RULES) if ascii_only else data.make_rules(data.rng(6), RULES)
    text = data.categorize_text(data.rng(5), rules, target, 20000, fresh=False, make=make)
    # str.encode does not cache the UTF-8 form in the str: a UTF-8 copy that the call makes counts as the call's.
    size = len(text.encode())
    morvanta.categorize_transactions_json('{"data":[],"rules":[]}')
    reset = reset_peak()
    before_rss, before_peak = status_bytes("VmRSS"), status_bytes("VmHWM")
    out = morvanta.categorize_transactions_json(text)
    after_peak = status_bytes("VmHWM")
    label = f"peak memory, categorize_transactions_json on {size / 1e6:.0f} MB, {RULES:,} rules{suffix}"
    growth = after_peak - before_rss if reset or after_peak > before_peak else None
    return {"label": label, "text": size, "str": sys.getsizeof(out), "growth": growth}


def measure_fresh(target, name):
    """measure() in a fresh process: an earlier case's freed memory must not be counted, or hide the next peak."""
    out = subprocess.run([sys.executable, os.path.abspath(__file__), str(target), name],
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def main():
    target = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000_000
    if len(sys.argv) > 2:
        print(json.dumps(measure(target, sys.argv[2])))
        return
    for name in CASES:
        found = measure_fresh(target, name)
        growth = "not measurable here" if found["growth"] is None else \
            f"{found['growth'] / 1e6:.0f} MB, {found['growth'] / found['text']:.2f}x the text"
        print(f"{found['label']}: peak growth {growth}; the returned str {found['str'] / 1e6:.0f} MB, "
              f"{found['str'] / found['text']:.2f}x the text", flush=True)


if __name__ == "__main__":
    main()
