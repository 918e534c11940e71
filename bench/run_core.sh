#!/usr/bin/env bash
# Configure, build (Release) and run the native benchmark of the cipher core.
# It exits non-zero, with no figures, when its clock calibration disagrees
# with itself.
# The table goes to stdout, the same figures as JSON to bench/out/core.json.
#   bash bench/run_core.sh [--reps N]
# QULO_BENCH_BUILD_DIR overrides the build directory (bench/native_build.sh).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/native_build.sh"
build_bench qulo_core_bench
exec "$build/bench/qulo_core_bench" --json "$root/bench/out/core.json" "$@"
