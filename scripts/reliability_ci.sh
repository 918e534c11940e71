#!/usr/bin/env bash
# The short forms of the reliability checks, for CI: the whole test suite
# under ASan + UBSan, each fuzz target briefly, and valgrind memcheck over a
# subset of the tests. Each stage fails the run on any report. About 12
# minutes on 2 cores from a fresh clone.
#
#   bash scripts/reliability_ci.sh
#
# QULO_FUZZ_SECONDS (default 60) sets each fuzz target's run.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

apt_install g++ libgtest-dev clang-14 libclang-rt-14-dev valgrind

stage() {
    local name="$1"
    shift
    local start
    start=$(date +%s)
    echo "==== $name"
    "$@"
    echo "==== $name: clean in $(($(date +%s) - start)) s"
}

stage "sanitizers (ASan + UBSan): native tests and pytest" bash "$ROOT/scripts/sanitize.sh"
stage "fuzzing" bash "$ROOT/scripts/fuzz_ci.sh"
stage "valgrind memcheck" bash "$ROOT/scripts/valgrind.sh"
