"""Peak memory of one categorize_transactions_json call, each case in a fresh process.

    python benchmarks/peak.py [TEXT_BYTES]          every case, one line each
    python benchmarks/peak.py TEXT_BYTES CASE       one case, in this process

Each case builds a request of about TEXT_BYTES UTF-8 bytes (`data` first),
then resets the kernel's high-water mark of resident memory by writing "5" to
/proc/self/clear_refs, so that VmHWM afterwards is the peak of the call alone,
and reports the growth of that peak over the resident size before the call:
as bytes, over the text, the size of the returned str, and the growth above
that str, which is the call's own overhead (the str is a floor no writer can
go under: two bytes a character once it holds one beyond U+00FF, one byte
when the result is ASCII).
Where clear_refs cannot be written, the text is built in pieces no larger than
the final text, and the growth is reported only when the call set a new peak
(otherwise an earlier peak could hide the call's own).
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import morvanta  # noqa: E402
import data  # noqa: E402
from run import categorize_text  # noqa: E402

# name: (rules, ASCII categories and merchants only, narration shape, description). The first 100 rules
# that data.make_rules draws are ASCII already, so the 100-rule cases give a one-byte result either way.
CASES = {
    "1000": (1000, False, data.make_narrations, "1,000 rules, some merchants non-ASCII, short narrations"),
    "ascii-1000": (1000, True, data.make_narrations, "1,000 rules, ASCII categories and merchants, short narrations"),
    "100": (100, False, data.make_narrations, "100 rules, all ASCII as drawn, short narrations"),
    "100-long": (100, False, data.make_long_narrations, "100 rules, all ASCII as drawn, long narrations"),
}


def ascii_rules(rng, count):
    """`count` rules whose texts are all ASCII: the result str then takes one byte a character."""
    rules = []
    while len(rules) < count:
        rules += [rule for rule in data.make_rules(rng, count)
                  if all(text.isascii() for text in rule.values())
                  and rule["pattern"].lower() not in {r["pattern"].lower() for r in rules}]
    return rules[:count]


def status_kb(field):
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
    count, ascii_only, make_narrations, description = CASES[name]
    rules = ascii_rules(data.rng(6), count) if ascii_only else data.make_rules(data.rng(6), count)
    text = categorize_text(data.rng(5), rules, target, 20000, fresh=False, make_narrations=make_narrations)
    # str.encode does not cache the UTF-8 form in the str: a UTF-8 copy that the call makes counts as the call's.
    size = len(text.encode())
    morvanta.categorize_transactions_json('{"data":[],"rules":[]}')
    reset = reset_peak()
    before_rss, before_peak = status_kb("VmRSS"), status_kb("VmHWM")
    out = morvanta.categorize_transactions_json(text)
    after_peak = status_kb("VmHWM")
    out_size = len(out.encode())
    str_size = sys.getsizeof(out)
    growth = after_peak - before_rss
    mb = 1e6
    if reset or after_peak > before_peak:
        how = "high-water mark reset through /proc/self/clear_refs" if reset else \
              "clear_refs unavailable; the call set a new high-water mark"
        print(f"Peak RSS growth of one categorize_transactions_json call on {size / mb:.0f} MB of text "
              f"({description}; 20,000 distinct narrations repeated; {how}): {growth / mb:.0f} MB, "
              f"{growth / size:.2f}x the text (result {out_size / mb:.0f} MB of UTF-8, held in a str of "
              f"{str_size / mb:.0f} MB, {str_size / size:.2f}x the text; growth above the str "
              f"{(growth - str_size) / mb:.0f} MB, {(growth - str_size) / size:.2f}x the text).")
    else:
        print(f"Peak RSS growth of one categorize_transactions_json call on {size / mb:.0f} MB of text "
              f"({description}): not measurable (clear_refs unavailable and an earlier peak, "
              f"{before_peak / mb:.0f} MB, was not exceeded); at most {(before_peak - before_rss) / mb:.0f} MB.")


def main():
    target = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000_000
    if len(sys.argv) > 2:
        measure(target, sys.argv[2])
        return
    for name in CASES:
        # A fresh process per case: an earlier case's freed memory must not be counted, or hide the next peak.
        out = subprocess.run([sys.executable, os.path.abspath(__file__), str(target), name],
                             capture_output=True, text=True, check=True).stdout
        print(out.strip(), flush=True)


if __name__ == "__main__":
    main()
