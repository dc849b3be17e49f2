# shellcheck shell=bash
# find_python VERSION: prints the path of a CPython of that version (e.g. 3.12),
# or returns 1. Looked for, in order: $VELTRA_PYTHON (when it is that version),
# $VELTRA_PYTHON_DIR/pythonVERSION, pythonVERSION on PATH, then pyenv.
# Sourced by ./dev and the scripts in tools/.
find_python() {
  local v=$1 p
  for p in "${VELTRA_PYTHON:-}" "${VELTRA_PYTHON_DIR:+$VELTRA_PYTHON_DIR/python$v}" \
           "$(command -v "python$v" 2>/dev/null || true)" \
           "$( (pyenv prefix "$v" 2>/dev/null || true) | head -n1)/bin/python$v"; do
    if [ -n "$p" ] && [ -x "$p" ] &&
       "$p" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$v'.split('.'))))" 2>/dev/null; then
      echo "$p"; return 0
    fi
  done
  return 1
}
