# Sourced by asan_pytest.sh and tsan_pytest.sh (from the repository root):
#   build_sanitized_module SANITIZER BUILD_DIR RUNTIME...
# builds the extension module with ZARVEX_SANITIZE=SANITIZER and the
# interpreter-lock checks in BUILD_DIR, then sets PY_EXE (the real
# interpreter, not a wrapper script: pyenv shims are shell scripts) and
# PRELOAD (the runtimes' paths, then libstdc++'s). The interpreter is not
# instrumented, so the runtimes must come first in the link order: they are
# preloaded. libstdc++ is preloaded as well, so that the runtime's interceptor
# of __cxa_throw finds the real function at start-up (with the runtime alone
# the first C++ exception thrown by the module aborts in the interceptor).
# Environment: JOBS (build parallelism, default 1), CXX.
build_sanitized_module() {
  local sanitizer="$1" build="$2"
  shift 2
  local py=python3
  if [ -x .venv/bin/python ]; then py=.venv/bin/python; fi
  PY_EXE="$("$py" -c 'import sys; print(sys.executable)')"
  local gen=()
  if command -v ninja >/dev/null 2>&1; then gen=(-G Ninja); fi
  cmake -S . -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZARVEX_SANITIZE="$sanitizer" -DZARVEX_CHECKED=ON -DZARVEX_BUILD_TESTS=OFF \
    -DPython_EXECUTABLE="$PY_EXE" >/dev/null
  cmake --build "$build" -j "${JOBS:-1}"
  local cxx="${CXX:-g++}" runtime path
  PRELOAD=""
  for runtime in "$@" libstdc++.so; do
    path="$("$cxx" -print-file-name="$runtime")"
    [ -e "$path" ] || { echo "missing sanitizer runtime: $path" >&2; return 1; }
    PRELOAD="${PRELOAD:+$PRELOAD }$path"
  done
}
