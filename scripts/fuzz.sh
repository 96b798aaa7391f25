#!/usr/bin/env bash
# Fuzzes the model loader and the device-program readers with libFuzzer, under AddressSanitizer and
# UndefinedBehaviorSanitizer. Usage: scripts/fuzz.sh [seconds per target, default 20]
#
# Builds the fuzz targets with clang in build/fuzz (installing clang and its libFuzzer runtime when
# they are missing), writes the seed corpora from the models and programs the tests build, and runs
# each target for the given time. What the fuzzer finds is kept in build/fuzz/corpus/<target> and
# grows from run to run; an input that crashes a target is written to build/fuzz/artifacts and fails
# the script (replay it with build/fuzz/fuzz/fuzz_<target> <file>).
set -euo pipefail
cd "$(dirname "$0")/.."
RUN_SECONDS=${1:-20}
BUILD_DIR=build/fuzz
bash scripts/setup.sh
source scripts/python-env.sh

# A clang that links libFuzzer: clang++-14 when there is one (OVRIX_CLANG chooses another).
fuzzer_links() {
  command -v "$1" >/dev/null 2>&1 || return 1
  local probe
  probe=$(mktemp -d)
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' > "$probe/p.cpp"
  "$1" -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1
  local status=$?
  rm -rf "$probe"
  return $status
}
CLANG=${OVRIX_CLANG:-}
if [ -z "$CLANG" ]; then
  CLANG=clang++-14
  command -v "$CLANG" >/dev/null 2>&1 || ! command -v clang++ >/dev/null 2>&1 || CLANG=clang++
fi
if ! fuzzer_links "$CLANG"; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang-14 >/dev/null
  # The libFuzzer and sanitizer runtimes are packaged apart on recent Debian and Ubuntu releases.
  fuzzer_links clang++-14 || DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq libclang-rt-14-dev >/dev/null
  CLANG=clang++-14
  fuzzer_links "$CLANG" || { echo "fuzz.sh: $CLANG cannot link libFuzzer" >&2; exit 1; }
fi

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CLANG" \
  -DOVRIX_FUZZ=ON -DPython_EXECUTABLE="$(command -v "$PY")" -DOVRIX_PYTHON_VERSION="$PY_VERSION" >/dev/null
cmake --build "$BUILD_DIR" --target fuzz_model_loader fuzz_program_reader fuzz_seeds

rm -rf "$BUILD_DIR/seeds"
"$BUILD_DIR/fuzz/fuzz_seeds" "$BUILD_DIR/seeds/model_loader" "$BUILD_DIR/seeds/program_reader"
mkdir -p "$BUILD_DIR/artifacts"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1
for target in model_loader program_reader; do
  mkdir -p "$BUILD_DIR/corpus/$target"
  log="$BUILD_DIR/$target.log"
  if ! "$BUILD_DIR/fuzz/fuzz_$target" -max_total_time="$RUN_SECONDS" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$BUILD_DIR/artifacts/$target-" \
      "$BUILD_DIR/corpus/$target" "$BUILD_DIR/seeds/$target" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz.sh: fuzz_$target failed (log: $log)" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  added=$(sed -n 's/^stat::new_units_added: *//p' "$log")
  corpus=$(find "$BUILD_DIR/corpus/$target" -type f | wc -l)
  echo "fuzz_$target: $runs executions in ${RUN_SECONDS} s ($speed/s), $added new inputs, corpus of $corpus"
done
