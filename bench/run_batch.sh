#!/usr/bin/env bash
# The batch benchmarks: the native one (every kernel this CPU runs against
# qulo_encrypt_qq one message per call) and the Python one (encrypt_many
# against a loop of encrypt_qq, the Arrow path against the list path).
# Figures go to stdout, and as JSON to bench/out/batch_core.json and
# bench/out/batch_python.json.
#   bash bench/run_batch.sh
# QULO_BENCH_PYTHON=/path/to/python uses that interpreter (with qulo and
# pyarrow installed) instead of .venv.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QULO_BENCH_BUILD_DIR:-${TMPDIR:-/tmp}/qulo-core-bench}"
generator=()
if command -v ninja >/dev/null 2>&1; then
  generator=(-G Ninja)
fi
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DQULO_BUILD_EXTENSION=OFF -DQULO_BUILD_TESTS=OFF -DQULO_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target qulo_batch_bench >/dev/null
mkdir -p "$root/bench/out"
"$build/bench/qulo_batch_bench" --json "$root/bench/out/batch_core.json"
echo
"${QULO_BENCH_PYTHON:-$root/.venv/bin/python}" "$root/bench/bench_batch.py" \
  --json "$root/bench/out/batch_python.json"
