# Cross build for 64-bit Arm Linux with Debian's cross compiler and the arm64 libraries of Debian's
# multiarch (/usr/lib/aarch64-linux-gnu); programs such as flatc stay the build machine's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
