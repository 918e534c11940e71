"""`import qulo` as a program's first line meets it: in a fresh interpreter.

It loads the compiled modules and the little they need, not the command-line
tool and what the tool needs, nor the distribution metadata (the build
writes the version into the package). It is not timed here; the import time
is measured with `python -X importtime -c "import qulo"`.
"""

from __future__ import annotations

import importlib.machinery
import json
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

import qulo
import qulo._tea


def fresh(code: str, *options: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, *options, "-c", code], cwd=cwd,
                          capture_output=True, text=True, timeout=60)


@pytest.fixture(scope="module")
def loaded(tmp_path_factory):
    done = fresh("import json, sys, qulo; print(json.dumps(sorted(sys.modules)))",
                 cwd=tmp_path_factory.mktemp("import"))
    assert done.returncode == 0, done.stderr
    return set(json.loads(done.stdout))


@pytest.mark.parametrize("module", ["importlib.metadata", "typing", "argparse", "tqdm", "qulo.cli",
                                    "pyarrow", "polars", "pandas", "duckdb", "qulo.polars",
                                    "qulo._parquet"])
def test_import_loads_neither_the_tool_nor_the_metadata(loaded, module):
    assert "qulo._tea" in loaded
    assert module not in loaded


def test_the_modules_are_built_for_this_interpreter_and_import_without_a_warning(tmp_path):
    # A module built for another minor version warns at import; the one
    # installed here must be this interpreter's own.
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    assert qulo._tea.__file__.endswith(suffix)
    done = fresh("import qulo", "-W", "error", cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == "", done.stderr


def test_the_version_is_the_distributions():
    assert qulo.__version__ == metadata.version("qulo") != "0+unknown"
