"""scripts/env.sh reinstalls the package only when its build inputs changed, and
shows a step's output only when the step fails.

Each case runs the real ensure_venv in a small copy of the project layout
whose environment has a stand-in python: it records every pip call and
creates the console script as an install would.
"""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

pytestmark = pytest.mark.source_tree

ROOT = Path(__file__).resolve().parent.parent
ENV_SH = ROOT / "scripts" / "env.sh"

FAKE_PYTHON = """#!/bin/sh
echo "$*" >> "$(dirname "$0")/../pip.log"
case "$*" in
  *"install -q $QULO_FAKE_ROOT"*)
    [ -n "$QULO_FAKE_FAIL" ] && exit 1
    : > "$(dirname "$0")/qulo"; chmod +x "$(dirname "$0")/qulo" ;;
esac
exit 0
"""

TREE = {
    "CMakeLists.txt": "project(x)\n",
    "pyproject.toml": "[project]\nname = 'x'\n",
    "core/tea.cpp": "int f();\n",
    "binding/tea/module.cpp": "int g();\n",
    "src/qulo/__init__.py": "\n",
    "tests/test_x.py": "\n",
    "docs/x.md": "\n",
    "README.md": "\n",
}


def _git(root, *args):
    subprocess.run(["git", "-C", str(root), *args], check=True, capture_output=True,
                   env={**os.environ, "GIT_AUTHOR_NAME": "t", "GIT_AUTHOR_EMAIL": "t@t",
                        "GIT_COMMITTER_NAME": "t", "GIT_COMMITTER_EMAIL": "t@t"})


@pytest.fixture(params=["git checkout", "unpacked archive"])
def project(request, tmp_path):
    root = tmp_path / "project"
    for name, text in TREE.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    (root / "scripts").mkdir()
    shutil.copy(ENV_SH, root / "scripts" / "env.sh")
    python = root / ".venv" / "bin" / "python"
    python.parent.mkdir(parents=True)
    python.write_text(FAKE_PYTHON)
    python.chmod(0o755)
    if request.param == "git checkout":
        if shutil.which("git") is None:
            pytest.skip("no git")
        (root / ".gitignore").write_text(".venv/\nbuild/\n")
        _git(root, "init", "-q")
        _git(root, "add", "-A")
        _git(root, "commit", "-q", "-m", "start")
    return root


def ensure(root, extra="", **env):
    # The caller's own choices of interpreter and environment do not apply.
    own = {k: v for k, v in os.environ.items() if not k.startswith("QULO_")}
    done = subprocess.run(
        ["bash", "-c", f'source "{root}/scripts/env.sh"; ensure_venv {extra}'],
        capture_output=True, text=True, timeout=60,
        env={**own, "QULO_FAKE_ROOT": str(root), **env},
    )
    log = root / ".venv" / "pip.log"
    calls = log.read_text().splitlines() if log.exists() else []
    log.unlink(missing_ok=True)
    installs = [c.split()[-1] for c in calls if c.endswith(str(root)) or f"{root}[" in c]
    return done.returncode, installs


# (change to the tree, whether it needs a new install)
CHANGES = [
    ("edit core/tea.cpp", lambda r: (r / "core/tea.cpp").write_text("int f(int);\n"), True),
    ("new file under binding", lambda r: (r / "binding/tea/new.hpp").write_text("\n"), True),
    ("remove a binding file", lambda r: (r / "binding/tea/module.cpp").unlink(), True),
    ("edit pyproject.toml", lambda r: (r / "pyproject.toml").write_text("[project]\n"), True),
    ("edit a package file", lambda r: (r / "src/qulo/__init__.py").write_text("x = 1\n"), True),
    ("edit a test", lambda r: (r / "tests/test_x.py").write_text("x = 1\n"), False),
    ("edit the docs", lambda r: (r / "docs/x.md").write_text("new\n"), False),
    ("edit the README", lambda r: (r / "README.md").write_text("new\n"), False),
    ("touch without change", lambda r: os.utime(r / "core/tea.cpp"), False),
]


@pytest.mark.parametrize("change, needs_install", [c[1:] for c in CHANGES],
                         ids=[c[0] for c in CHANGES])
def test_installs_again_only_when_a_build_input_changed(project, change, needs_install):
    assert ensure(project) == (0, [str(project)])
    assert ensure(project) == (0, [])
    change(project)
    assert ensure(project) == (0, [str(project)] if needs_install else [])
    assert ensure(project) == (0, [])


def test_extras_are_added_once_and_kept(project):
    assert ensure(project) == (0, [str(project)])
    assert ensure(project, "test") == (0, [f"{project}[test]"])
    assert ensure(project) == (0, [])
    assert ensure(project, "test") == (0, [])
    (project / "core/tea.cpp").write_text("int h();\n")
    # The plain caller's reinstall keeps the test extra for the next caller.
    assert ensure(project) == (0, [f"{project}[test]"])
    assert ensure(project, "test") == (0, [])


def test_a_failed_install_is_tried_again(project):
    status, installs = ensure(project, QULO_FAKE_FAIL="1")
    assert status != 0 and installs == [str(project)]
    assert ensure(project) == (0, [str(project)])
    assert ensure(project) == (0, [])


def test_a_missing_console_script_or_a_forced_reinstall_installs(project):
    assert ensure(project) == (0, [str(project)])
    (project / ".venv/bin/qulo").unlink()
    assert ensure(project) == (0, [str(project)])
    assert ensure(project, QULO_REINSTALL="1") == (0, [str(project)])


# ---- quietly: a command's output only when it fails ----------------------------

PROGRESS = ("        Start 7: Mode.RoundTrip\n"
            "  1/2 Test  #7: Mode.RoundTrip ..........   Passed    0.01 sec\n")


@pytest.mark.parametrize("status", [0, 3])
def test_quietly_keeps_the_log_and_shows_it_less_progress_only_on_failure(tmp_path, status):
    log = tmp_path / "logs" / "step.log"
    step = tmp_path / "step.sh"
    step.write_text(f"printf %s '{PROGRESS}'; echo 'the failing test said why'; exit {status}\n")
    done = subprocess.run(["bash", "-c", f'source "{ENV_SH}"; quietly "{log}" sh "{step}"'],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == status and done.stdout == ""
    assert log.read_text() == PROGRESS + "the failing test said why\n"
    if status:
        assert "the failing test said why" in done.stderr and str(log) in done.stderr
        assert not set(PROGRESS.splitlines()) & set(done.stderr.splitlines())
    else:
        assert done.stderr == ""
