#!/usr/bin/env bash
# Python binding section: a Python viewer against `travik view` on the same
# device in the same run, and the binding's cost per image.
#   bench/sections/60-python.sh BUILD_DIR   (a configured bench build, e.g. build/bench)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="$(cd "${1:?usage: 60-python.sh BUILD_DIR}" && pwd)"
cmake --build "$BUILD" -j2 --target travik_tool travik_python >&2
PYTHON="$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$BUILD/CMakeCache.txt")"
PYTHONPATH="$BUILD/python" exec "${PYTHON:-/usr/bin/python3}" "$ROOT/bench/python/viewer_rate.py" \
    "$BUILD/tools/travik" --seconds "${TRAVIK_PY_BENCH_SECONDS:-10}"
