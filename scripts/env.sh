# Shared set-up for the project's scripts: finds CPython 3.13, makes the
# virtual environment .venv and installs what the scripts need. Sourced.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

find_python313() {
    local candidate
    local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    for candidate in "${QULO_PYTHON:-}" python3.13 "$pyenv_root"/versions/3.13*/bin/python3.13 \
        /usr/bin/python3.13 /usr/local/bin/python3.13; do
        [ -n "$candidate" ] || continue
        if "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    echo "error: CPython 3.13 not found (set QULO_PYTHON)" >&2
    return 1
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

# The virtual environment with the package installed and the extras given.
ensure_venv() {
    if [ ! -x "$VENV/bin/python" ]; then
        "$(find_python313)" -m venv "$VENV"
    fi
    "$VENV/bin/python" -m pip install -q --upgrade pip
    "$VENV/bin/python" -m pip install -q cmake ninja
    "$VENV/bin/python" -m pip install -q "$ROOT${1:+[$1]}"
}

# A separate environment at $1 with the build and test tools but not the
# package, for builds of it with other compiler flags (sanitizers, valgrind).
tool_venv() {
    local dir="$1"
    if [ ! -x "$dir/bin/python" ]; then
        "$(find_python313)" -m venv "$dir"
    fi
    "$dir/bin/python" -m pip install -q --upgrade pip
    "$dir/bin/python" -m pip install -q cmake ninja "scikit-build-core>=0.11" pytest hypothesis \
        setuptools
}
