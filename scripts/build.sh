#!/usr/bin/env bash
# Builds the extension and the C++ tests in one CMake build (build/dev) and installs the package.
# Extra arguments are passed to pip as config settings, e.g. -Ccmake.define.OVRIX_SANITIZE=ON.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
BUILD_DIR=${OVRIX_BUILD_DIR:-build/dev}
$PY -m pip install -q --no-build-isolation --no-deps \
  -Cbuild-dir="$BUILD_DIR" \
  -Ccmake.define.OVRIX_BUILD_TESTS=ON \
  -Cbuild.verbose=false \
  "$@" .
