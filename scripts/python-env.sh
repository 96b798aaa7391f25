# Sourced by the scripts: the interpreter they build, install and test with.
# PYTHON chooses it; otherwise it is the project's virtual environment .venv, which scripts/setup.sh
# makes from a CPython 3.12. Sets PY (the interpreter) and PY_VERSION (its "major.minor"), and puts the
# environment's programs (cmake, ninja or ctest when pip installed them there) first on PATH.
OVRIX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PY=${PYTHON:-$OVRIX_ROOT/.venv/bin/python}
if ! PY_VERSION=$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null); then
  echo "$(basename "$0"): no Python at $PY: run scripts/setup.sh first, or set PYTHON" >&2
  exit 1
fi
if "$PY" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then
  PATH="$("$PY" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
  export PATH
fi
