"""docs/batch.md as a user runs it: its ```python blocks, top to bottom in
one namespace, in a temporary folder. One block starts a Dask cluster of two
worker processes and encrypts and decrypts a Parquet column through it."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

DOC = Path(__file__).resolve().parent.parent / "docs" / "batch.md"
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)

pytestmark = pytest.mark.dask


def test_the_python_blocks_of_the_batch_documentation_run(tmp_path, monkeypatch):
    pytest.importorskip("pyarrow")
    pytest.importorskip("dask.distributed")
    monkeypatch.chdir(tmp_path)
    blocks = BLOCK.findall(DOC.read_text())
    assert len(blocks) >= 4
    namespace = {"__name__": "__main__"}
    for number, code in enumerate(blocks, 1):
        exec(compile(code, f"{DOC.name} block {number}", "exec"), namespace)
    assert len(list((tmp_path / "sealed").glob("part-*.parquet"))) == 4
