# SPDX-License-Identifier: LGPL-2.1-or-later
"""The Python examples of the documentation, run as a user would run them:
every ```python block that starts with `import qport` in README.md or a
Markdown file under docs/, as a script of its own on the simulated build.
A comment line right after a line with print() shows what that print
writes, `...` standing for any text; each print writes one line."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

# The example transfers: it must not run on the hardware build.
ON_THE_SIMULATED_BUILD = (
    "import qport\n"
    "if qport.backend() != 'simulated':\n"
    "    raise SystemExit('the example runs on the simulated build alone')\n"
)


def documented_examples():
    pages = [ROOT / "README.md", *sorted((ROOT / "docs").glob("**/*.md"))]
    for page in pages:
        if not page.is_file():
            continue
        text = page.read_text()
        for block in re.finditer(r"^```python\n(.*?)^```", text, re.MULTILINE | re.DOTALL):
            if block[1].startswith("import qport"):
                line = text.count("\n", 0, block.start()) + 2
                yield pytest.param(block[1], id=f"{page.relative_to(ROOT)}:{line}")


EXAMPLES = list(documented_examples())


def printed_lines(example):
    """The pattern of each line the example's print() calls write."""
    lines = example.splitlines()
    for line, next_line in zip(lines, lines[1:] + [""]):
        if "print(" in line:
            shown = next_line.strip()
            shown = shown[1:].strip() if shown.startswith("#") else "..."
            yield ".*".join(re.escape(part) for part in shown.split("..."))


def test_the_documentation_has_python_examples():
    assert EXAMPLES, "no ```python block starting with import qport in README.md or docs/"


@pytest.mark.parametrize("example", EXAMPLES)
def test_documented_example_runs_as_shown(example):
    child = subprocess.run(
        [sys.executable, "-c", ON_THE_SIMULATED_BUILD + example],
        capture_output=True, text=True, timeout=30, env=os.environ,
    )
    assert child.returncode == 0, child.stderr
    output = child.stdout.splitlines()
    patterns = list(printed_lines(example))
    assert len(output) == len(patterns), child.stdout
    for line, pattern in zip(output, patterns):
        assert re.fullmatch(pattern, line), (line, pattern)
