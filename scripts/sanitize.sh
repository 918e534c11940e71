#!/usr/bin/env bash
# The core and the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer, then the native tests and the whole pytest
# suite run against that build. Any sanitizer report fails the run.
#
#   bash scripts/sanitize.sh [PYTEST ARGS...]
#
# Everything lives under build/: the instrumented extension's CMake tree in
# build/asan/ext, the native tests in build/asan/native, and a virtual
# environment of its own in build/venv-asan (an instrumented module must
# never land in an environment that plain interpreters use).
#
# How the interpreter is run:
# - The interpreter itself is not instrumented, so the ASan runtime is
#   preloaded (LD_PRELOAD=libasan.so) to come first in the link order, as it
#   must when an instrumented module is dlopen'ed.
# - PYTHONMALLOC=malloc sends every object allocation through malloc, so ASan
#   sees overruns and use-after-free of bytes objects, TEA objects and
#   buffers, not just of raw memory.
# - Leak detection: detect_leaks=0 for the interpreter run. CPython frees
#   little of what it allocated at exit (interned strings, type caches, the
#   modules), which would drown anything of ours; leaks of the extension are
#   measured instead by tests/test_leaks.py (allocated blocks and reference
#   counts) and by scripts/valgrind.sh. The native tests hold no interpreter
#   and run with detect_leaks=1.
# - UBSan stops at the first report (halt_on_error=1) with a stack trace.
# - Reports are also written to build/asan/reports/, so that one from a child
#   interpreter started by a test is not lost; the run fails if any appears.
#
# Tests marked no_sanitizer are deselected: they measure the allocator
# (sys.getallocatedblocks means nothing under PYTHONMALLOC=malloc).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

apt_install libgtest-dev g++

OUT="$ROOT/build/asan"
AVENV="$ROOT/build/venv-asan"
REPORTS="$OUT/reports"
SAN_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g"

tool_venv "$AVENV"
export PATH="$AVENV/bin:$PATH"

echo "== native tests (CTest, $SAN_FLAGS)"
cmake -S "$ROOT" -B "$OUT/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=g++ -DQULO_BUILD_EXTENSION=OFF -DQULO_BUILD_TESTS=ON \
    -DCMAKE_CXX_FLAGS="$SAN_FLAGS" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    >/dev/null
cmake --build "$OUT/native"
ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    ctest --test-dir "$OUT/native" --output-on-failure -j 2

echo "== extension (pip install into $AVENV)"
# With the package's own requirements (the tool's progress bar), not its extras.
CXX=g++ "$AVENV/bin/python" -m pip install -q --no-build-isolation --force-reinstall \
    -Cbuild-dir="$OUT/ext" \
    -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.CMAKE_CXX_FLAGS="$SAN_FLAGS" \
    -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
    -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
    "$ROOT"

echo "== pytest under ASan + UBSan"
LIBASAN="$(g++ -print-file-name=libasan.so)"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
# The check below proves the module really is instrumented: an
# uninstrumented build would pass everything and prove nothing.
MODULE="$(find "$AVENV/lib" -name '_tea*.so' | head -1)"
# (ldd's output is taken whole first: `grep -q` would close the pipe early
# and, under pipefail, fail the check at random.)
if [ -z "$MODULE" ] || [[ "$(ldd "$MODULE")" != *libasan* ]]; then
    echo "error: the installed qulo._tea is not linked with libasan" >&2
    exit 1
fi

cd "$ROOT"
set +e
LD_PRELOAD="$LIBASAN" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:strict_string_checks=1:log_path=$REPORTS/asan" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan" \
    "$AVENV/bin/python" -m pytest tests -m "not no_sanitizer" -p no:cacheprovider -q "$@"
status=$?
set -e

if compgen -G "$REPORTS/*" >/dev/null; then
    echo "error: sanitizer reports:" >&2
    cat "$REPORTS"/* >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    exit "$status"
fi
echo "sanitizers: no reports"
