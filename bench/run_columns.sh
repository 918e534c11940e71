#!/usr/bin/env bash
# The benchmark of tables, frames and SQL (bench/bench_columns.py):
# encrypt_columns against encrypt_many, the DuckDB function and the polars
# expression against encrypt_many, the cipher's share of a Parquet round
# trip, a Dask cluster against one process, and `qulo --columns` against
# pyarrow's copy of the file and the cipher. Prints the figures; writes
# bench/out/columns.json (bench/out/ is not tracked).
#   bash bench/run_columns.sh [--rounds N] [--rows N]
# QULO_BENCH_PYTHON=/path/to/python uses that interpreter (with qulo and
# the test extra's libraries installed) instead of .venv.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [ -n "${QULO_BENCH_PYTHON:-}" ]; then
    python="$QULO_BENCH_PYTHON"
else
    source "$here/../scripts/env.sh"
    ensure_venv test  # pyarrow, polars, DuckDB, Dask
    python="$VENV/bin/python"
fi
exec "$python" "$here/bench_columns.py" --json "$here/out/columns.json" "$@"
