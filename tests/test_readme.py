"""The README's examples and the files in examples/ run as written.

The fenced ```python blocks of one `## ` section of README.md run in order in
one namespace that starts from `np` and `tm`, as the README says; a block
preceded by `<!-- fragment -->` is deliberately incomplete and is skipped.
The namespace is a module in `sys.modules`, as a script's is, so that worker
processes started by fork find the functions a section defines.
"""

import collections
import pathlib
import re
import runpy
import sys
import types

import numpy as np
import pytest

import tidemark as tm

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
TEXT = README.read_text(encoding="utf-8")
Block = collections.namedtuple("Block", "section line code info fragment")


def readme_blocks(lines):
    """Every fenced block in order, with the line number of its first line of code."""
    blocks, section, fence, before = [], "(top)", None, ""
    for n, line in enumerate(lines, 1):
        if fence:
            if line.startswith(fence):
                fence = None
            else:
                blocks[-1].code.append(line)
        elif m := re.match(r"(`{3,}|~{3,})\s*(\S*)", line):
            fence = m.group(1)
            blocks.append(Block(section, n + 1, [], m.group(2), before == "<!-- fragment -->"))
        elif line.startswith("## "):
            section = line[3:].strip()
        before = line.strip() or before
    return blocks


BLOCKS = readme_blocks(TEXT.splitlines())
PYTHON = [b for b in BLOCKS if b.info == "python"]


def test_readme_blocks_are_found_and_tagged():
    # A python block whose fence is spelt otherwise ("py", "pycon") would be
    # skipped without a word, and the parser must miss none.
    assert [(b.line, b.info) for b in BLOCKS if b.info not in ("python", "bash", "text")] == []
    assert len(PYTHON) == TEXT.count("```python\n") > 0
    # Fragments stay the exception: an example that cannot run is one that can go stale.
    assert len([b.line for b in PYTHON if b.fragment]) <= 2


@pytest.mark.parametrize("section", list(dict.fromkeys(b.section for b in PYTHON)))
def test_readme_section_runs(section, tmp_path, monkeypatch):
    blocks = [b for b in PYTHON if b.section == section and not b.fragment]
    if any("import pandas" in line for b in blocks for line in b.code):
        pytest.importorskip("pandas")  # scripts/bootstrap.sh installs it; `pip install .` does not
    monkeypatch.chdir(tmp_path)
    module = types.ModuleType("__readme__")
    module.np, module.tm = np, tm
    monkeypatch.setitem(sys.modules, module.__name__, module)
    namespace = vars(module)
    for b in blocks:  # padded so that a traceback names the README's own line
        exec(compile("\n" * (b.line - 1) + "\n".join(b.code), str(README), "exec"), namespace)


@pytest.mark.parametrize("path", sorted((ROOT / "examples").glob("*.py")), ids=lambda p: p.name)
def test_example_runs(path, capsys):
    runpy.run_path(str(path), run_name="__main__")
    assert capsys.readouterr().out.strip()
