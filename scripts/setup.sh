#!/usr/bin/env bash
# Installs what building and testing ovrix needs, skipping whatever is already there.
#
# The Python side goes into the interpreter PYTHON names or, without PYTHON, into the virtual
# environment .venv, made from a CPython 3.12 (on PATH, or under pyenv's versions); a machine without
# one gets .venv from python3, and the module then loads in that version only.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
apt_updated=""
apt_install() {
  [ -n "$apt_updated" ] || { $SUDO apt-get update -qq; apt_updated=1; }
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >/dev/null
}

debs=(libsnappy-dev libflatbuffers-dev flatbuffers-compiler libgtest-dev libgmock-dev libfmt-dev)
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"

is_cpython312() {
  "$1" -c 'import sys; sys.exit(not (sys.implementation.name == "cpython" and sys.version_info[:2] == (3, 12)))' \
    >/dev/null 2>&1
}
# A pyenv shim on PATH fails when its version is not the active one: every candidate is run.
find_cpython312() {
  local candidates=() root=${PYENV_ROOT:-$HOME/.pyenv}
  candidates+=("$(command -v python3.12 || true)")
  command -v pyenv >/dev/null 2>&1 && candidates+=("$(pyenv prefix 3.12 2>/dev/null || true)/bin/python3.12")
  candidates+=($(ls -d "$root"/versions/3.12*/bin/python3.12 2>/dev/null | sort -rV))
  candidates+=(/usr/local/bin/python3.12 /usr/bin/python3.12)
  local c
  for c in "${candidates[@]}"; do
    [ -n "$c" ] && [ -x "$c" ] && is_cpython312 "$c" && { echo "$c"; return 0; }
  done
  return 1
}

if [ -z "${PYTHON:-}" ]; then
  if ! base=$(find_cpython312); then
    base=$(command -v python3)
    echo "setup.sh: no CPython 3.12 found; building for $("$base" --version 2>&1) ($base) instead"
  fi
  version() { "$1" -c 'import sys; print(sys.version)' 2>/dev/null; }
  if [ "$(version .venv/bin/python)" != "$(version "$base")" ]; then
    rm -rf .venv
    if ! "$base" -m venv .venv >/dev/null 2>&1; then
      # Debian's interpreters keep venv's pip bootstrap in a package of their own.
      apt_install "python$("$base" -c 'import sys; print("%d.%d" % sys.version_info[:2])')-venv"
      rm -rf .venv
      "$base" -m venv .venv
    fi
  fi
fi
source scripts/python-env.sh

need_pip=()
"$PY" -c "import pybind11, sys; sys.exit(int(pybind11.version_info[0] < 3))" 2>/dev/null || need_pip+=("pybind11>=3")
"$PY" -c "import scikit_build_core" 2>/dev/null || need_pip+=("scikit-build-core>=0.10")
"$PY" -c "import numpy" 2>/dev/null || need_pip+=("numpy")
"$PY" -c "import pytest" 2>/dev/null || need_pip+=("pytest")
"$PY" -c "import flatbuffers" 2>/dev/null || need_pip+=("flatbuffers")
# CMake 3.24 at least (its own, with ctest, when the system's is older or missing).
printf '%s\n' 3.24 "$(cmake --version 2>/dev/null | sed -n 's/^cmake version //p')" | sort -CV || need_pip+=("cmake>=3.24")
command -v ninja >/dev/null || need_pip+=("ninja")
if [ ${#need_pip[@]} -gt 0 ]; then
  "$PY" -m pip install -q --disable-pip-version-check "${need_pip[@]}"
fi
