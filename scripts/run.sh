#!/usr/bin/env bash
# The main job: the qulo command-line tool. With no arguments it runs the
# demonstration on an embedded sample; otherwise the arguments go to `qulo`.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

ensure_venv >&2
if [ $# -eq 0 ]; then
    exec "$VENV/bin/qulo" demo
fi
exec "$VENV/bin/qulo" "$@"
