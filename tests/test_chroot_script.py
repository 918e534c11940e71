"""scripts/chroot.sh finds every mount below the chroot before anything there
is removed: the checkout is bound into it, and removing through that binding
would delete the checkout. The kernel's table is stood in for by a file in
its format, so nothing is mounted here.
"""

from __future__ import annotations

import subprocess
from pathlib import Path

import pytest

pytestmark = pytest.mark.source_tree

ROOT = Path(__file__).resolve().parent.parent
SCRIPTS = ROOT / "scripts"


def mountinfo_line(point: str) -> str:
    escaped = point.replace("\\", "\\134").replace(" ", "\\040").replace("\t", "\\011")
    return f"45 27 0:40 / {escaped} rw,relatime - proc proc rw\n"


@pytest.mark.parametrize("base", ["/w/build/chroot", "/w/a folder\\with\tthings/chroot"])
def test_mounts_under_lists_the_folder_and_below_deepest_first(tmp_path, base):
    inside = [base, f"{base}/k/proc", f"{base}/k/w/t", f"{base}/k/w/t/build", f"{base}/k/dev/pts"]
    beside = ["/", "/proc", f"{base}2/k/proc", f"{base}-old", base.rsplit("/", 1)[0]]
    table = tmp_path / "mountinfo"
    table.write_text("".join(mountinfo_line(p) for p in beside + inside))
    done = subprocess.run(
        ["bash", "-c", f'source "{SCRIPTS}/env.sh"; source "{SCRIPTS}/chroot.sh"; '
                       'mounts_under "$1" "$2"', "-", base, str(table)],
        capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    listed = done.stdout.splitlines()
    assert sorted(listed) == sorted(inside)
    # Every mount comes before the mounts it lies in.
    assert all(not listed[j].startswith(listed[i] + "/")
               for i in range(len(listed)) for j in range(i + 1, len(listed)))
