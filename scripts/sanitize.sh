#!/usr/bin/env bash
# Runs the whole test suite with AddressSanitizer and UndefinedBehaviorSanitizer, then fuzzes the model
# loader and the device-program readers for a short while.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/python-env.sh
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
BUILD_DIR=build/asan
OVRIX_BUILD_DIR="$BUILD_DIR" bash scripts/build.sh -Ccmake.define.OVRIX_SANITIZE=ON -Ccmake.build-type=Debug
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
# CPython itself is not built with ASan: preload the runtime, and leave leak checking to the C++ tests.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0 OVRIX_BUILD_DIR="$BUILD_DIR" "$PY" -m pytest -q -p no:cacheprovider tests/python
# Put the normal build back in place for later runs.
bash scripts/build.sh
# A short run of the loader and program-reader fuzz targets (scripts/fuzz.sh runs them longer).
bash scripts/fuzz.sh "${OVRIX_FUZZ_SECONDS:-20}"
