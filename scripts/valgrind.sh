#!/usr/bin/env bash
# valgrind memcheck over a chosen subset of the pytest suite, against a
# build of the extension with debug information (RelWithDebInfo) in a
# virtual environment of its own, build/venv-valgrind.
#
#   bash scripts/valgrind.sh [PYTEST ARGS...]    (default: the subset below)
#
# - PYTHONMALLOC=malloc: every object goes through malloc, so memcheck sees
#   each bytes object, TEA object and buffer as a block of its own.
# - Errors are invalid reads and writes, uses of uninitialised values and
#   bad frees, wherever they show up, the interpreter's code included (a
#   reference freed too early by the extension shows up there); any one
#   fails the run (--error-exitcode). Only reports that the interpreter and
#   the C library cause on their own are suppressed, each for a documented
#   reason, in scripts/valgrind-python.supp.
# - Leaks: CPython 3.13 deliberately leaves much unfreed at exit (interned
#   and immortal strings, code objects unmarshalled at import, module state),
#   several hundred "definitely lost" records from the interpreter alone.
#   So leaks do not count as memcheck errors; instead the run fails when any
#   definitely lost block was allocated with one of qulo's functions on the
#   stack (the extension module or the cipher core).
# - The subset: the twelve methods and the buffer arguments (test_methods,
#   test_byte_views), the property tests with fewer examples, and a short
#   thread stress run, the stream contexts (test_stream) and the batch
#   functions over lists (test_batch; memcheck has no AVX-512, so there they
#   run on the other kernels only). Child interpreters that tests start run
#   natively.
# - Tests marked no_valgrind are left out, each for the reason its mark
#   gives: the round trips of 64 KiB through the pure-Python model (memcheck
#   slows the model fifty-fold and they reach no code path that the shorter
#   round trips miss), those that need another thread to run at the same
#   time (memcheck runs one thread at a time), and those of the batch kernel
#   choice that compare what a native child interpreter reports with what
#   memcheck's CPU offers.
# - QULO_VALGRIND_FLAGS adds memcheck options, e.g. --track-origins=yes to
#   find where an uninitialised value came from (it doubles the run time).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

apt_install valgrind

OUT="$ROOT/build/valgrind"
VVENV="$ROOT/build/venv-valgrind"
SUPP="$ROOT/scripts/valgrind-python.supp"

tool_venv "$VVENV"
export PATH="$VVENV/bin:$PATH"
# With the package's own requirements (the tool's progress bar), not its extras.
"$VVENV/bin/python" -m pip install -q --no-build-isolation --force-reinstall \
    -Cbuild-dir="$OUT/ext" -Ccmake.build-type=RelWithDebInfo "$ROOT"

if [ "$#" -eq 0 ]; then
    set -- tests/test_methods.py tests/test_byte_views.py tests/test_properties.py \
        tests/test_stress.py tests/test_stream.py tests/test_batch.py
fi

cd "$ROOT"
mkdir -p "$OUT"
LOG="$OUT/memcheck.log"
start=$(date +%s)
set +e
PYTHONMALLOC=malloc QULO_PROPERTY_EXAMPLES=10 QULO_STRESS_SECONDS=2 \
    valgrind --tool=memcheck --error-exitcode=99 ${QULO_VALGRIND_FLAGS:-} \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=none \
    --suppressions="$SUPP" --num-callers=30 --log-file="$LOG" \
    "$VVENV/bin/python" -m pytest -p no:cacheprovider -q -m "not no_sanitizer and not no_valgrind" "$@"
status=$?
set -e
end=$(date +%s)

grep -E "ERROR SUMMARY|definitely lost:" "$LOG" || true
# Leak records whose allocation passed through qulo's code. A name that
# qulo's start-up interns (a method's, a capsule attribute's) is left out:
# once a code object uses the same name, 3.13 makes the interned string
# immortal and never frees it, and the record names where it was first made.
ours="$(awk '
    /are definitely lost in loss record/ { rec = 1; buf = "" }
    rec { buf = buf $0 "\n" }
    /^==[0-9]+== *$/ { if (rec && buf ~ /(qulo|_tea[.]cpython|_stream[.]cpython|tea[.]cpp|stream[.]cpp|methods[.]cpp|byte_view[.]cpp|module[.]cpp)/ && buf !~ /(PyUnicode_InternFromString|PyUnicode_InternInPlace|PyDict_SetItemString) /) printf "%s", buf; rec = 0 }
' "$LOG")"
if [ -n "$ours" ]; then
    echo "error: blocks allocated by qulo's code were leaked:" >&2
    echo "$ours" >&2
    [ "$status" -ne 0 ] || status=98
fi
echo "valgrind: exit $status after $((end - start)) s; full log in $LOG"
exit "$status"
