"""The source distribution builds and installs on its own.

Builds the sdist of the working tree, installs it with pip into a fresh
virtual environment (pip builds the extension from the unpacked sdist, as a
user's machine would) and uses the result there: the module, the headers,
the type information and the console script. A file that the build needs
but the sdist lacks fails the install. Needs the package index (or pip's
cache) for the build requirements; takes about a minute.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tarfile
import textwrap
from importlib import metadata
from pathlib import Path

import pytest

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parent.parent
# Every public header of the checkout is installed.
HEADERS = sorted(p.name for d in ("core/include/qulo", "binding/include/qulo")
                 for p in (ROOT / d).glob("*.h"))

CHECK = textwrap.dedent(
    """
    import os, sys
    HEADERS = %r
    import qulo, qulo._tea
    t = qulo.TEA(bytes(range(16)))
    c = t.encrypt_qq(b"from the sdist")
    assert len(c) == qulo.encrypt_len(14) == 24 and t.decrypt_qq(c) == b"from the sdist"
    package = os.path.dirname(qulo.__file__)
    for h in HEADERS:
        assert os.path.isfile(os.path.join(qulo.get_include(), "qulo", h)), h
    assert os.path.isfile(os.path.join(package, "py.typed"))
    assert os.path.isfile(os.path.join(package, "_tea.pyi"))
    assert os.path.isfile(os.path.join(package, "_stream.pyi"))
    e = qulo.Encryptor(t, 14)
    assert e.update(b"from the") + e.update(b" sdist") + e.finalize() == c
    shipped = [f for _, _, files in os.walk(package) for f in files]
    assert not [f for f in shipped if f.endswith((".cpp", ".hpp", ".txt"))], shipped
    print(qulo.__version__)
    """
) % (HEADERS,)


def run(command, **kwargs):
    env = {**os.environ, "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PYTHONNOUSERSITE": "1"}
    env.pop("PYTHONPATH", None)
    done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=600, **kwargs)
    assert done.returncode == 0, f"{command}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def test_sdist_installs_into_a_fresh_environment_and_works(tmp_path):
    # Asked of the installed distributions, not of the import system: from
    # the checkout's root, its git-ignored build/ folder imports as a
    # namespace package of the same name.
    try:
        metadata.version("build")
    except metadata.PackageNotFoundError:
        pytest.skip("the build tool is not installed")
    dist = tmp_path / "dist"
    run([sys.executable, "-m", "build", "--sdist", "--outdir", str(dist), str(ROOT)], cwd=tmp_path)
    (sdist,) = dist.glob("qulo-*.tar.gz")

    with tarfile.open(sdist) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    for needed in ("pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
                   "core/include/qulo/tea.h", "binding/include/qulo/capi.h",
                   "binding/tea/CMakeLists.txt", "src/qulo/_tea.pyi", "src/qulo/py.typed",
                   "src/qulo/cli.py", "src/qulo/_sources.py", "src/qulo/_sinks.py", "src/qulo/_pump.py",
                   "src/qulo/_failures.py", "src/qulo/_many.py"):
        assert needed in names, needed
    assert not any(n.startswith("build/") for n in names)

    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", str(venv)])
    python = venv / "bin" / "python"
    run([str(python), "-m", "pip", "install", "-q", str(sdist)], cwd=tmp_path)

    version = run([str(python), "-c", CHECK], cwd=tmp_path).strip()
    assert version == run([str(python), "-m", "qulo", "--version"], cwd=tmp_path).split()[-1]
    demo = run([str(venv / "bin" / "qulo"), "demo"], cwd=tmp_path)
    assert "round trip  ok" in demo


def test_editable_install_finds_the_installed_headers(tmp_path):
    # An editable install runs the package's Python files from the source
    # folder, which holds none of the headers; get_include() must still name
    # one folder that has every one.
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", str(venv)])
    python = venv / "bin" / "python"
    run([str(python), "-m", "pip", "install", "-q", "-C", f"build-dir={tmp_path / 'build'}",
         "-e", str(ROOT)], cwd=tmp_path)
    found = run([str(python), "-c", "import qulo; print(qulo.__file__); print(qulo.get_include())"],
                cwd=tmp_path).split("\n")
    assert Path(found[0]) == ROOT / "src" / "qulo" / "__init__.py"
    include = Path(found[1])
    assert [h for h in HEADERS if not (include / "qulo" / h).is_file()] == []
