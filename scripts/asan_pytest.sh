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

PY=python3
if [ -x .venv/bin/python ]; then PY=.venv/bin/python; fi
# The real interpreter, not a wrapper script (pyenv shims are shell scripts).
PY_EXE="$("$PY" -c 'import sys; print(sys.executable)')"
BUILD=build/asan
CXX_BIN="${CXX:-g++}"

GEN=()
if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi
cmake -S . -B "$BUILD" "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZARVEX_SANITIZE=address -DZARVEX_CHECKED=ON -DZARVEX_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$PY_EXE" >/dev/null
cmake --build "$BUILD" -j "${JOBS:-1}"

# The interpreter is not instrumented, so the runtimes must come first in the
# link order: preload them. libstdc++ is preloaded as well, so that ASan's
# interceptor of __cxa_throw finds the real function at start-up; with
# libasan alone the first C++ exception thrown by the module aborts with
# "CHECK failed: asan_interceptors.cpp:320 real___cxa_throw != 0" (libubsan
# happens to pull libstdc++ in; naming it keeps that from being an accident).
lib() { "$CXX_BIN" -print-file-name="$1"; }
PRELOAD="$(lib libasan.so) $(lib libubsan.so) $(lib libstdc++.so)"
for f in $PRELOAD; do
  [ -e "$f" ] || { echo "missing sanitizer runtime: $f" >&2; exit 1; }
done

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
