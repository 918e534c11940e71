#!/usr/bin/env bash
# The command-line tool against the cipher core on a file in the page cache
# (1 GiB by default): prints the rate ratio and the peak RSS, and writes the
# figures to bench/out/cli.json.
#   bash bench/run_cli.sh [--size-mib N] [--rounds N] [--folder DIR]
# QULO_BENCH_PYTHON=/path/to/python uses that interpreter (with qulo
# installed) instead of setting up .venv.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [ -n "${QULO_BENCH_PYTHON:-}" ]; then
    python="$QULO_BENCH_PYTHON"
else
    source "$here/../scripts/env.sh"
    ensure_venv
    python="$VENV/bin/python"
fi
mkdir -p "$here/out"
exec "$python" "$here/bench_cli.py" --json "$here/out/cli.json" "$@"
