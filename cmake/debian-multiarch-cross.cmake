# SPDX-License-Identifier: MIT
# Common part of the Debian cross toolchain files; expects ORVEX_TARGET_TRIPLET, ORVEX_DEB_ARCH,
# ORVEX_QEMU and CMAKE_SYSTEM_PROCESSOR to be set by the including file.
#
# Debian keeps the target's libraries in the multiarch directory /usr/lib/<triplet> of the build
# machine itself (and the cross compiler's own runtime under /usr/<triplet>), so there is no
# sysroot: the searches stay on /usr and the library architecture picks the right directory.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${ORVEX_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ORVEX_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ORVEX_TARGET_TRIPLET})

# The target's ABI as this release builds it: Debian 13 builds armhf with 64-bit time_t and off_t
# (Debian 12 with 32 bits), and the release's libpci, GoogleTest and FUSE have them in their
# interfaces. dpkg-buildflags names the flags that choose them, if any (its cross compiler defines
# them by itself, but the build says so like the release's packages do); ORVEX_TIME64 makes every
# program of the build check at compile time that it has them (cmake/time64.cpp).
find_program(ORVEX_DPKG_BUILDFLAGS dpkg-buildflags)
if(ORVEX_DPKG_BUILDFLAGS)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${ORVEX_DEB_ARCH}
                  ${ORVEX_DPKG_BUILDFLAGS} --get CPPFLAGS
                  OUTPUT_VARIABLE orvex_cppflags ERROR_QUIET)
  string(REGEX MATCHALL "-D_(TIME_BITS|FILE_OFFSET_BITS)=64" orvex_abi_flags "${orvex_cppflags}")
  if("-D_TIME_BITS=64" IN_LIST orvex_abi_flags)
    list(JOIN orvex_abi_flags " " orvex_abi_flags)
    set(CMAKE_C_FLAGS_INIT "${orvex_abi_flags}")
    set(CMAKE_CXX_FLAGS_INIT "${orvex_abi_flags}")
    set(ORVEX_TIME64 ON)
  endif()
endif()

# Only the target's .pc files: libpci, gtest and fuse3 come from the <package>:<arch> packages.
# The toolchain file is read again at every (re)configure, so the variables are always in place.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ORVEX_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# find_package(GTest) takes the target's package configuration, not the build machine's.
if(EXISTS /usr/lib/${ORVEX_TARGET_TRIPLET}/cmake/GTest/GTestConfig.cmake)
  set(GTest_DIR /usr/lib/${ORVEX_TARGET_TRIPLET}/cmake/GTest CACHE PATH
      "GTest package configuration of the target architecture")
endif()

# ctest (and gtest_discover_tests) run the target's binaries through qemu-user; -L lets qemu find
# the target's dynamic loader, the one of the cross compiler's runtime in /usr/<triplet>/lib.
# The C library must come from the same place: left alone, the loader would pick the multiarch
# libc.so.6 of libc6:<arch>, which Debian updates separately from the cross runtime, and a loader
# and C library from different builds crash in the child after fork(). Libraries the cross runtime
# lacks (libpci, libudev, ...) still come from the multiarch directory.
find_program(ORVEX_QEMU_PROGRAM ${ORVEX_QEMU})
if(NOT ORVEX_QEMU_PROGRAM)
  set(ORVEX_QEMU_PROGRAM ${ORVEX_QEMU})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVEX_QEMU_PROGRAM} -L /usr/${ORVEX_TARGET_TRIPLET}
    -E LD_LIBRARY_PATH=/usr/${ORVEX_TARGET_TRIPLET}/lib)
