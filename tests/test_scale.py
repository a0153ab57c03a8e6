"""Large inputs: long texts, many items, many rules, the longest schedules, deep unknown nesting."""
import json
import subprocess
import sys

import pytest

import morvanta


def test_hundred_megabyte_narration():
    big = "x" * (100 * 1024 * 1024) + "COFFEE"
    rules = [{"pattern": "coffee", "category": "Food", "merchant": "Cafe"}]
    assert morvanta.categorize_transactions({"data": [{"narration": big}], "rules": rules}) == {
        "data": [{"category": "Food", "merchant": "Cafe"}]}
    derived = morvanta.derive_rules({"data": [{"narration": big[:-6] + " COFFEE", "category": "F", "merchant": "C"}]})
    assert len(derived["rules"][0]["pattern"]) == 100 * 1024 * 1024


def test_million_transactions_and_million_rules():
    rules = [{"pattern": f"m{i:07d}", "category": "C", "merchant": f"M{i % 97}"} for i in range(1_000_000)]
    data = [{"narration": f"POS M{i:07d} REF"} for i in range(0, 1_000_000)]
    out = morvanta.categorize_transactions({"data": data, "rules": rules})["data"]
    assert len(out) == 1_000_000
    assert out[0] == {"category": "C", "merchant": "M0"} and out[999_999] == {"category": "C", "merchant": f"M{999_999 % 97}"}
    text = morvanta.categorize_transactions_json(json.dumps({"data": data[:300_000], "rules": rules[:1000]}))
    got = json.loads(text)["data"]
    assert len(got) == 300_000 and got[999] is not None and got[1000] is None


@pytest.mark.parametrize("request_", [
    {"mode": "emi", "loanAmount": 9_000_000, "months": 600, "interestRate": 7.5, "inflationRate": 5, "start": "2025-01"},
    {"mode": "tenure", "loanAmount": 9_000_000, "emi": 57_700, "interestRate": 7.5, "start": "2025-01"},
    {"mode": "loanAmount", "emi": 57_000, "months": 600, "interestRate": 7.5, "inflationRate": 3},
])
def test_longest_schedules_in_both_modes(request_):
    result = morvanta.compute_emi(request_)
    assert result["months"] >= 590
    assert json.loads(morvanta.compute_emi_json(json.dumps(request_))) == result


def test_million_levels_inside_an_unknown_member_use_no_stack():
    depth = 1_000_000
    text = '{"data":[],"skip":' + "[" * depth + "]" * depth + "}"
    # A small stack limit for the child shows the skip does not recurse.
    code = ("import resource, sys, morvanta; resource.setrlimit(resource.RLIMIT_STACK, (1 << 20, 1 << 20)); "
            "print(morvanta.derive_rules_json(sys.stdin.read()))")
    out = subprocess.run([sys.executable, "-c", code], input=text, capture_output=True, text=True, check=True)
    assert out.stdout.strip() == '{"rules":[]}'


# Outputs of 16 MB and more are assembled from pieces instead of one buffer:
# the text must be byte for byte the one a single buffer gives, which is
# json.dumps of the object-mode answer. The rules' texts need escapes and
# non-ASCII, and the last row is a match in one case and no match in the other.
# Requests of 16 MB and more are read twice, their narrations matched as the
# second read meets them (200,000 copies): the same text again, and again
# when the request is not ASCII and is encoded a piece at a time for them.
@pytest.mark.parametrize("copies, ascii", [(160_000, True), (200_000, True), (200_000, False)])
@pytest.mark.parametrize("last", ["Café \"Ω\" 😀 \\\t\x01 DÉPÔT", "no rule here"])
def test_large_output_assembled_from_pieces(last, copies, ascii):
    rules = [{"pattern": "dépôt", "category": "Dépôt \"A\"\\\t\x01", "merchant": "😀 Ω Ltd/"},
             {"pattern": "kiosk", "category": "Kiosk", "merchant": "K"}]
    data = [{"narration": n} for n in ("POS KIOSK 12", "UPI/none", "NEFT DÉPÔT")] * copies + [{"narration": last}]
    request = {"data": data, "rules": rules}
    text = morvanta.categorize_transactions_json(json.dumps(request, ensure_ascii=ascii))
    assert len(text.encode()) >= 16 << 20
    assert text == json.dumps(morvanta.categorize_transactions(request), ensure_ascii=False, separators=(",", ":"))
