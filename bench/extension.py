"""Build and import the benchmark's test-only extension (bench/floor.c).

The compiler and flags are the running interpreter's own (sysconfig), through
tests/extbuild.py. The header comes from the installed package when it ships
one, else from the source tree. The module is built outside the source tree:
in QULO_BENCH_BUILD_DIR, or a folder under the system's temporary directory.
"""

from __future__ import annotations

import importlib.util
import os
import sys
import tempfile
from pathlib import Path
from types import ModuleType

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
SOURCE = BENCH / "floor.c"


def load_by_path(name: str, path: Path) -> ModuleType:
    """Import a plain Python file of this repository by its path."""
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None or spec.loader is None:
        raise ImportError(f"cannot load {path}")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses and pickling look modules up
    spec.loader.exec_module(module)
    return module


def build_dir() -> Path:
    folder = os.environ.get("QULO_BENCH_BUILD_DIR")
    if folder:
        return Path(folder)
    return Path(tempfile.gettempdir()) / f"qulo-python-bench-{os.getuid()}"


def include_dir() -> Path:
    import qulo

    installed = Path(qulo.__file__).resolve().parent / "include"
    if (installed / "qulo" / "tea.h").is_file():
        return installed
    return ROOT / "core" / "include"


def build() -> ModuleType:
    """Compile floor.c against the installed qulo and import it."""
    extbuild = load_by_path("qulo_bench_extbuild", ROOT / "tests" / "extbuild.py")
    return extbuild.build_extension(
        SOURCE, build_dir(), name="floor", include_dirs=[include_dir()]
    )


def import_built(path: str | os.PathLike) -> ModuleType:
    """Import an already built floor module (the callgrind child does this)."""
    extbuild = load_by_path("qulo_bench_extbuild", ROOT / "tests" / "extbuild.py")
    return extbuild.import_extension("floor", path)
