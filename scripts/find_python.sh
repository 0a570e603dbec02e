# Sourced by the scripts that build or test for several interpreters.
# find_python 3.12 prints the path of a working python3.12 (on PATH, or
# installed by pyenv) that can make virtual environments; fails when there is
# none. A pyenv shim of a version that is not selected exists but fails to
# run, hence the trial run.
find_python() {
  local v=$1 p
  for p in "$(command -v "python$v" 2>/dev/null || true)" "$HOME"/.pyenv/versions/"$v"*/bin/python"$v"; do
    if [ -n "$p" ] && [ -x "$p" ] && "$p" -c 'import venv, sys; sys.exit(0)' 2>/dev/null; then
      echo "$p"
      return 0
    fi
  done
  return 1
}
