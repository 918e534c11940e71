#!/usr/bin/env bash
# The Python benchmark: the methods against the core called directly, the
# per-call cost against a floor, two threads against one, the pure-Python
# model, instruction counts under callgrind, and the throughput plot.
# Prints the table of ratios; writes bench/out/python.{json,md} and
# bench/out/throughput.png (bench/out/ is not tracked). Only --update-docs
# replaces the tracked docs/throughput.png as well.
#   bash bench/run_python.sh [--quick] [--no-callgrind] [--update-docs] [...]
# QULO_BENCH_PYTHON=/path/to/python uses that interpreter, with qulo and
# matplotlib already installed, instead of setting up .venv.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

if [ -n "${QULO_BENCH_PYTHON:-}" ]; then
    python="$QULO_BENCH_PYTHON"
else
    source "$here/../scripts/env.sh"
    # A C compiler for the test-only extension, valgrind for the counts.
    apt_install gcc valgrind || echo "warning: gcc/valgrind not installed" >&2
    ensure_venv
    "$VENV/bin/python" -c "import matplotlib" 2>/dev/null ||
        "$VENV/bin/python" -m pip install -q matplotlib
    python="$VENV/bin/python"
fi

# The script's own folder (bench/) goes first on sys.path; qulo comes from
# the environment.
exec "$python" "$here/bench_python.py" "$@"
