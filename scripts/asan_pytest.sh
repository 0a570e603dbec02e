#!/usr/bin/env bash
# Builds the extension module with AddressSanitizer + UndefinedBehaviorSanitizer
# (and the interpreter-lock checks) in build/asan, then runs the Python suite
# against it with the sanitizer runtimes preloaded into an ordinary interpreter.
#
#   scripts/asan_pytest.sh                                # every file in tests/python
#   scripts/asan_pytest.sh tests/python/test_threads.py   # a subset (pytest arguments)
#
# Environment: JOBS (build parallelism, default 1), ZARVEX_STRESS_SCALE
# (default 0.25: the threaded stress tests run smaller under ASan).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/asan
# shellcheck source=scripts/sanitized_module.sh
. scripts/sanitized_module.sh
build_sanitized_module address "$BUILD" libasan.so libubsan.so

if [ "$#" -eq 0 ]; then set -- tests/python; fi

# detect_leaks=0: the interpreter keeps objects alive until exit by design.
# PYTHONMALLOC=malloc_debug routes Python's allocations through malloc (so
# ASan sees them) with the interpreter's own debug hooks on top.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export PYTHONMALLOC=malloc_debug
export ZARVEX_STRESS_SCALE="${ZARVEX_STRESS_SCALE:-0.25}"
export PYTHONFAULTHANDLER=1
export PYTHONPATH="$PWD/$BUILD${PYTHONPATH:+:$PYTHONPATH}"

LD_PRELOAD="$PRELOAD" "$PY_EXE" -m pytest -q -p no:cacheprovider "$@"
