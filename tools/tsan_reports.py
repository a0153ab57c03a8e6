"""Sorts the ThreadSanitizer reports of a run into the module's and CPython's.

    python tools/tsan_reports.py DIR

DIR holds the files that TSAN_OPTIONS=log_path=DIR/tsan wrote (none when
nothing was reported). A report with a stack
frame in the morvanta binary is the module's: those are printed whole, and
the exit status is 1. The others lie inside CPython alone (the interpreter,
_json, _decimal, ...): they are counted by the extension they lie in,
and do not fail the run.
"""
import collections
import os
import re
import sys

REPORT_START = "WARNING: ThreadSanitizer:"
REPORT_END = "=================="
# "    #3 func file.c:12 (binary.so+0x1234)"
FRAME = re.compile(r"^\s+#\d+ .*\(([^()+]+)\+0x[0-9a-f]+\)\s*$")


def reports(text):
    """The reports of one log, each as its list of lines."""
    current = None
    for line in text.splitlines():
        if REPORT_START in line:
            current = [line]
        elif current is not None:
            if line.startswith(REPORT_END):
                yield current
                current = None
            else:
                current.append(line)
    if current:
        yield current


def binaries(report):
    """The binaries of the report's frames, first frame first."""
    found = []
    for line in report:
        match = FRAME.match(line)
        if match:
            found.append(match.group(1).rsplit("/", 1)[-1])
    return found


def is_module(binary):
    return binary.startswith("morvanta.")


def where(frames):
    """The extension a report of CPython's lies in (its innermost frame in
    one), or "interpreter" for the interpreter, its runtime and libc alone."""
    for binary in frames:
        if not binary.startswith(("python3", "libpython3", "libtsan", "libc.", "ld-linux")):
            return binary.split(".")[0]
    return "interpreter"


def main(folder):
    ours, theirs = [], collections.Counter()
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
            for report in reports(f.read()):
                frames = binaries(report)
                if any(is_module(b) for b in frames):
                    ours.append(report)
                else:
                    theirs[where(frames)] += 1
    for report in ours:
        print("\n".join(report))
        print(REPORT_END)
    inside = ", ".join(f"{name} {count}" for name, count in theirs.most_common()) or "none"
    print(f"ThreadSanitizer: {len(ours)} reports with a frame in morvanta; "
          f"{sum(theirs.values())} inside CPython alone ({inside})")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
