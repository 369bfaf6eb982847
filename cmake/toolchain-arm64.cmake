# Cross build for Debian arm64 (64-bit ARM boards) with Debian's cross
# toolchain (crossbuild-essential-arm64); libraries, GoogleTest included,
# come from Debian's arm64 packages installed beside the machine's own
# (multiarch). tools/cross.sh sets all of it up.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
