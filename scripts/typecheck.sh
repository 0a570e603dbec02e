#!/usr/bin/env bash
# Typing checks against the module that scripts/test.sh built: the stub
# (stubs/Zarvex.pyi) against the runtime module with mypy's stubtest, then
# examples/ under mypy --strict and pyright's strict mode (basedpyright: the
# pyright checker packaged on PyPI with its own Node runtime), then the
# examples are run.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=python3
if [ -x .venv/bin/python ]; then PY=.venv/bin/python; fi
BIN="$(dirname "$PY")"
BUILD=${BUILD:-build/test}
if ! ls "$BUILD"/Zarvex*.so >/dev/null 2>&1; then
  echo "no module in $BUILD: run scripts/test.sh first" >&2
  exit 1
fi

export MYPYPATH=stubs
PYTHONPATH="$BUILD" "$PY" -m mypy.stubtest Zarvex
"$PY" -m mypy --strict examples/
"$BIN"/basedpyright --project pyrightconfig.json
for example in examples/*.py; do
  PYTHONPATH="$BUILD" "$PY" "$example" >/dev/null
done
echo "typecheck: stubtest, mypy --strict and pyright strict passed; examples ran"
