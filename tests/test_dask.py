"""The Dask scale-out example, on a small local cluster of two worker processes,
gives exactly what one categorize_transactions call over all rows gives.
"""
import csv
import os
import subprocess
import sys
from pathlib import Path

import pytest

import morvanta

if os.environ.get("MORVANTA_SANITIZED"):
    pytest.skip("third-party native packages leak at exit under LeakSanitizer", allow_module_level=True)
pytest.importorskip("pandas", reason="pandas is not installed (the examples extra)")
pytest.importorskip("dask.dataframe", reason="dask[dataframe] is not installed (the examples extra)")
pytest.importorskip("distributed", reason="dask[distributed] is not installed (the examples extra)")

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
ROWS, PARTITIONS = 3000, 5


def read_partitions(directory):
    rows = []
    for path in sorted(directory.glob("*.csv")):
        with open(path, newline="", encoding="utf-8") as f:
            rows.extend(csv.DictReader(f))
    return rows


@pytest.fixture(scope="module")
def cluster_run(tmp_path_factory):
    base = tmp_path_factory.mktemp("dask")
    out = subprocess.run([sys.executable, str(EXAMPLES / "dask_categorize.py"), "--data", str(base / "in"),
                          "--out", str(base / "out"), "--generate", str(ROWS), "--partitions", str(PARTITIONS),
                          "--workers", "2"], cwd=base, capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr
    return base, out.stdout


def test_cluster_result_equals_one_process(cluster_run):
    base, _ = cluster_run
    inputs, outputs = read_partitions(base / "in"), read_partitions(base / "out")
    assert len(list((base / "in").glob("*.csv"))) == len(list((base / "out").glob("*.csv"))) == PARTITIONS
    assert len(inputs) == len(outputs) == ROWS
    assert [(r["id"], r["narration"]) for r in outputs] == [(r["id"], r["narration"]) for r in inputs]

    with open(EXAMPLES / "data" / "labelled.csv", newline="", encoding="utf-8") as f:
        labelled = [{k: row[k] for k in ("narration", "category", "merchant")} for row in csv.DictReader(f)]
    rules = morvanta.derive_rules({"data": labelled})["rules"]
    single = morvanta.categorize_transactions({"data": [{"narration": r["narration"]} for r in inputs],
                                               "rules": rules})["data"]
    expected = [(m["category"], m["merchant"]) if m else ("", "") for m in single]
    assert [(r["category"], r["merchant"]) for r in outputs] == expected
    # The generated data exercises both outcomes and CSV quoting.
    assert 0 < expected.count(("", "")) < ROWS
    assert any("," in r["narration"] and '"' not in r["narration"] for r in inputs)
    assert any('"' in r["narration"] for r in inputs) and any(r["narration"] == "" for r in inputs)


def test_cluster_used_worker_processes_and_counted_every_row(cluster_run):
    _, text = cluster_run
    assert "cluster: 2 worker processes" in text
    assert f"partitions: {PARTITIONS}" in text
    assert f"rows: {ROWS}, categorized: " in text
