"""The README stays true: every python block runs and its asserts hold, its set-up
commands are the ones CI runs, and the files it and the other guides name exist.
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
    assert BLOCKS
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


def setup_commands():
    """The indented commands of the README's set-up section, in order."""
    section = README.split("\n## Set-up on a fresh machine\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"^    (\S.*)$", section, re.M)


def test_setup_commands_are_the_ones_that_work():
    demo, tests = setup_commands()
    ci = [line for line in (ROOT / ".ci" / "run").read_text().splitlines()
          if line.strip() and not line.startswith(("#", "set ", "cd "))]
    assert ci == [tests], "the README's test command is not the one .ci/run runs"
    assert os.access(ROOT / tests, os.X_OK)
    script = re.fullmatch(r"pip install \. && python (examples/\w+\.py)", demo).group(1)
    assert (ROOT / script).is_file()


@pytest.mark.parametrize("guide", ["README.md", "CONTRIBUTING.md", "benchmarks/README.md"])
def test_named_files_exist(guide):
    text = (ROOT / guide).read_text(encoding="utf-8")
    named = set(re.findall(r"`((?:examples|tools|stubs|benchmarks|tests|fuzz|src)/[\w./-]+)`", text))
    missing = [path for path in sorted(named) if not (ROOT / path).exists()]
    assert not missing, f"{guide} names files that do not exist: {missing}"


def test_every_example_script_is_listed():
    scripts = {f"examples/{p.name}" for p in (ROOT / "examples").glob("*.py")}
    listed = set(re.findall(r"^\| `(examples/\w+\.py)` \|", README, re.M))
    assert listed == scripts
