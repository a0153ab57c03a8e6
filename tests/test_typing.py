"""The installed wheel carries type information that mypy and basedpyright find.

A small client file is type-checked once by each checker in strict mode. Its
good half pins the request and result shapes with assert_type; each line of
its bad half ends in "# expect-error", and the checker must report errors on
exactly those lines: no errors at all would mean the stub was not found (the
module then reads as untyped), errors elsewhere mean a wrong shape.

These tests need the wheel installed (the stub package lies beside the
module in site-packages); against a development build they skip.
"""
import ast
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import morvanta

ROOT = Path(__file__).resolve().parent.parent
ALLOWLIST = ROOT / "stubs" / "stubtest-allowlist.txt"
MARK = "# expect-error"

CLIENT = '''\
from __future__ import annotations

import json
from typing import TYPE_CHECKING, List, Literal, Optional

from typing_extensions import assert_type

import morvanta

if TYPE_CHECKING:
    from morvanta import (CategorizeResponse, CategoryRule, DeriveRulesResponse, EmiMonth, EmiResult,
                          EmiYearMonth, MapOutput)


def plan(amount: float, months: int) -> int:
    result = morvanta.compute_emi({"mode": "emi", "loanAmount": amount, "months": months,
                                   "interestRate": 9.5, "inflationRate": 6, "start": "2024-11"})
    assert_type(result, EmiResult)
    assert_type(result["mode"], Literal["emi", "tenure", "loanAmount"])
    assert_type(result["interestRate"], float)
    assert_type(result["schedule"][0], EmiMonth)
    assert_type(result["schedule"][0]["realRemainingEmi"], int)
    assert_type(result["years"][0]["months"][11], Optional[EmiYearMonth])
    return result["totals"]["nominalInterest"]


def tenure(amount: float, emi: float) -> int:
    result = morvanta.compute_emi(request={"mode": "tenure", "loanAmount": amount, "emi": emi,
                                           "months": None, "interestRate": 0, "start": None})
    return result["months"]


def labels(narrations: List[str], rules: List[CategoryRule]) -> List[Optional[MapOutput]]:
    response = morvanta.categorize_transactions({"data": [{"narration": n} for n in narrations],
                                                 "rules": rules})
    assert_type(response, CategorizeResponse)
    return response["data"]


def learn() -> List[CategoryRule]:
    response = morvanta.derive_rules({"data": [
        {"narration": "POS/CITYBAKERY 0425", "category": "Food", "merchant": "Bakery"}]})
    assert_type(response, DeriveRulesResponse)
    return response["rules"]


def as_json(amount: float) -> str:
    text = json.dumps({"mode": "emi", "loanAmount": amount, "months": 12, "interestRate": 12})
    assert_type(morvanta.compute_emi_json(text), str)
    assert_type(morvanta.categorize_transactions_json('{"data":[],"rules":[]}'), str)
    return morvanta.derive_rules_json(request_json='{"data":[]}')


version: str = morvanta.__version__
names: List[str] = morvanta.__all__

# Each line below is wrong and must be reported.
morvanta.compute_emi({"mode": "emii", "interestRate": 5})  # expect-error
morvanta.compute_emi({"mode": "emi", "loanAmount": 1000, "months": 12})  # expect-error
morvanta.compute_emi({"mode": "emi", "interestRate": 5, "loanamount": 1000})  # expect-error
morvanta.compute_emi({"mode": "emi", "interestRate": "5"})  # expect-error
morvanta.compute_emi({"mode": "emi", "interestRate": 5, "inflationRate": None})  # expect-error
morvanta.compute_emi({"mode": "emi", "interestRate": 5, "start": 202411})  # expect-error
morvanta.compute_emi({"mode": "emi", "interestRate": 5}, 1)  # expect-error
morvanta.compute_emi_json(b"{}")  # expect-error
morvanta.categorize_transactions({"data": [], "rules": [{"pattern": "x", "category": "c"}]})  # expect-error
morvanta.categorize_transactions({"data": [{"narration": None}], "rules": []})  # expect-error
morvanta.derive_rules({"data": [{"narration": "x", "category": "c"}]})  # expect-error
wrong_key: str = morvanta.derive_rules({"data": []})["rules"][0]["narration"]  # expect-error
wrong_type: int = morvanta.compute_emi({"mode": "emi", "interestRate": 5})["start"]  # expect-error
wrong_entry: str = morvanta.categorize_transactions({"data": [], "rules": []})["data"][0]["category"]  # expect-error
morvanta.compute_emi_json(text="{}")  # expect-error
panic: type[BaseException] = morvanta.PanicException  # expect-error
'''


def _installed_stub():
    """The morvanta-stubs package beside the imported module, or a skip for a development build."""
    module_dir = Path(morvanta.__file__).resolve().parent
    if module_dir.name not in ("site-packages", "dist-packages"):
        pytest.skip(f"morvanta imported from a development build ({module_dir}), not an installed wheel")
    stub = module_dir / "morvanta-stubs" / "__init__.pyi"
    assert stub.is_file(), f"the wheel installed morvanta without its type stub at {stub}"
    return stub


def _expected_lines():
    return {n for n, line in enumerate(CLIENT.splitlines(), 1) if line.endswith(MARK)}


@pytest.fixture
def client(tmp_path):
    _installed_stub()
    path = tmp_path / "client.py"
    path.write_text(CLIENT)
    return path


def _run(cmd, cwd):
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)


def test_mypy_strict_finds_the_types(client):
    pytest.importorskip("mypy", reason="mypy is not installed")
    out = _run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
                "--cache-dir", str(client.parent / "cache"), client.name], client.parent)
    report = out.stdout + out.stderr
    errors = re.findall(r"^client\.py:(\d+): error: ", report, re.M)
    assert errors, f"mypy reported no errors at all, so it did not check against the stub:\n{report}"
    assert {int(n) for n in errors} == _expected_lines(), report


