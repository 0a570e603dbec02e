#!/usr/bin/env bash
# Makes build/venv-bench, the environment the benchmark suite is run in:
# numpy, pandas and matplotlib, and ducks. ducks pins BTrees < 5 (which no
# longer builds from source) and numpy < 2, so it is installed without its
# dependencies, and its runtime dependencies are installed by name: BTrees,
# cykhash, readerwriterlock, sortednp. sortednp's wheels are built against
# numpy 1.x, so numpy stays below 2 here, and pandas below 3 (pandas 3 needs
# numpy 2).
#
#   benchmarks/setup_env.sh && build/venv-bench/bin/python benchmarks/run_all.py --quick
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
if [ -x .venv/bin/python ]; then PY=$(.venv/bin/python -c 'import sys; print(sys.executable)'); fi
VENV=build/venv-bench
if [ ! -x "$VENV/bin/python" ]; then "$PY" -m venv "$VENV"; fi
"$VENV/bin/python" -m pip install -q "numpy<2" "pandas<3" matplotlib BTrees cykhash readerwriterlock sortednp
"$VENV/bin/python" -m pip install -q --no-deps ducks
"$VENV/bin/python" -c 'import ducks, pandas, matplotlib; print("benchmark environment ready:", ducks.__name__, pandas.__version__, matplotlib.__version__)'
