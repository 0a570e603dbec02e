#!/usr/bin/env bash
# Installs a repaired wheel from dist/ (see scripts/build_wheels.sh) into a
# new virtual environment and runs the Python suite and every example in
# examples/ against it, with the system's CRoaring and abseil libraries
# hidden: in a private mount namespace each of their shared objects is
# covered by an empty file, so the module can only load the copies that
# travel inside the wheel. Run from a directory outside the checkout, so that
# nothing imports from the source tree.
#
#   scripts/test_wheel.sh          # the wheel for python3.11
#   scripts/test_wheel.sh 3.12     # the wheel for another interpreter
#
# Needs root (or unprivileged user namespaces) for unshare and mount.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
v=${1:-3.11}
tag="cp${v/./}"

source scripts/find_python.sh
PY=$(find_python "$v") || { echo "python$v not found" >&2; exit 1; }
wheel=$(ls dist/[Zz]arvex-*-"$tag"-*manylinux*.whl 2>/dev/null | head -n 1)
[ -n "$wheel" ] || { echo "no repaired $tag wheel in dist/; run scripts/build_wheels.sh $v" >&2; exit 1; }
echo "== $wheel on $PY"

VENV=build/venv-wheeltest-$v
rm -rf "$VENV"
"$PY" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q pytest hypothesis numpy pandas
"$VENV/bin/python" -m pip install -q --no-deps "$wheel"

# The system libraries the unrepaired module links (they must be hidden).
mapfile -t hidden < <(find /usr/lib /usr/local/lib -type f \( -name 'libroaring*.so*' -o -name 'libabsl_*.so*' \) 2>/dev/null)
echo "== hiding ${#hidden[@]} system libraries"

RUN=$(mktemp -d)
trap 'rm -rf "$RUN"' EXIT
cp -r tests/python "$RUN/tests"
cp -r examples "$RUN/examples"

unshare --mount --propagation private bash -euo pipefail -s "$ROOT/$VENV/bin/python" "$RUN" "${hidden[@]}" <<'INNER'
py=$1 run=$2
shift 2
for f in "$@"; do mount --bind /dev/null "$f"; done
cd "$run"
# The hiding works: the system CRoaring cannot be loaded any more.
if "$py" -c 'import ctypes; ctypes.CDLL("libroaring.so.0")' 2>/dev/null; then
  echo "system libroaring is still loadable: hiding failed" >&2
  exit 1
fi
"$py" - <<'PY'
import Zarvex, pathlib
print("Zarvex", Zarvex.__version__, "from", Zarvex.__file__)
assert "site-packages" in Zarvex.__file__, Zarvex.__file__
maps = pathlib.Path("/proc/self/maps").read_text()
libs = sorted({line.split()[-1] for line in maps.splitlines() if "roaring" in line or "absl" in line})
assert libs and all("site-packages" in lib for lib in libs), libs
print("bundled libraries in use:", len(libs))
PY
for ex in examples/*.py; do
  echo "== $ex"
  "$py" "$ex" >/dev/null
done
"$py" -m pytest -q -p no:cacheprovider tests
INNER
