#!/usr/bin/env bash
# The fuzz targets, each for a short run (QULO_FUZZ_SECONDS, default 60 s):
# decryption of arbitrary bytes, the encryption round trip, the buffer
# format check, the incremental contexts against the one-message entry
# points, and batch decryption of valid and invalid messages mixed.
# Any finding fails the run; its input is kept under
# build/fuzz/artifacts/<target>/ and the full log under build/fuzz/.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

SECONDS_EACH="${QULO_FUZZ_SECONDS:-60}"
mkdir -p "$ROOT/build/fuzz"
for target in decrypt roundtrip format stream batch; do
    echo "== fuzz $target for $SECONDS_EACH s"
    log="$ROOT/build/fuzz/$target.log"
    set +e
    bash "$ROOT/fuzz/run.sh" "$target" "$SECONDS_EACH" >"$log" 2>&1
    status=$?
    set -e
    grep -E "^(INFO: Seed|#[0-9]+ +DONE|stat::number_of_executed_units|fuzz )" "$log" || true
    if [ "$status" -ne 0 ]; then
        tail -60 "$log" >&2
        echo "fuzz $target: FAILED (exit $status)" >&2
        exit 1
    fi
done
