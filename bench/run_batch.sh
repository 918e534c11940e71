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

source "$(dirname "${BASH_SOURCE[0]}")/native_build.sh"
build_bench qulo_batch_bench
"$build/bench/qulo_batch_bench" --json "$root/bench/out/batch_core.json"
echo
"${QULO_BENCH_PYTHON:-$root/.venv/bin/python}" "$root/bench/bench_batch.py" \
  --json "$root/bench/out/batch_python.json"
