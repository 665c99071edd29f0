# SPDX-License-Identifier: MIT
# The two commands of the README, the lint check, and the build steps behind them.
#   make demo   build orvex and run its main job against the simulated controller
#   make test   build everything (plain and with sanitizers) and run the whole test suite
#   make lint   cppcheck over the C and C++ sources and shellcheck over every shell script: a line
#               per tool, clean or its findings; any finding fails

BUILD      ?= build
BUILD_SAN  ?= build-san
JOBS       ?= $(shell nproc)
PACKAGES   := cmake make g++ pkg-config libpci-dev googletest libgtest-dev libfuse3-dev fuse3 valgrind
LINT_PACKAGES := cppcheck shellcheck pkg-config libpci-dev

# Quiet: no directory chatter from the nested makes, and build output only when a step fails.
MAKEFLAGS += --no-print-directory
QUIETLY   := scripts/quietly

# What is slow to make and kept between runs on this machine, for a week at most: Debian trees,
# the previous release's packages, and with ORVEX_CCACHE=1 (as CI and make check-all run) the
# compiler cache of the development builds (scripts/cache.sh).
ORVEX_CACHE ?= /var/cache/orvex
export ORVEX_CACHE
ifeq ($(ORVEX_CCACHE),1)
export CCACHE_DIR := $(ORVEX_CACHE)/ccache
PACKAGES += ccache
CMAKE_CCACHE := -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
endif
CMAKE_CONFIGURE := cmake $(CMAKE_CCACHE)

.PHONY: all deps build build-san demo test lint clean check-all ci

all: build

deps:
	@scripts/need-packages $(PACKAGES)

