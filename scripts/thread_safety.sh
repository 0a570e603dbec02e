#!/usr/bin/env bash
# Builds the collections, the C++ tests and the extension module with clang
# and its lock analysis (-Wthread-safety, -Wthread-safety-beta for the lock
# order) as errors, in build/clang. Nothing is run: the build is the check.
# Needs Debian's clang (scripts/bootstrap.sh installs it).
set -euo pipefail
cd "$(dirname "$0")/.."

PY=python3
if [ -x .venv/bin/python ]; then PY=.venv/bin/python; fi
export PATH="$PWD/.venv/bin:$PATH"   # cmake and ninja from the project's environment
BUILD=build/clang

GEN=()
if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi
CC=clang CXX=clang++ cmake -S . -B "$BUILD" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Debug \
  -DZARVEX_BUILD_TESTS=ON -DZARVEX_CHECKED=ON -DZARVEX_WERROR=ON -DZARVEX_THREAD_SAFETY=ON \
  -DPython_EXECUTABLE="$("$PY" -c 'import sys; print(sys.executable)')" >/dev/null
cmake --build "$BUILD" -j "${JOBS:-2}"
echo "thread-safety: clang build with -Wthread-safety -Werror is clean"

# The analysis must still reject each lock-order fault of the fault file
# (annotations that stopped expanding, or an order edge lost, would pass
# the build above silently).
FAULTS=tests/cpp/lock_faults/lock_order.cpp
FLAGS=(-std=gnu++20 -fsyntax-only -Wthread-safety -Wthread-safety-beta -Werror -Isrc
  -isystem "$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')")
while IFS= read -r line; do
  n=$(sed -E 's/^#(el)?if FAULT == ([0-9]+).*/\2/' <<<"$line")
  want=${line#*rejects: }
  if out=$(clang++ "${FLAGS[@]}" -DFAULT="$n" "$FAULTS" 2>&1); then
    echo "thread-safety: fault $n compiled: $want" >&2
    exit 1
  fi
  grep -qF -- "$want" <<<"$out" || { echo "$out" >&2; echo "thread-safety: fault $n not rejected as: $want" >&2; exit 1; }
done < <(grep -E '^#(el)?if FAULT == [0-9]+ +// rejects: ' "$FAULTS")
echo "thread-safety: every lock-order fault in $FAULTS is rejected"
