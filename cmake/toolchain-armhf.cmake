# Cross build for Debian armhf (32-bit ARMv7 boards with a hardware FPU)
# with Debian's cross toolchain (crossbuild-essential-armhf); libraries,
# GoogleTest included, come from Debian's armhf packages installed beside
# the machine's own (multiarch). tools/cross.sh sets all of it up.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
