"""scripts/chroot.sh: it finds every mount below the chroot before anything
there is removed (the checkout is bound into it, and removing through that
binding would delete the checkout), with the kernel's table stood in for by a
file in its format; a chroot session's mounts stay in its own namespace, on a
fake checkout in a namespace of the test's own whose mounts are shared; and
the binfmt_misc handler it registers goes when the script ends, with the
kernel's binfmt_misc stood in for by a folder.
"""

from __future__ import annotations

import os
import platform
import shutil
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


# How a script may end after it set things up, and the status it ends with.
ENDINGS = [("exit 0", 0), ("exit 3", 3), ("kill -TERM $$", 143)]

# After chroot_enter, the session records what it and its chroot see, and
# what the namespace it came from (the "host", pid $2) sees, then ends as $3
# says.
SESSION = r"""
source "$(dirname "$0")/scripts/env.sh"
source "$ROOT/scripts/chroot.sh"
apt_install() { :; }  # debootstrap is the test's stub, on the PATH
chroot_session "$@"
out="$1"
chroot_enter
echo "$CHROOT_DIR" >"$out/chroot-dir"
cp /proc/self/mountinfo "$out/inside"
cp "/proc/$2/mountinfo" "$out/during"
ls -A "$CHROOT_DIR/proc" >"$out/chroot-proc"
ls -A "$CHROOT_DIR$ROOT" >"$out/chroot-checkout"
eval "$3"
"""

# The host of a systemd machine, shared mounts, in a namespace of the test's
# own: made private first, so that whatever the session does cannot reach
# the machine's own mounts even where those are shared.
HOST = r"""
mount --make-rshared /
cp /proc/self/mountinfo "$1/before"
status=0
bash "$2/session.sh" "$1" $$ "$3" || status=$?
cp /proc/self/mountinfo "$1/after"
exit $status
"""


def mount_points(table: Path) -> list[str]:
    return [line.split()[4].replace("\\040", " ") for line in table.read_text().splitlines()]


def mount_namespace_refused() -> str | None:
    if os.geteuid() != 0:
        return "needs root: a mount namespace (unshare -m) and mounts in it"
    try:
        probe = subprocess.run(["unshare", "-m", "--propagation", "private", "true"],
                               capture_output=True, text=True, timeout=30)
    except FileNotFoundError:
        return "no unshare program here"
    if probe.returncode != 0:
        return ("no mount namespace of private propagation here (the kernel refuses it, or / is"
                f" no mount point, as in a chroot): {probe.stderr.strip()}")
    return None


@pytest.fixture
def no_mounts_left(tmp_path):
    """Whatever the test does, nothing stays mounted under its folder."""
    yield tmp_path
    left = mount_points(Path("/proc/self/mountinfo"))
    left = sorted((p for p in left if p.startswith(f"{tmp_path}/")), reverse=True)
    for point in left:
        subprocess.run(["umount", "-l", point], check=False)
    assert not left, f"left mounted on the machine: {left}"


@pytest.mark.parametrize("ending,status", ENDINGS + [("kill -KILL $$", 137)])
def test_the_session_mounts_nothing_outside_its_namespace(no_mounts_left, ending, status):
    if reason := mount_namespace_refused():
        pytest.skip(reason)
    out, checkout, stubs = (no_mounts_left / d for d in ("out", "checkout", "bin"))
    for folder in (out, checkout / "scripts", checkout / "build", stubs):
        folder.mkdir(parents=True)
    for name in ("env.sh", "chroot.sh"):
        shutil.copy(SCRIPTS / name, checkout / "scripts")
    (checkout / "session.sh").write_text(SESSION)
    (checkout / "build" / "kept").write_text("")
    # The target folder is debootstrap's next to last argument.
    (stubs / "debootstrap").write_text('#!/bin/bash\nmkdir -p "${@: -2:1}/proc"\n')
    (stubs / "debootstrap").chmod(0o755)
    env = {k: v for k, v in os.environ.items() if not k.startswith("QULO_")}
    env["PATH"] = f"{stubs}:{env['PATH']}"
    done = subprocess.run(
        ["unshare", "-m", "--propagation", "private", "bash", "-c", HOST, "-",
         str(out), str(checkout), ending], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == status, done.stdout + done.stderr
    chroot = (out / "chroot-dir").read_text().strip()
    inside = [p for p in mount_points(out / "inside") if p.startswith(chroot)]
    assert sorted(inside) == sorted(f"{chroot}{p}" for p in
                                    ["/proc", "/dev/pts", "/dev/shm", checkout,
                                     f"{checkout}/build"])
    assert (out / "chroot-proc").read_text().split(), "the chroot's /proc is empty"
    assert {"scripts", "build", "session.sh"} <= set((out / "chroot-checkout").read_text().split())
    # Nothing reached the host, over build/ or anywhere, during the session
    # or after it; and nothing was removed through a binding.
    before = (out / "before").read_text()
    assert [p for p in mount_points(out / "during") if p.startswith(str(checkout))] == []
    assert (out / "during").read_text() == before
    assert (out / "after").read_text() == before
    assert (checkout / "build" / "kept").exists() and (checkout / "scripts" / "chroot.sh").exists()


# The script registers its handler and ends as $2 says.
BINFMT = r"""
source "$1/env.sh"
source "$1/chroot.sh"
apt_install() { :; }
chroot_configure chroot-arm64 trixie arm64
chroot_binfmt
eval "$2"
"""
ARM64_MAGIC = "magic 7f454c460201010000000000000000000200b700\n"


@pytest.mark.skipif(platform.machine() == "aarch64", reason="arm64 programs run natively here")
@pytest.mark.parametrize("ending,status", ENDINGS)
@pytest.mark.parametrize("before,registers", [
    (None, True),
    ("enabled\ninterpreter /usr/bin/qemu-aarch64-static\nflags: F\n" + ARM64_MAGIC, False),
    ("disabled\ninterpreter /usr/bin/qemu-aarch64-static\nflags: F\n" + ARM64_MAGIC, True),
])
def test_the_handler_registered_goes_with_the_script(tmp_path, ending, status, before, registers):
    # The kernel's binfmt_misc as a folder: what is written to register stays
    # there, and a handler removed has -1 written to its file.
    binfmt = tmp_path / "binfmt_misc"
    binfmt.mkdir()
    (binfmt / "register").write_text("")
    (binfmt / "status").write_text("enabled\n")
    if before is not None:
        (binfmt / "qemu-aarch64").write_text(before)
    env = {k: v for k, v in os.environ.items() if not k.startswith("QULO_")}
    env["QULO_BINFMT_DIR"] = str(binfmt)
    done = subprocess.run(["bash", "-c", BINFMT, "-", str(SCRIPTS), ending],
                          capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == status, done.stdout + done.stderr
    registered = (binfmt / "register").read_text()
    if registers:
        assert registered.startswith(":qulo-aarch64:M::") and registered.endswith(":F\n")
        assert (binfmt / "qulo-aarch64").read_text() == "-1\n"
    else:
        assert registered == "" and not (binfmt / "qulo-aarch64").exists()
    if before is not None:
        assert (binfmt / "qemu-aarch64").read_text() == before
    # Nothing else is written.
    assert {f.name for f in binfmt.iterdir()} == {"register", "status"} | (
        {"qemu-aarch64"} if before else set()) | ({"qulo-aarch64"} if registers else set())