build: deps
	@echo "== building $(BUILD)"
	@$(QUIETLY) "configure $(BUILD)" $(CMAKE_CONFIGURE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	@$(QUIETLY) "build $(BUILD)" cmake --build $(BUILD) -j $(JOBS)

build-san: deps
	@echo "== building $(BUILD_SAN) (AddressSanitizer, UndefinedBehaviorSanitizer)"
	@$(QUIETLY) "configure $(BUILD_SAN)" $(CMAKE_CONFIGURE) -S . -B $(BUILD_SAN) -DCMAKE_BUILD_TYPE=Debug -DORVEX_SANITIZE=ON
	@$(QUIETLY) "build $(BUILD_SAN)" cmake --build $(BUILD_SAN) -j $(JOBS)

demo: build
	@scripts/demo $(BUILD)

test: build build-san
	@scripts/run-tests $(BUILD) $(JOBS)
	@scripts/run-tests $(BUILD_SAN) $(JOBS) -LE system

lint:
	@scripts/need-packages $(LINT_PACKAGES)
	@scripts/lint

clean:
	rm -rf $(BUILD) $(BUILD_SAN)

# Every check, one after the other, ending with one table (scripts/check-all; needs root):
#   make ci         what CI runs on every change (.ci/run)
#   make check-all  everything: CI's checks and those left to a release
ci:
	@scripts/check-all ci

check-all:
	@scripts/check-all all

# Target builds, installation and Debian packages.
#   make build-armhf   cross-build orvex for 32-bit ARM hard-float (the board) into build-armhf/
#   make test-armhf    ... build the test suite too and run all of it under qemu-arm (the system
#                      tests with the native orvex-sim and orvex-sysfs of $(BUILD))
#   make build-arm64   cross-build orvex for 64-bit ARM into build-arm64/
#   make test-arm64    ... build the test suite too and run all of it under qemu-aarch64 (as above)
#   make install       install bin/orvex and its man page (PREFIX=/usr/local, DESTDIR honoured)
#   make deb           the source package and the amd64, armhf and arm64 packages built from it
#                      into build-deb/, then checked: lintian, hardening, a rebuild in a clean tree
#                      that must give the same bytes, piuparts and autopkgtest (needs root)
#   make autopkgtest   the autopkgtest part alone, on the packages make deb left in build-deb/
#   make test-debian13
#                      make test, make test-armhf, make test-arm64 and make deb on Debian 13, in a
#                      system tree made once with mmdebstrap and kept in build-debian13/root
#                      (needs root)

BUILD_ARMHF   ?= build-armhf
BUILD_ARM64   ?= build-arm64
BUILD_INSTALL ?= build-install
BUILD_DEB     ?= build-deb
BUILD_DEBIAN13 ?= build-debian13
BUILD_TREES   ?= $(ORVEX_CACHE)/trees
PREFIX        ?= /usr/local
DESTDIR       ?=

CROSS_COMMON    := cmake make pkg-config dpkg-dev qemu-user fuse3
ARMHF_PACKAGES  := $(CROSS_COMMON) g++-arm-linux-gnueabihf libpci-dev:armhf libgtest-dev:armhf \
                   libfuse3-dev:armhf
ARM64_PACKAGES  := $(CROSS_COMMON) g++-aarch64-linux-gnu libpci-dev:arm64 libgtest-dev:arm64 \
                   libfuse3-dev:arm64
INSTALL_PACKAGES := cmake make g++ pkg-config libpci-dev
# What makes a Debian tree of another architecture: mmdebstrap, which needs arch-test to see that
# qemu-user runs the tree's programs.
FOREIGN_TREE_PACKAGES := mmdebstrap arch-test qemu-user-static
# The package checks make throw-away Debian trees with mmdebstrap (foreign ones run under
# qemu-user), build the previous release from git and compare rebuilds with diffoscope.
AUTOPKGTEST_PACKAGES := autopkgtest $(FOREIGN_TREE_PACKAGES) dpkg-dev
DEB_PACKAGES    := build-essential dpkg-dev debhelper devscripts lintian \
                   cmake pkg-config libpci-dev libgtest-dev \
                   g++-arm-linux-gnueabihf pkg-config:armhf libpci-dev:armhf libstdc++6:armhf \
                   g++-aarch64-linux-gnu pkg-config:arm64 libpci-dev:arm64 libstdc++6:arm64 \
                   $(AUTOPKGTEST_PACKAGES) piuparts diffoscope-minimal git

.PHONY: build-armhf test-armhf build-arm64 test-arm64 host-sim install deb autopkgtest test-debian13

build-armhf:
	@scripts/need-packages $(ARMHF_PACKAGES)
	@echo "== building $(BUILD_ARMHF)"
	@$(QUIETLY) "configure $(BUILD_ARMHF)" $(CMAKE_CONFIGURE) -S . -B $(BUILD_ARMHF) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DORVEX_TESTS=ON -DORVEX_HOST_BUILD=$(abspath $(BUILD))
	@$(QUIETLY) "build $(BUILD_ARMHF)" cmake --build $(BUILD_ARMHF) -j $(JOBS) --target orvex

# CROSS_SKIP_LABEL: a ctest label whose tests the armhf and arm64 suites leave out. CI gives "vm"
# on Debian 13: those system cases run there against the installed packages, on real kernels
# (make test-vm, tests/vm/cases).
CROSS_SKIP_LABEL ?=
CROSS_EXCLUDE = $(if $(CROSS_SKIP_LABEL),-LE '^$(CROSS_SKIP_LABEL)$$')

# The system tests of a cross build run its orvex under qemu-user against the simulated bus of
# the native orvex-sim and orvex-sysfs, built in $(BUILD) (see tests/system/CMakeLists.txt).
host-sim: deps
	@$(QUIETLY) "configure $(BUILD)" $(CMAKE_CONFIGURE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	@$(QUIETLY) "build $(BUILD)" cmake --build $(BUILD) -j $(JOBS) --target orvex-sim orvex-sysfs

test-armhf: build-armhf host-sim
	@$(QUIETLY) "build $(BUILD_ARMHF)" cmake --build $(BUILD_ARMHF) -j $(JOBS)
	@scripts/run-tests $(BUILD_ARMHF) $(JOBS) $(CROSS_EXCLUDE)

build-arm64:
	@scripts/need-packages $(ARM64_PACKAGES)
	@echo "== building $(BUILD_ARM64)"
	@$(QUIETLY) "configure $(BUILD_ARM64)" $(CMAKE_CONFIGURE) -S . -B $(BUILD_ARM64) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DORVEX_TESTS=ON -DORVEX_HOST_BUILD=$(abspath $(BUILD))
	@$(QUIETLY) "build $(BUILD_ARM64)" cmake --build $(BUILD_ARM64) -j $(JOBS) --target orvex

test-arm64: build-arm64 host-sim
	@$(QUIETLY) "build $(BUILD_ARM64)" cmake --build $(BUILD_ARM64) -j $(JOBS)
	@scripts/run-tests $(BUILD_ARM64) $(JOBS) $(CROSS_EXCLUDE)

# The tool alone, without the test suite, in a build directory of its own.
install:
	@scripts/need-packages $(INSTALL_PACKAGES)
	cmake -S . -B $(BUILD_INSTALL) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEX_TESTS=OFF >/dev/null
	cmake --build $(BUILD_INSTALL) -j $(JOBS) --target orvex
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_INSTALL) --prefix "$(PREFIX)"

# scripts/build-debs builds the source package and the packages from it; check-debs runs lintian
# and hardening-check on them; test-debs has rebuild-debs build them again in a clean tree and
# compare, piuparts-debs install, upgrade and purge them and autopkgtest-debs run debian/tests on
# them.
# same-debs shows that the packages of every architecture hold the same files and maintainer
# scripts. Each step's output goes to $(BUILD_DEB)/logs/; deb-table ends with the table of what
# they found, and fails if anything failed. The throw-away trees are made from minimal trees kept
# in $(BUILD_TREES) for a week.
# CI narrows what make deb checks; a release checks everything (make check-all):
#   DEB_ARCHS=...       the architectures to build beside this machine's (default: armhf arm64)
#   DEB_TEST_ARCHS=...  the architectures whose packages piuparts and every autopkgtest test test
#                       (default: all); the others run autopkgtest's smoke test alone
#   DEB_REBUILD=no      no rebuild in a clean tree (the reproducibility check)
DEB_ARCHS      ?= armhf arm64
DEB_TEST_ARCHS ?=
DEB_REBUILD    ?= yes
export DEB_ARCHS DEB_TEST_ARCHS DEB_REBUILD
NEED_ROOT = @[ "$$(id -u)" = 0 ] || { echo "make $@ needs root: it uses throw-away Debian trees (chroot, mounts)"; exit 1; }

deb:
	$(NEED_ROOT)
	@scripts/need-packages $(DEB_PACKAGES)
	@scripts/build-debs $(BUILD_DEB)
	@scripts/check-debs $(BUILD_DEB)
	@scripts/same-debs $(BUILD_DEB)
	@scripts/test-debs $(BUILD_DEB) $(BUILD_TREES)
	@scripts/deb-table $(BUILD_DEB)

autopkgtest:
	$(NEED_ROOT)
	@scripts/need-packages $(AUTOPKGTEST_PACKAGES)
	@scripts/autopkgtest-debs $(BUILD_DEB) $(BUILD_TREES)
	@scripts/deb-table $(BUILD_DEB) autopkgtest

# make test, the armhf and arm64 suites and make deb on Debian 13 (trixie), in a system tree kept in
# $(ORVEX_CACHE)/debian13 with every package they need (see scripts/debian13); the builds and
# make deb's packages are in $(BUILD_DEBIAN13)/src. The native build of make test serves as the
# cross suites' orvex-sim and orvex-sysfs. DEBIAN13_TARGETS names other targets to run there;
# the DEB_ variables and CROSS_SKIP_LABEL are handed on.
DEBIAN13_TARGETS ?= test test-armhf test-arm64 deb
test-debian13:
	@scripts/need-packages mmdebstrap
	@scripts/debian13 $(BUILD_DEBIAN13) \
	  "$(sort $(PACKAGES) ccache $(ARMHF_PACKAGES) $(ARM64_PACKAGES) $(DEB_PACKAGES))" \
	  $(DEBIAN13_TARGETS) ORVEX_CCACHE=$(ORVEX_CCACHE) "DEB_ARCHS=$(DEB_ARCHS)" \
	  "DEB_TEST_ARCHS=$(DEB_TEST_ARCHS)" DEB_REBUILD=$(DEB_REBUILD) CROSS_SKIP_LABEL=$(CROSS_SKIP_LABEL)

# The system tests on a real ARM kernel (scripts/test-vm): Debian 13 guests under QEMU from
# trixie-backports (system emulation, no KVM), with Debian's own kernels, whose PCIe bus has the
# simulated controller on it (orvex-vfio-user). The guests run the orvex package of $(VM_DEBS),
# installed by apt; when there is none for an architecture, or a tracked file is newer than it,
# make deb's build step makes them first. The trees are kept in $(BUILD_VM). Needs root.
#   make test-vm                   both guests, armhf and arm64
#   make test-vm VM_ARCHS=armhf    the board's alone
BUILD_VM    ?= build-vm
VM_DEBS     ?= $(BUILD_DEB)
VM_ARCHS    ?= armhf arm64
VM_PACKAGES := $(FOREIGN_TREE_PACKAGES) cpio xz-utils

.PHONY: test-vm

test-vm: deps
	$(NEED_ROOT)
	@scripts/need-packages $(VM_PACKAGES)
	@$(QUIETLY) "configure $(BUILD)" $(CMAKE_CONFIGURE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	@$(QUIETLY) "build $(BUILD)" cmake --build $(BUILD) -j $(JOBS) --target orvex-sim orvex-vfio-user
	@for a in $(VM_ARCHS); do \
	  set -- $(VM_DEBS)/orvex_*_$$a.deb; \
	  if [ ! -f "$$1" ] || [ -n "$$(git ls-files -z 2>/dev/null | xargs -0 sh -c 'find "$$@" -newer "$$0" 2>/dev/null' "$$1" | head -1)" ]; then \
	    echo "== no up-to-date orvex_*_$$a.deb in $(VM_DEBS): building the packages"; \
	    scripts/need-packages $(DEB_PACKAGES) && scripts/build-debs $(VM_DEBS) || exit 1; break; \
	  fi; \
	done
	@scripts/test-vm $(BUILD_VM) $(VM_DEBS) $(BUILD) $(VM_ARCHS)

# Benchmarks (BENCHMARKS.md): bus accesses beside the minimum, CPU time, peak memory beside a plain
# C program making the same accesses through libpci, and wall time through the emulated PCI bus
# beside a replay of the same accesses. Needs root and /dev/fuse.
#   make bench   build what it needs, measure, and write $(BUILD)/bench/results.md; fails when a
#                write with verify peaks more than 256 KiB above the C program
#                (BENCH_REPEAT=N: best of N runs, default 3)
BENCH_PACKAGES := strace bc util-linux gcc binutils

.PHONY: bench

bench: deps
	@scripts/need-packages $(BENCH_PACKAGES)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target orvex orvex-sim orvex-sysfs pcisim
	bench/run $(BUILD)

# libFuzzer targets (fuzz/), built with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# into $(BUILD_FUZZ).
#   make fuzz   run each target for FUZZ_TIME seconds from its seed corpus; any finding fails

BUILD_FUZZ    ?= build-fuzz
FUZZ_TIME     ?= 60
FUZZ_TARGETS  := fuzz_cmdline fuzz_image fuzz_run
FUZZ_PACKAGES := cmake make clang pkg-config libpci-dev

.PHONY: fuzz

fuzz:
	@scripts/need-packages $(FUZZ_PACKAGES)
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DORVEX_FUZZ=ON -DORVEX_TESTS=OFF >/dev/null
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target $(FUZZ_TARGETS)
	fuzz/run-all $(BUILD_FUZZ) $(FUZZ_TIME) $(FUZZ_TARGETS)
