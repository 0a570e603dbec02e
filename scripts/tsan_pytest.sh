#!/usr/bin/env bash
# Builds the extension module with ThreadSanitizer (and the interpreter-lock
# checks) in build/tsan-py, then runs the Python suite against it with the
# runtime preloaded into an ordinary interpreter; a data race fails the run.
#
#   scripts/tsan_pytest.sh                                # every file in tests/python
#   scripts/tsan_pytest.sh tests/python/test_threads.py   # a subset (pytest arguments)
#
# The interpreter is not instrumented: its own memory accesses are invisible
# to the sanitizer, but its locks (the interpreter lock is a pthread mutex
# and condition) are intercepted, so the order they give the module's
# accesses is seen. Races are reported between the module's accesses.
#
# Environment: JOBS (build parallelism, default 1), ZARVEX_STRESS_SCALE
# (default 0.25: the threaded stress tests run smaller under TSan).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/tsan-py
# shellcheck source=scripts/sanitized_module.sh
. scripts/sanitized_module.sh
build_sanitized_module thread "$BUILD" libtsan.so

if [ "$#" -eq 0 ]; then set -- tests/python; fi

# A report ends the process at once (exit code 66); pytest's capture would
# swallow it, so it also goes to a file named in the message below.
LOG="${TMPDIR:-/tmp}/zarvex-tsan.$$"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$LOG:suppressions=$PWD/scripts/tsan_pytest.supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
export ZARVEX_STRESS_SCALE="${ZARVEX_STRESS_SCALE:-0.25}"
export PYTHONFAULTHANDLER=1
export PYTHONPATH="$PWD/$BUILD${PYTHONPATH:+:$PYTHONPATH}"

status=0
LD_PRELOAD="$PRELOAD" "$PY_EXE" -m pytest -q -p no:cacheprovider "$@" || status=$?
if compgen -G "$LOG.*" >/dev/null; then
  echo "ThreadSanitizer reports:" >&2
  cat "$LOG".* >&2
  rm -f "$LOG".*
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
