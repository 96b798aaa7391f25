#!/usr/bin/env bash
# Builds the extension and the C++ tests in one CMake build (build/dev) and installs the package.
# Extra arguments are passed to pip as config settings, e.g. -Ccmake.define.OVRIX_SANITIZE=ON.
# The module is built for the interpreter that installs it (scripts/python-env.sh), which is CPython 3.12
# unless PYTHON or a machine without 3.12 says otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python-env.sh
BUILD_DIR=${OVRIX_BUILD_DIR:-build/dev}
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps --ignore-requires-python \
  -Cbuild-dir="$BUILD_DIR" \
  -Ccmake.define.OVRIX_PYTHON_VERSION="$PY_VERSION" \
  -Ccmake.define.OVRIX_BUILD_TESTS=ON \
  -Cbuild.verbose=false \
  "$@" .
