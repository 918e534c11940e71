#!/usr/bin/env bash
# Builds one libFuzzer target with clang++-14 (fuzzer + ASan + UBSan) and
# runs it for the given number of seconds.
#
#   bash fuzz/run.sh decrypt|roundtrip|format|stream|batch SECONDS [LIBFUZZER FLAGS...]
#
# The committed seeds in fuzz/corpus/<target>/ are read but never written:
# new inputs go to build/fuzz/corpus/<target>/, which later runs resume from,
# and a failing input is saved under build/fuzz/artifacts/<target>/.
# Prints libFuzzer's final statistics and the seconds it ran clean.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/env.sh"

TARGET="${1:?usage: fuzz/run.sh decrypt|roundtrip|format|stream|batch SECONDS}"
SECONDS_TO_RUN="${2:?usage: fuzz/run.sh decrypt|roundtrip|format|stream|batch SECONDS}"
shift 2
CXX="${FUZZ_CXX:-clang++-14}"
[ -n "${FUZZ_CXX:-}" ] || apt_install clang-14 libclang-rt-14-dev

case "$TARGET" in
    decrypt | roundtrip | format | stream | batch) ;;
    *) echo "unknown target: $TARGET (decrypt, roundtrip, format, stream, batch)" >&2; exit 2 ;;
esac

OUT="$ROOT/build/fuzz"
BIN="$OUT/cmake/${TARGET}_fuzz"
mkdir -p "$OUT/corpus/$TARGET" "$OUT/artifacts/$TARGET"

# CMake and Ninja from a small environment of their own.
TOOLS="$OUT/venv-tools"
if [ ! -x "$TOOLS/bin/cmake" ] || [ ! -x "$TOOLS/bin/ninja" ]; then
    "$(find_python)" -m venv "$TOOLS"
    "$TOOLS/bin/python" -m pip install -q cmake ninja
fi
"$TOOLS/bin/cmake" -S "$ROOT/fuzz" -B "$OUT/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_MAKE_PROGRAM="$TOOLS/bin/ninja" -DCMAKE_CXX_COMPILER="$CXX" >/dev/null
"$TOOLS/bin/cmake" --build "$OUT/cmake" --target "${TARGET}_fuzz"

DICT=()
[ -f "$ROOT/fuzz/$TARGET.dict" ] && DICT=("-dict=$ROOT/fuzz/$TARGET.dict")

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
start=$(date +%s)
"$BIN" -max_total_time="$SECONDS_TO_RUN" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$OUT/artifacts/$TARGET/" "${DICT[@]}" "$@" \
    "$OUT/corpus/$TARGET" "$ROOT/fuzz/corpus/$TARGET"
end=$(date +%s)
echo "fuzz $TARGET: ran clean for $((end - start)) s"
