#!/usr/bin/env bash
# The whole test suite: native tests of the core and of the binding's pure
# logic (GoogleTest under CTest), then the Python tests (pytest). Each part
# prints its summary; the native build and tests keep their output in
# build/native/*.log and show it only on failure, pytest runs with -q.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

apt_install libgtest-dev
ensure_venv test
export PATH="$VENV/bin:$PATH"

NATIVE="$ROOT/build/native"
echo "== native tests (CTest)"
rm -f "$NATIVE"/{build,ctest}.log
quietly "$NATIVE/build.log" cmake -S "$ROOT" -B "$NATIVE" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQULO_BUILD_EXTENSION=OFF -DQULO_BUILD_TESTS=ON
quietly "$NATIVE/build.log" cmake --build "$NATIVE"
grep -A3 "warning:" "$NATIVE/build.log" || true
quietly "$NATIVE/ctest.log" ctest --test-dir "$NATIVE" --output-on-failure -j 2
grep -E "tests passed|Total Test time" "$NATIVE/ctest.log"

echo "== Python tests (pytest)"
cd "$ROOT"
"$VENV/bin/python" -m pytest -q "$@"   # no path given: testpaths, so tests/
