"""The Python examples of README.md and of the user guide (docs/*.md) run as written."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
FENCE = re.compile(r"^```python\n(.*?)^```", re.M | re.S)
OPTIONAL = ("networkx", "scipy", "pandas", "matplotlib", "dask", "distributed")


def _examples():
    for page in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
        for number, code in enumerate(FENCE.findall(page.read_text(encoding="utf-8")), 1):
            yield pytest.param(code, id=f"{page.relative_to(ROOT)}:{number}")


@pytest.mark.parametrize("code", list(_examples()))
def test_example_runs(code, tmp_path, monkeypatch):
    for module in OPTIONAL:
        if re.search(rf"^\s*(import|from) {module}\b", code, re.M):
            pytest.importorskip(module)
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "<example>", "exec"), {"__name__": "__example__"})
