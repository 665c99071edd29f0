# SPDX-License-Identifier: MIT
# Cross build for 64-bit ARM Linux (Debian arm64), with Debian's cross compiler and the arm64
# libraries of the multiarch packages (libpci-dev:arm64, libgtest-dev:arm64, ...).
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Test binaries run under qemu-user, so ctest works on the build machine.
set(ORVEX_TARGET_TRIPLET aarch64-linux-gnu)
set(ORVEX_DEB_ARCH arm64)
set(ORVEX_QEMU qemu-aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch-cross.cmake)
