#!/usr/bin/env bash
# Cross-builds ovrix for 64-bit Arm Linux (aarch64) and runs its tests there under user-mode QEMU
# (qemu-aarch64-static; no binfmt registration needed): the GoogleTest suite, then, unless the only
# argument is "cpp", the Python suite.
#
# The build (build/arm64) uses Debian's cross compiler, the arm64 -dev packages of the libraries
# (multiarch) and the build machine's flatc. No arm64 CPython 3.12 is packaged for this Debian, so the
# extension is built for Debian's arm64 CPython 3.11, which runs the Python suite with its NumPy:
# their packages are unpacked into build/arm64/sysroot (no chroot, nothing installed), pytest and the
# flatbuffers runtime are added there from PyPI, with pytest-xdist, which runs the Python suite in one
# QEMU process per core. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/python-env.sh
BUILD_DIR=build/arm64
SYSROOT=$BUILD_DIR/sysroot
# The arm64 loader and libraries are multiarch's, under /. (The cross compiler's glibc under
# /usr/aarch64-linux-gnu is another build of it than the multiarch libraries its loader would then find:
# programs hang at start-up with that pair.)
QEMU=(qemu-aarch64-static -L /)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# The cross tool chain, QEMU and the arm64 libraries, installed once.
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
debs=(g++-aarch64-linux-gnu qemu-user-static
      libsnappy-dev:arm64 libflatbuffers-dev:arm64 libfmt-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64)
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  dpkg --print-foreign-architectures | grep -qx arm64 || $SUDO dpkg --add-architecture arm64
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Debian's arm64 CPython 3.11 and NumPy, with what they load, unpacked into the sysroot.
python_debs=(python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev libexpat1 zlib1g
             libffi8 libbz2-1.0 liblzma5 libssl3 libuuid1 python3-numpy libblas3 liblapack3 libgfortran5)
python_wheels=(pytest pytest-xdist flatbuffers)
if [ "$(cat "$SYSROOT/.packages" 2>/dev/null)" != "${python_debs[*]} ${python_wheels[*]}" ]; then
  rm -rf "$SYSROOT" "$BUILD_DIR/debs"
  mkdir -p "$SYSROOT" "$BUILD_DIR/debs"
  # apt's download sandbox user cannot write into a directory of root's.
  sandbox=(); [ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)
  (cd "$BUILD_DIR/debs" && apt-get download -qq "${sandbox[@]}" "${python_debs[@]/%/:arm64}")
  for deb in "$BUILD_DIR"/debs/*.deb; do dpkg -x "$deb" "$SYSROOT"; done
  # The BLAS and LAPACK links that update-alternatives would make.
  ln -sf blas/libblas.so.3 "$SYSROOT/usr/lib/aarch64-linux-gnu/libblas.so.3"
  ln -sf lapack/liblapack.so.3 "$SYSROOT/usr/lib/aarch64-linux-gnu/liblapack.so.3"
  "$PY" -m pip install -q --disable-pip-version-check --target "$SYSROOT/site" --python-version 3.11 \
    --only-binary=:all: "${python_wheels[@]}"
  echo "${python_debs[*]} ${python_wheels[*]}" > "$SYSROOT/.packages"
fi
# python3.11-config is a shell script: it runs here and names the module suffix of the target.
suffix=$(sh "$SYSROOT/usr/bin/aarch64-linux-gnu-python3.11-config" --extension-suffix)

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=Release -DOVRIX_BUILD_TESTS=ON -DOVRIX_PYTHON_VERSION=3.11 \
  -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" \
  -DPython_INCLUDE_DIR="$PWD/$SYSROOT/usr/include/python3.11" -DCMAKE_CXX_FLAGS="-isystem $PWD/$SYSROOT/usr/include" \
  -DPYTHON_MODULE_EXTENSION="$suffix" -DPYTHON_IS_DEBUG=OFF -DPYTHON_MODULE_DEBUG_POSTFIX= >/dev/null
cmake --build "$BUILD_DIR" > "$BUILD_DIR/build.log" 2>&1 ||
  { tail -n 60 "$BUILD_DIR/build.log" >&2; echo "test-arm64.sh: the aarch64 build failed (log: $BUILD_DIR/build.log)" >&2; exit 1; }
for binary in "$BUILD_DIR/ovrix_tests" "$BUILD_DIR/core$suffix"; do
  aarch64-linux-gnu-readelf -h "$binary" | grep -q "Machine: *AArch64" ||
    { echo "test-arm64.sh: $binary is not an aarch64 file" >&2; exit 1; }
done

# The GoogleTest suite in one process (each test on its own would start QEMU a thousand times). It also
# writes the sample program that the Python suite reads.
rm -rf "$BUILD_DIR/sample" && mkdir -p "$BUILD_DIR/sample"
start=$SECONDS
OVRIX_SOURCE_DIR="$PWD" OVRIX_SAMPLE_DIR="$PWD/$BUILD_DIR/sample" "${QEMU[@]}" "$BUILD_DIR/ovrix_tests" --gtest_brief=1 \
  > "$BUILD_DIR/gtest.log" 2>&1 || { cat "$BUILD_DIR/gtest.log" >&2; echo "test-arm64.sh: GoogleTest suite failed on aarch64" >&2; exit 1; }
echo "aarch64 GoogleTest: $(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\./\1/p' "$BUILD_DIR/gtest.log") passed in $((SECONDS - start)) s"
[ "${1:-}" != cpp ] || exit 0

# The Python suite, on the arm64 interpreter. The package is the source's Python files and the aarch64
# module. The tests start child interpreters with sys.executable, which is therefore a script that runs
# the interpreter under QEMU (whose -0 gives the interpreter that script's path as its own name); so do
# pytest-xdist's workers, one per core: every test runs in a worker whatever their number, and no test
# shares a file or a device with another (temporary files are each test's own, emulated devices each
# child interpreter's).
rm -rf "$BUILD_DIR/python" && mkdir -p "$BUILD_DIR/python/ovrix"
cp python/ovrix/*.py "$BUILD_DIR/python/ovrix/"
cp "$BUILD_DIR/core$suffix" "$BUILD_DIR/python/ovrix/"
python="$PWD/$SYSROOT/usr/bin/python3.11-qemu"
printf '#!/bin/sh\nexec %s -L "%s" -0 "$0" "%s" "$@"\n' "${QEMU[0]}" "$PWD/$SYSROOT" "$PWD/$SYSROOT/usr/bin/python3.11" > "$python"
chmod +x "$python"
start=$SECONDS
PYTHONPATH="$PWD/$SYSROOT/site:$PWD/$BUILD_DIR/python" OVRIX_SAMPLE_DIR="$PWD/$BUILD_DIR/sample" \
  "$python" -m pytest -q -rfEs -p no:cacheprovider -n "$(nproc)" tests/python
echo "aarch64 pytest: $((SECONDS - start)) s"
