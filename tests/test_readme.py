"""The README stays true: every python block runs and its asserts hold, and what it
names (set-up commands, example scripts, files) exists.
"""
import os
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")


def python_blocks():
    """(first line number, source) of each ```python block."""
    blocks = []
    for match in re.finditer(r"^```python\n(.*?)^```$", README, re.M | re.S):
        blocks.append((README.count("\n", 0, match.start()) + 2, match.group(1)))
    return blocks


BLOCKS = python_blocks()


def test_readme_has_its_examples():
    assert len(BLOCKS) >= 8
    assert README.count("```python") == len(BLOCKS), "a python block that the extraction misses"


@pytest.mark.parametrize("line, source", BLOCKS, ids=[f"line{line}" for line, _ in BLOCKS])
def test_python_block_runs(line, source):
    if re.search(r"^import pandas", source, re.M):
        # pandas leaks its own allocations at exit under LeakSanitizer (see test_examples.py).
        if os.environ.get("MORVANTA_SANITIZED"):
            pytest.skip("third-party native packages leak at exit under LeakSanitizer")
        pytest.importorskip("pandas")
    assert re.search(r"^\s*assert ", source, re.M), f"the block at line {line} checks nothing"
    code = compile(source, f"README.md:{line}", "exec")
    exec(code, {"__name__": f"readme_line{line}"})


def test_setup_commands_are_the_real_ones():
    assert "\n    pip install . && python examples/loan_schedule.py\n" in README
    assert "\n    ./tools/run_tests.sh\n" in README
    assert (ROOT / "tools" / "run_tests.sh").is_file()
    assert "./tools/run_tests.sh" in (ROOT / ".ci" / "run").read_text()


def test_named_files_exist():
    named = set(re.findall(r"`((?:examples|tools|stubs|benchmarks|tests|fuzz)/[\w./-]+)`", README))
    assert "examples/data/labelled.csv" in named
    missing = [path for path in sorted(named) if not (ROOT / path).exists()]
    assert not missing, f"README names files that do not exist: {missing}"


def test_every_example_script_is_listed():
    scripts = {f"examples/{p.name}" for p in (ROOT / "examples").glob("*.py")}
    listed = set(re.findall(r"^\| `(examples/\w+\.py)` \|", README, re.M))
    assert listed == scripts
