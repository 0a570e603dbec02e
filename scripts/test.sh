#!/usr/bin/env bash
# Builds the C++ test suite and the extension module from this checkout (with
# interpreter-lock checks and warnings as errors), runs the GoogleTest suite,
# then the Python suite against the freshly built module.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=python3
if [ -x .venv/bin/python ]; then PY=.venv/bin/python; fi
export PATH="$(dirname "$(readlink -f "$PY")"):$PWD/.venv/bin:$PATH"
BUILD=build/test

GEN=()
if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi
cmake -S . -B "$BUILD" "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZARVEX_BUILD_TESTS=ON -DZARVEX_CHECKED=ON -DZARVEX_WERROR=ON \
  -DPython_EXECUTABLE="$("$PY" -c 'import sys; print(sys.executable)')" >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
"$BUILD"/zarvex_tests --gtest_brief=1
PYTHONPATH="$BUILD" "$PY" -m pytest -q tests/python
