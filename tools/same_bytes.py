"""Prints what the loaded morvanta answers to a fixed set of requests, one
line each, so that two builds can be compared byte for byte:

    python tools/same_bytes.py > a.txt; PYTHONPATH=other python tools/same_bytes.py > b.txt; cmp a.txt b.txt

The requests: every file of the fuzz seed corpus (first byte: '0' loan,
'1' categorize, '2' derive; then the JSON text) and every call that the
README's examples make, each in both modes.
"""
import json
import pathlib
import re
import sys
import types

import morvanta

ROOT = pathlib.Path(__file__).resolve().parent.parent
KINDS = ["compute_emi", "categorize_transactions", "derive_rules"]


def answer(fn, arg):
    try:
        return "ok " + repr(fn(arg))
    except Exception as e:  # the error is part of the answer
        return "err %s %r %r" % (type(e).__qualname__, e.args, getattr(e, "__notes__", None))


def both_modes(kind, text, out):
    out.append("%s_json %s" % (kind, answer(getattr(morvanta, kind + "_json"), text)))
    try:
        request = json.loads(text)
    except ValueError:
        return
    out.append("%s %s" % (kind, answer(getattr(morvanta, kind), request)))


def readme_requests():
    """The requests that the README's python blocks pass to the module."""
    seen = []

    def recorder(kind):
        def call(request):
            seen.append((kind, request))
            return getattr(morvanta, kind)(request)
        return call

    proxy = types.ModuleType("morvanta")
    for name in morvanta.__all__:
        setattr(proxy, name, getattr(morvanta, name))
    for kind in KINDS:
        setattr(proxy, kind, recorder(kind))
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    sys.modules["morvanta"] = proxy
    try:
        for block in re.findall(r"^```python\n(.*?)^```$", readme, re.M | re.S):
            try:
                exec(compile(block, "README.md", "exec"), {"__name__": "readme"})
            except Exception:  # a block that raises on purpose still made its calls
                pass
    finally:
        sys.modules["morvanta"] = morvanta
    return seen


def main():
    out = []
    for path in sorted((ROOT / "fuzz" / "corpus").iterdir()):
        data = path.read_bytes()
        if not data:
            continue
        out.append("# " + path.name)
        both_modes(KINDS[data[0] % 3], data[1:].decode("utf-8", "replace"), out)
    for kind, request in readme_requests():
        out.append("# README " + kind)
        try:
            text = json.dumps(request, ensure_ascii=False)
        except (TypeError, ValueError):
            out.append("%s %s" % (kind, answer(getattr(morvanta, kind), request)))
            continue
        both_modes(kind, text, out)
    sys.stdout.buffer.write(("\n".join(out) + "\n").encode("utf-8", "backslashreplace"))
    print("same_bytes: %d answers from %s" % (len(out), morvanta.__file__), file=sys.stderr)


if __name__ == "__main__":
    main()
