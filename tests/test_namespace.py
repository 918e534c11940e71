"""The package's namespace: its public names and nothing else.

dir() is read in a fresh interpreter, since importing a submodule (as other
tests do) adds it to the package's namespace.
"""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

import qulo
import qulo._tea

CAPSULES = [
    "qulo_encrypt_qq", "qulo_decrypt_qq", "qulo_encrypt", "qulo_decrypt",
    "qulo_encrypt_native_endian", "qulo_decrypt_native_endian", "qulo_encrypt_len",
]
# Later capabilities add names; these must stay.
KEPT = {"TEA", "encrypt_len", "get_include", "__version__", *CAPSULES}


def test_dir_after_import_lists_exactly_the_names_of_all(tmp_path):
    code = "import json, qulo; print(json.dumps([dir(qulo), qulo.__all__]))"
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    names, public = json.loads(done.stdout)
    assert KEPT <= set(public)
    assert len(public) == len(set(public))
    assert {n for n in names if not n.startswith("_")} == set(public) - {"__version__"}
    assert set(public) <= set(names)


def test_star_import_takes_the_same_objects_as_attribute_access():
    namespace: dict = {}
    exec("from qulo import *", namespace)
    namespace.pop("__builtins__")
    assert set(namespace) == set(qulo.__all__)
    for name, value in namespace.items():
        assert value is getattr(qulo, name), name


@pytest.mark.parametrize("name", ["TEA", "encrypt_len", *CAPSULES])
def test_reexported_names_are_the_extension_module_objects(name):
    assert getattr(qulo, name) is getattr(qulo._tea, name)
