#!/usr/bin/env bash
# Applies the project's formatting: clang-format (.clang-format) to the C++
# sources and tests, ruff's fixes and formatter settings (pyproject.toml) to
# the Python files. scripts/check_format.sh checks the same without writing.
set -euo pipefail
cd "$(dirname "$0")/.."
BIN=.venv/bin
git ls-files -z 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'benchmarks/cpp/*.cpp' |
  xargs -0 clang-format -i
"$BIN"/ruff check --fix --quiet .
