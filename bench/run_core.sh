#!/usr/bin/env bash
# Configure, build (Release) and run the native benchmark of the cipher core.
# It exits non-zero, with no figures, when its clock calibration disagrees
# with itself.
# The table goes to stdout, the same figures as JSON to bench/out/core.json.
#   bash bench/run_core.sh [--reps N]
# QULO_BENCH_BUILD_DIR overrides the build directory (default: a directory
# under /tmp, so nothing generated lands in the source tree).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QULO_BENCH_BUILD_DIR:-${TMPDIR:-/tmp}/qulo-core-bench}"
generator=()
if command -v ninja >/dev/null 2>&1; then
  generator=(-G Ninja)
fi

cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DQULO_BUILD_EXTENSION=OFF -DQULO_BUILD_TESTS=OFF -DQULO_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target qulo_core_bench >/dev/null

mkdir -p "$root/bench/out"
exec "$build/bench/qulo_core_bench" --json "$root/bench/out/core.json" "$@"
