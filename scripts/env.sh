# Shared set-up for the project's scripts: finds CPython (3.13 unless
# QULO_PYTHON_VERSION names another), makes the virtual environment (.venv
# unless QULO_VENV names another) and installs what the scripts need. Sourced.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON_VERSION="${QULO_PYTHON_VERSION:-3.13}"
VENV="${QULO_VENV:-$ROOT/.venv}"

find_python() {
    local candidate v="$PYTHON_VERSION"
    local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    for candidate in "${QULO_PYTHON:-}" "python$v" "$pyenv_root"/versions/"$v"*/bin/"python$v" \
        "/usr/bin/python$v" "/usr/local/bin/python$v"; do
        [ -n "$candidate" ] || continue
        if "$candidate" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$v'" \
            >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    echo "error: CPython $v not found (set QULO_PYTHON)" >&2
    return 1
}

# Runs a command with its output added to the log file $1, and shows the
# log only when the command fails (less CTest's progress lines: a start
# and a pass for every test).
quietly() {
    local log="$1" status=0
    shift
    mkdir -p "$(dirname "$log")"
    "$@" >>"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        grep -Ev '^( *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed | +Start +[0-9]+: )' "$log" >&2 || true
        echo "error: exit $status from: $*; full log: $log" >&2
    fi
    return "$status"
}

# Debian packages, installed only when missing (needs root or sudo).
apt_install() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# What pip reads to build the package. Tests, docs, benchmarks and scripts
# are not among them: changing those needs no rebuild.
BUILD_INPUTS=(CMakeLists.txt cmake pyproject.toml core binding src)

# A digest over the names and contents of the build inputs: in a checkout,
# the tracked files and the new ones git does not ignore; elsewhere (an
# unpacked source archive) every file. It changes with any edit, new file,
# removal or rename among them.
build_inputs_digest() {
    (
        cd "$ROOT"
        if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$(pwd -P)" ]; then
            git ls-files -z --cached --others --exclude-standard -- "${BUILD_INPUTS[@]}"
        else
            find "${BUILD_INPUTS[@]}" -type f -print0 2>/dev/null || true
        fi | LC_ALL=C sort -zu | while IFS= read -r -d '' file; do
            # A file deleted but still in git's index is simply gone.
            if [ -f "$file" ]; then
                sha256sum -- "$file"
            fi
        done
    ) | sha256sum | cut -d' ' -f1
}

# The virtual environment with the package installed and the extra given
# ("test" or nothing). pip runs only when the build inputs changed since the
# last install, or the extra is new: the stamp in the environment records
# the digest and the extras of the last install that succeeded.
# QULO_REINSTALL=1 installs regardless.
ensure_venv() {
    local extra="${1:-}"
    local stamp="$VENV/.qulo-installed"
    local digest old_digest="" old_extras=""
    digest="$(build_inputs_digest)"
    if [ -x "$VENV/bin/python" ] && [ -x "$VENV/bin/qulo" ] && [ -f "$stamp" ]; then
        { read -r old_digest && read -r old_extras; } <"$stamp" || true
    fi
    if [ "${QULO_REINSTALL:-0}" != 1 ] && [ "$old_digest" = "$digest" ] &&
        { [ -z "$extra" ] || [[ " $old_extras " == *" $extra "* ]]; }; then
        return 0
    fi

    if [ ! -x "$VENV/bin/python" ]; then
        "$(find_python)" -m venv "$VENV"
    fi
    # Keep the extras installed before, so that alternating callers do not
    # build the package twice.
    local extras
    extras="$(printf '%s\n' $old_extras $extra | LC_ALL=C sort -u | paste -sd' ')"
    # Without a stamp a failed install is retried by the next call.
    rm -f "$stamp"
    local log="$ROOT/build/install-$PYTHON_VERSION.log"
    rm -f "$log"
    echo "== installing qulo${extras:+[${extras// /,}]} into $VENV (log: $log)"
    quietly "$log" "$VENV/bin/python" -m pip install -q --upgrade pip cmake ninja
    quietly "$log" "$VENV/bin/python" -m pip install -q "$ROOT${extras:+[${extras// /,}]}"
    printf '%s\n%s\n' "$digest" "$extras" >"$stamp"
}

# A separate environment at $1 with the build and test tools but not the
# package, for builds of it with other compiler flags (sanitizers, valgrind).
tool_venv() {
    local dir="$1"
    if [ ! -x "$dir/bin/python" ]; then
        "$(find_python)" -m venv "$dir"
    fi
    "$dir/bin/python" -m pip install -q --upgrade pip
    "$dir/bin/python" -m pip install -q cmake ninja "scikit-build-core>=0.11" pytest hypothesis \
        setuptools
}
