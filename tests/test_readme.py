"""The README's examples and the files in examples/ run as written.

Each fenced ```python block of README.md runs; the blocks of one section
(a `## ` heading down to the next) share one namespace, in order, so a block
may use what an earlier block of its section made. Every section starts from
`np` and `tm`, as the README says. A block preceded by `<!-- fragment -->` is
deliberately incomplete and is skipped; the pandas section needs pandas, which
scripts/bootstrap.sh installs into .venv.
"""

import pathlib
import re
import runpy

import numpy as np
import pytest

import tidemark as tm

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
FRAGMENT = "<!-- fragment -->"
FENCE = re.compile(r"^(`{3,}|~{3,})\s*(\S*)")


def readme_blocks(text):
    """[(section, first line number, code, is_fragment, info string)] in order."""
    blocks, section, lines = [], "(top)", text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("## "):
            section = line[3:].strip()
        m = FENCE.match(line)
        if not m:
            i += 1
            continue
        fence, info = m.group(1), m.group(2)
        before = next((lines[j].strip() for j in range(i - 1, -1, -1) if lines[j].strip()), "")
        j = i + 1
        while j < len(lines) and not lines[j].startswith(fence):
            j += 1
        blocks.append((section, i + 2, "\n".join(lines[i + 1:j]), before == FRAGMENT, info))
        i = j + 1
    return blocks


BLOCKS = readme_blocks(README.read_text(encoding="utf-8"))
SECTIONS = list(dict.fromkeys(s for s, _, _, _, info in BLOCKS if info == "python"))


def test_readme_blocks_are_found_and_tagged():
    # A python block whose fence is spelt otherwise ("py", "Python", "pycon")
    # would be skipped without a word; every block says what it is.
    assert all(info in ("python", "bash", "text") for _, _, _, _, info in BLOCKS), \
        [(s, line, info) for s, line, _, _, info in BLOCKS if info not in ("python", "bash", "text")]
    python = [b for b in BLOCKS if b[4] == "python"]
    assert len(python) == README.read_text(encoding="utf-8").count("```python\n") > 0
    # Fragments stay the exception: an example that cannot run is one that can go stale.
    fragments = [(s, line) for s, line, _, fragment, _ in python if fragment]
    assert len(fragments) <= 2, fragments


@pytest.mark.parametrize("section", SECTIONS)
def test_readme_section_runs(section, tmp_path, monkeypatch):
    if any(s == section and "import pandas" in code for s, _, code, _, _ in BLOCKS):
        pytest.importorskip("pandas")  # scripts/bootstrap.sh installs it; `pip install .` does not
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__readme__", "np": np, "tm": tm}
    for s, line, code, fragment, info in BLOCKS:
        if s != section or info != "python" or fragment:
            continue
        # Padded so that a traceback names the README's own line.
        exec(compile("\n" * (line - 1) + code, str(README), "exec"), namespace)


@pytest.mark.parametrize("path", sorted((ROOT / "examples").glob("*.py")), ids=lambda p: p.name)
def test_example_runs(path, capsys):
    runpy.run_path(str(path), run_name="__main__")
    assert capsys.readouterr().out.strip()