def test_basedpyright_strict_finds_the_types(client):
    pytest.importorskip("basedpyright", reason="basedpyright is not installed")
    config = client.parent / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "strict", "include": [client.name]}))
    out = _run([sys.executable, "-m", "basedpyright", "--outputjson", "--pythonpath", sys.executable,
                "--project", str(config)], client.parent)
    try:
        report = json.loads(out.stdout)
    except ValueError:
        pytest.fail(f"basedpyright gave no JSON report:\n{out.stdout}\n{out.stderr}")
    diagnostics = report["generalDiagnostics"]
    errors = {d["range"]["start"]["line"] + 1 for d in diagnostics if d["severity"] == "error"}
    details = "\n".join(f'{d["range"]["start"]["line"] + 1}: {d["severity"]}: {d["message"]}' for d in diagnostics)
    assert errors == _expected_lines(), details
    assert not [d for d in diagnostics if d["severity"] == "warning"], details


def test_stubtest_matches_the_module(tmp_path):
    _installed_stub()
    pytest.importorskip("mypy", reason="mypy is not installed")
    out = _run([sys.executable, "-m", "mypy.stubtest", "morvanta", "--allowlist", str(ALLOWLIST)], tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_stub_names_only_what_the_module_holds_or_the_allowlist_excuses():
    # What stubtest checks against an installed wheel, for the development
    # build too: a name declared in the stub but absent at run time type-checks
    # and then fails with AttributeError, unless it exists for checkers only.
    stub = ast.parse((ROOT / "stubs" / "morvanta-stubs" / "__init__.pyi").read_text())
    declared = {node.name for node in stub.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    declared |= {t.id for node in stub.body if isinstance(node, ast.Assign) for t in node.targets}
    declared |= {node.target.id for node in stub.body if isinstance(node, ast.AnnAssign)}
    excused = {line.split(".", 1)[1] for line in ALLOWLIST.read_text().splitlines() if line.startswith("morvanta.")}
    assert "PanicException" not in declared
    assert sorted(name for name in declared if not hasattr(morvanta, name) and name not in excused) == []


def _stub_keys():
    """Each TypedDict of the stub and its keys, in declaration order."""
    stub = ast.parse((ROOT / "stubs" / "morvanta-stubs" / "__init__.pyi").read_text())
    return {node.name: [item.target.id for item in node.body if isinstance(item, ast.AnnAssign)]
            for node in stub.body if isinstance(node, ast.ClassDef) and node.bases
            and getattr(node.bases[0], "id", None) == "TypedDict"}


RULE = {"pattern": "a", "category": "c", "merchant": "m"}
# Request records: a request that reads, the path at which the record stands
# in it, and a JSON text whose array form stops at that record's first field.
REQUESTS = [
    ("EmiRequest", morvanta.compute_emi, {"mode": "emi", "loanAmount": 1000, "months": 12, "interestRate": 12}, "", "[]"),
    ("CategorizeRequest", morvanta.categorize_transactions, {"data": [{"narration": "x"}], "rules": [RULE]}, "", "[]"),
    ("MapInput", morvanta.categorize_transactions, {"data": [{"narration": "x"}], "rules": []}, "data[0].", "[[[]]]"),
    ("CategoryRule", morvanta.categorize_transactions, {"data": [], "rules": [RULE]}, "rules[0].", "[[],[[]]]"),
    ("DeriveRulesRequest", morvanta.derive_rules, {"data": []}, "", "[]"),
    ("DeriveInput", morvanta.derive_rules, {"data": [dict(RULE, narration="x")]}, "data[0].", "[[[]]]"),
]


def _place(request, path, key, value):
    """A copy of request with `value` at path + key ("data[0]." + "narration")."""
    request = json.loads(json.dumps(request))
    target = request
    for step in filter(None, re.split(r"[.\[\]]+", path)):
        target = target[int(step)] if step.isdigit() else target[step]
    target[key] = value
    return request


@pytest.mark.parametrize("record, function, base, path, array", REQUESTS, ids=[r[0] for r in REQUESTS])
def test_stub_request_keys_are_the_fields_the_module_reads(record, function, base, path, array):
    # Every stub key is read as a field: a value no field kind accepts fails
    # the read at that key. Their number is the record's, so none is missing.
    keys = _stub_keys()[record]
    for key in keys:
        with pytest.raises(ValueError) as err:
            function(_place(base, path, key, object()))
        assert err.value.__notes__ == [f"at {path}{key}"]
    with pytest.raises(ValueError) as err:
        getattr(morvanta, function.__name__ + "_json")(array)
    assert re.search(r"expected struct %s with (\d+) elements?" % record, err.value.args[0]).group(1) == str(len(keys))


def test_stub_result_keys_are_the_keys_the_module_writes():
    keys = _stub_keys()
    emi = morvanta.compute_emi({"mode": "emi", "loanAmount": 1000, "months": 12, "interestRate": 12,
                                "start": "2024-01"})
    categorized = morvanta.categorize_transactions({"data": [{"narration": "a"}], "rules": [RULE]})
    derived = morvanta.derive_rules({"data": [dict(RULE, narration="abc")]})
    written = {
        "EmiResult": emi, "EmiTotals": emi["totals"], "EmiMonth": emi["schedule"][0], "EmiYear": emi["years"][0],
        "EmiYearMonth": emi["years"][0]["months"][0],
        "CategorizeResponse": categorized, "MapOutput": categorized["data"][0],
        "DeriveRulesResponse": derived, "CategoryRule": derived["rules"][0],
    }
    assert {name: list(d) for name, d in written.items()} == {name: keys[name] for name in written}
