#!/usr/bin/env bash
# Installs everything Zarvex needs on a fresh Debian machine (system packages,
# a virtual environment with the build and test tools, Zarvex itself), then
# runs the tour in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y g++ python3 python3-dev python3-venv \
  libroaring-dev libabsl-dev libgtest-dev libbenchmark-dev \
  clang clang-format

PY=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$PY" -m venv .venv
fi
.venv/bin/python -m pip install --upgrade pip >/dev/null
.venv/bin/python -m pip install scikit-build-core cmake ninja pytest hypothesis numpy mypy basedpyright ruff codespell
.venv/bin/python -m pip install .
.venv/bin/python examples/tour.py
