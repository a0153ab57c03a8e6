"""Peak memory of one categorize_transactions_json call, in this fresh process.

    python benchmarks/peak.py [TEXT_BYTES]

Builds a request of about TEXT_BYTES UTF-8 bytes (1,000 rules, `data` first),
then resets the kernel's high-water mark of resident memory by writing "5" to
/proc/self/clear_refs, so that VmHWM afterwards is the peak of the call alone,
and reports the growth of that peak over the resident size before the call.
Where clear_refs cannot be written, the text is built in pieces no larger than
the final text, and the growth is reported only when the call set a new peak
(otherwise an earlier peak could hide the call's own).
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import morvanta  # noqa: E402
import data  # noqa: E402
from run import categorize_text  # noqa: E402


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


def main():
    target = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000_000
    text = categorize_text(data.rng(5), data.make_rules(data.rng(6), 1000), target, 20000, fresh=False)
    # str.encode does not cache the UTF-8 form in the str: a UTF-8 copy that the call makes counts as the call's.
    size = len(text.encode())
    morvanta.categorize_transactions_json('{"data":[],"rules":[]}')
    reset = reset_peak()
    before_rss, before_peak = status_kb("VmRSS"), status_kb("VmHWM")
    out = morvanta.categorize_transactions_json(text)
    after_peak = status_kb("VmHWM")
    out_size = len(out.encode())
    # The returned str alone (two bytes a character once it holds one beyond
    # U+00FF) is a floor under the call's peak.
    str_size = sys.getsizeof(out)
    growth = after_peak - before_rss
    mb = 1e6
    if reset or after_peak > before_peak:
        how = "high-water mark reset through /proc/self/clear_refs" if reset else \
              "clear_refs unavailable; the call set a new high-water mark"
        print(f"Peak RSS growth of one categorize_transactions_json call on {size / mb:.0f} MB of text "
              f"(1,000 rules, 20,000 distinct narrations repeated; {how}): {growth / mb:.0f} MB, {growth / size:.2f}x the text "
              f"(result {out_size / mb:.0f} MB of UTF-8, held in a str of {str_size / mb:.0f} MB, "
              f"{str_size / size:.2f}x the text).")
    else:
        print(f"Peak RSS growth of one categorize_transactions_json call on {size / mb:.0f} MB of text: not measurable "
              f"(clear_refs unavailable and an earlier peak, {before_peak / mb:.0f} MB, was not exceeded); "
              f"at most {(before_peak - before_rss) / mb:.0f} MB.")


if __name__ == "__main__":
    main()
