# SPDX-License-Identifier: MIT
# Cross build for 32-bit ARM Linux, hard-float (Debian armhf), with Debian's cross compiler and
# the armhf libraries of the multiarch packages (libpci-dev:armhf, libgtest-dev:armhf, ...).
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# Test binaries run under qemu-user, so ctest works on the build machine.
set(ORVEX_TARGET_TRIPLET arm-linux-gnueabihf)
set(ORVEX_DEB_ARCH armhf)
set(ORVEX_QEMU qemu-arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch-cross.cmake)
