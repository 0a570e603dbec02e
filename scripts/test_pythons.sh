#!/usr/bin/env bash
# Builds the module (with interpreter-lock checks and warnings as errors) for
# every other supported Python found on this machine (3.11 to 3.13: on PATH as
# python3.X, or installed by pyenv) and runs the Python suite against each,
# in a virtual environment of its own under build/. Interpreters that are not
# found are named and passed over; a failing suite fails the script.
#
#   scripts/test_pythons.sh            # every supported version found
#   scripts/test_pythons.sh 3.12       # only these versions
set -euo pipefail
cd "$(dirname "$0")/.."

versions=("$@")
if [ "${#versions[@]}" -eq 0 ]; then versions=(3.11 3.12 3.13); fi

source scripts/find_python.sh

GEN=()
if command -v ninja >/dev/null 2>&1 || [ -x .venv/bin/ninja ]; then GEN=(-G Ninja); fi
export PATH="$PWD/.venv/bin:$PATH"   # cmake and ninja from the project's environment

for v in "${versions[@]}"; do
  if ! PY=$(find_python "$v"); then
    echo "== Python $v: not found, passed over"
    continue
  fi
  echo "== Python $v: $PY"
  VENV=build/venv-$v
  if [ ! -x "$VENV/bin/python" ]; then "$PY" -m venv "$VENV"; fi
  "$VENV/bin/python" -m pip install -q pytest hypothesis numpy
  BUILD=build/py$v
  cmake -S . -B "$BUILD" "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZARVEX_BUILD_TESTS=OFF -DZARVEX_CHECKED=ON -DZARVEX_WERROR=ON \
    -DPython_EXECUTABLE="$("$VENV/bin/python" -c 'import sys; print(sys.executable)')" >/dev/null
  cmake --build "$BUILD" -j "$(nproc)" >/dev/null
  PYTHONPATH="$BUILD" "$VENV/bin/python" -m pytest -q -rfE -p no:cacheprovider tests/python 2>&1 | grep -v "^[.sxFE]*\( *\[ *[0-9]*%\]\)\?$"
  status=${PIPESTATUS[0]}
  if [ "$status" -ne 0 ]; then echo "== Python $v: suite failed" >&2; exit "$status"; fi
done
