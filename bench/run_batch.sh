#!/usr/bin/env bash
# The batch benchmarks: the native one (every kernel this CPU runs against
# qulo_encrypt_qq one message per call, and against its ceiling) and the
# Python one (encrypt_many against a loop of encrypt_qq, the Arrow path
# against the list path). Figures go to stdout, and as JSON to
# bench/out/batch_core.json and bench/out/batch_python.json; the kernels'
# shares of their ceilings are drawn to bench/out/batch_shares.png
# (bench/out/ is not tracked). Only --update-docs replaces the tracked
# docs/batch_shares.png as well.
#   bash bench/run_batch.sh [--update-docs]
# QULO_BENCH_PYTHON=/path/to/python uses that interpreter (with qulo,
# pyarrow and matplotlib installed) instead of setting up .venv.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/native_build.sh"
if [ -n "${QULO_BENCH_PYTHON:-}" ]; then
    python="$QULO_BENCH_PYTHON"
else
    source "$root/scripts/env.sh"
    ensure_venv
    "$VENV/bin/python" -c "import matplotlib" 2>/dev/null ||
        "$VENV/bin/python" -m pip install -q matplotlib
    python="$VENV/bin/python"
fi
plots=("$root/bench/out/batch_shares.png")
if [ "${1:-}" = "--update-docs" ]; then
    plots+=("$root/docs/batch_shares.png")
fi

build_bench qulo_batch_bench
"$build/bench/qulo_batch_bench" --json "$root/bench/out/batch_core.json"
"$python" "$root/bench/plot.py" --batch "$root/bench/out/batch_core.json" "${plots[@]}"
echo "written: ${plots[*]}"
echo
"$python" "$root/bench/bench_batch.py" --json "$root/bench/out/batch_python.json"
