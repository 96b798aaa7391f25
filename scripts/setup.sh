#!/usr/bin/env bash
# Installs what building and testing ovrix needs, skipping whatever is already there.
set -euo pipefail

debs=(libsnappy-dev libflatbuffers-dev flatbuffers-compiler libgtest-dev libgmock-dev libfmt-dev)
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PY=${PYTHON:-python3}
need_pip=()
$PY -c "import pybind11, sys; sys.exit(int(pybind11.version_info[0] < 3))" 2>/dev/null || need_pip+=("pybind11>=3")
$PY -c "import scikit_build_core" 2>/dev/null || need_pip+=("scikit-build-core>=0.10")
$PY -c "import numpy" 2>/dev/null || need_pip+=("numpy")
$PY -c "import pytest" 2>/dev/null || need_pip+=("pytest")
$PY -c "import flatbuffers" 2>/dev/null || need_pip+=("flatbuffers")
command -v cmake >/dev/null || need_pip+=("cmake")
command -v ninja >/dev/null || need_pip+=("ninja")
if [ ${#need_pip[@]} -gt 0 ]; then
  $PY -m pip install -q "${need_pip[@]}"
fi
