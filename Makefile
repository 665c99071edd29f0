# The two commands of the README, and the build steps behind them.
#   make demo   build orvex and run its main job against the simulated controller
#   make test   build everything (plain and with sanitizers) and run the whole test suite

BUILD      ?= build
BUILD_SAN  ?= build-san
JOBS       ?= $(shell nproc)
PACKAGES   := cmake make g++ pkg-config libpci-dev googletest libgtest-dev libfuse3-dev fuse3

.PHONY: all deps build build-san demo test clean

all: build

deps:
	@scripts/need-packages $(PACKAGES)

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

build-san: deps
	cmake -S . -B $(BUILD_SAN) -DCMAKE_BUILD_TYPE=Debug -DORVEX_SANITIZE=ON >/dev/null
	cmake --build $(BUILD_SAN) -j $(JOBS)

demo: build
	@scripts/demo $(BUILD)

test: build build-san
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD_SAN) && ctest --output-on-failure -j $(JOBS) -LE system

clean:
	rm -rf $(BUILD) $(BUILD_SAN)
