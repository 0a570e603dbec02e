#!/usr/bin/env bash
# Fails when the tree is not as scripts/format.sh leaves it, or when a lint
# check fails: clang-format over the C++ files (prints the diff), ruff over
# the Python files, codespell over code and documentation (settings in
# pyproject.toml).
set -euo pipefail
cd "$(dirname "$0")/.."
BIN=.venv/bin
status=0

mapfile -d '' cxx < <(git ls-files -z 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'benchmarks/cpp/*.cpp')
changed=0
for f in "${cxx[@]}"; do
  if ! clang-format "$f" | diff -u --label "$f" --label "$f (formatted)" "$f" - >/tmp/zarvex-format.$$ 2>&1; then
    cat /tmp/zarvex-format.$$
    changed=$((changed + 1))
  fi
done
rm -f /tmp/zarvex-format.$$
if [ "$changed" -ne 0 ]; then
  echo "clang-format: $changed of ${#cxx[@]} files differ; run scripts/format.sh" >&2
  status=1
fi

"$BIN"/ruff check --quiet . || { echo "ruff: lint failed" >&2; status=1; }
"$BIN"/codespell || { echo "codespell: misspellings found" >&2; status=1; }

if [ "$status" -eq 0 ]; then echo "format and lint: clean"; fi
exit "$status"
