#!/usr/bin/env bash
# Builds the C++ suite of the Python-free core (collections, locks, bitmap)
# with ThreadSanitizer in build/tsan and runs it; a data race fails the run.
# The randomized tests keep their fixed default sizes (the longer runs are
# the commands in CONTRIBUTING.md).
#
#   scripts/tsan_tests.sh                         # the whole suite
#   scripts/tsan_tests.sh --gtest_filter='Poison*'   # GoogleTest arguments
#
# Environment: JOBS (build parallelism, default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"   # cmake and ninja from the project's environment
BUILD=build/tsan

GEN=()
if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi
cmake -S . -B "$BUILD" "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZARVEX_SANITIZE=thread -DZARVEX_CHECKED=ON -DZARVEX_BUILD_TESTS=ON -DZARVEX_BUILD_MODULE=OFF >/dev/null
cmake --build "$BUILD" -j "${JOBS:-2}"

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
"$BUILD"/zarvex_tests --gtest_brief=1 "$@"
