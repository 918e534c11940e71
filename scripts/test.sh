#!/usr/bin/env bash
# The whole test suite: native tests of the core and of the binding's pure
# logic (GoogleTest under CTest), then the Python tests (pytest).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

apt_install libgtest-dev
ensure_venv test
export PATH="$VENV/bin:$PATH"

cmake -S "$ROOT" -B "$ROOT/build/native" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQULO_BUILD_EXTENSION=OFF -DQULO_BUILD_TESTS=ON >/dev/null
cmake --build "$ROOT/build/native"
ctest --test-dir "$ROOT/build/native" --output-on-failure -j 2

cd "$ROOT"
"$VENV/bin/python" -m pytest tests "$@"
