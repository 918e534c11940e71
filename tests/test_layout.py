"""From the checkout's root, Python imports the installed package.

Nothing at the root can be taken for the package: the Python sources live
under src/, the C++ sources of the binding under binding/, and src/qulo holds
only what ships. Each check starts a fresh interpreter in the root, as a user
typing the command there would.
"""

from __future__ import annotations

import importlib.machinery
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

pytestmark = pytest.mark.source_tree

ROOT = Path(__file__).resolve().parent.parent
SHIPPED_SUFFIXES = {".py", ".pyi"}
SHIPPED_NAMES = {"py.typed"}


def run_in_root(*args):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run([sys.executable, *args], cwd=ROOT, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, f"{args}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def test_import_in_the_root_finds_the_compiled_module():
    out = run_in_root("-c", "import qulo, qulo._tea as m\n"
                            "print(m.__file__)\n"
                            "print(qulo.TEA(bytes(16)).decrypt_qq(qulo.TEA(bytes(16)).encrypt_qq(b'ok')))")
    module_file, result = out.splitlines()
    assert module_file.endswith(sysconfig.get_config_var("EXT_SUFFIX"))
    assert result == "b'ok'"


def test_module_demo_runs_in_the_root():
    assert "round trip  ok" in run_in_root("-m", "qulo", "demo")


def test_nothing_in_the_root_is_importable_as_the_package():
    # A file, a package or a bare folder named qulo would each be found here,
    # and the root comes first on sys.path for `python -m` and `python -c`.
    assert importlib.machinery.PathFinder.find_spec("qulo", [str(ROOT)]) is None


def test_the_package_folder_holds_only_what_ships():
    package = ROOT / "src" / "qulo"
    stray = [
        str(p.relative_to(package))
        for p in package.rglob("*")
        if p.is_file() and "__pycache__" not in p.parts
        and p.suffix not in SHIPPED_SUFFIXES and p.name not in SHIPPED_NAMES
    ]
    assert (package / "__init__.py").is_file()
    assert stray == []
