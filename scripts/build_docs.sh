#!/usr/bin/env bash
# Builds the documentation in docs/ into a static HTML site in
# build/docs/html, with every Sphinx warning treated as an error. The tools
# (Sphinx and sphinx-autoapi, from PyPI) live in build/venv-docs.
#
# The API reference comes from the project's stub file when the source tree
# has one, otherwise from the module itself (docs/make_stub.py imports it:
# by default the build in build/test, as ./scripts/test.sh leaves it; set
# PYTHONPATH to use another).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=python3
if [ -x .venv/bin/python ]; then PY=$(.venv/bin/python -c 'import sys; print(sys.executable)'); fi
VENV=build/venv-docs
if [ ! -x "$VENV/bin/sphinx-build" ]; then
  "$PY" -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q sphinx sphinx-autoapi
fi
export PYTHONPATH="${PYTHONPATH:-$PWD/build/test}"
rm -rf build/docs docs/_stub
"$VENV/bin/sphinx-build" -W --keep-going -q -b html docs build/docs/html
echo "documentation: build/docs/html/index.html"
