# Builds one native benchmark target (Release, the core only) and sets
# `root` and `build`. Sourced by the run_*.sh scripts.
# QULO_BENCH_BUILD_DIR overrides the build directory (default: a directory
# under /tmp, so nothing generated lands in the source tree).
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QULO_BENCH_BUILD_DIR:-${TMPDIR:-/tmp}/qulo-core-bench}"

build_bench() {
    local generator=()
    if command -v ninja >/dev/null 2>&1; then
        generator=(-G Ninja)
    fi
    cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DQULO_BUILD_EXTENSION=OFF -DQULO_BUILD_TESTS=OFF -DQULO_BUILD_BENCH=ON >/dev/null
    cmake --build "$build" --target "$1" >/dev/null
    mkdir -p "$root/bench/out"
}
