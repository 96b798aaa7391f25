#!/usr/bin/env bash
# The test command: installs what is missing, builds once, runs CTest and pytest.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/python-env.sh
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
BUILD_DIR=${OVRIX_BUILD_DIR:-build/dev}
OVRIX_BUILD_DIR="$BUILD_DIR" bash scripts/build.sh
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
# Run pytest from the tests folder so that the installed package, not the source tree, is imported. It
# reads a sample program that this build's C++ tests write (not another build's, such as the aarch64 one).
OVRIX_BUILD_DIR="$BUILD_DIR" "$PY" -m pytest -q -p no:cacheprovider tests/python
