# Common part of the Debian cross toolchain files; expects ORVEX_TARGET_TRIPLET, ORVEX_QEMU and
# CMAKE_SYSTEM_PROCESSOR to be set by the including file.
#
# Debian keeps the target's libraries in the multiarch directory /usr/lib/<triplet> of the build
# machine itself (and the cross compiler's own runtime under /usr/<triplet>), so there is no
# sysroot: the searches stay on /usr and the library architecture picks the right directory.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${ORVEX_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ORVEX_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ORVEX_TARGET_TRIPLET})

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
# the target's dynamic loader and the cross compiler's runtime libraries.
find_program(ORVEX_QEMU_PROGRAM ${ORVEX_QEMU})
if(ORVEX_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVEX_QEMU_PROGRAM} -L /usr/${ORVEX_TARGET_TRIPLET})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVEX_QEMU} -L /usr/${ORVEX_TARGET_TRIPLET})
endif()
