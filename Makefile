# Thin wrapper around CMake: the README's commands.
BUILD   ?= build
WINDOWS ?= build-windows
BENCH   ?= build-bench
COVERAGE ?= build-coverage
# What ships: Release, no sanitizers, no tests; and its Windows twin.
RELEASE ?= build-release
RELEASE_WINDOWS ?= $(RELEASE)-windows
DIST    ?= dist
PREFIX  ?= /usr/local
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)

RELEASE_FLAGS = -DCMAKE_BUILD_TYPE=Release -DKORVIN_SANITIZE=OFF -DKORVIN_BUILD_TESTS=OFF

.PHONY: all bootstrap configure build windows test release install deb zip package demo \
	station-demo bench coverage format clean

all: build

bootstrap:
	scripts/bootstrap

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Debug -DKORVIN_SANITIZE=ON

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The Windows host, cross-built with mingw-w64 around the same boot image.
windows: build
	cmake -S . -B $(WINDOWS) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DKORVIN_BOOT_BIN=$(CURDIR)/$(BUILD)/bin/boot.bin
	cmake --build $(WINDOWS) -j $(JOBS)

test: bootstrap
	$(MAKE) windows
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# korvin, korvin-sim and the boot image as they ship.
release:
	cmake -S . -B $(RELEASE) $(RELEASE_FLAGS)
	cmake --build $(RELEASE) -j $(JOBS)

install: release
	cmake --install $(RELEASE) --strip --prefix $(PREFIX)

# The packages land in $(DIST): the .deb of this machine's architecture and the
# Windows zip. deb and zip need no bootstrap; package installs what they need.
deb: release
	cpack --config $(RELEASE)/CPackConfig.cmake -B $(abspath $(DIST))

zip: release
	cmake -S . -B $(RELEASE_WINDOWS) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DKORVIN_BOOT_BIN=$(abspath $(RELEASE))/bin/boot.bin
	cmake --build $(RELEASE_WINDOWS) -j $(JOBS)
	cpack --config $(RELEASE_WINDOWS)/CPackConfig.cmake -B $(abspath $(DIST))

package: bootstrap
	$(MAKE) deb zip
	@ls -l $(DIST)/*.deb $(DIST)/*.zip

# Only what the demo needs: no test libraries, no Wine, no mingw.
demo:
	scripts/bootstrap demo
	$(MAKE) release
	scripts/demo $(RELEASE)

# The station on four simulated boards, one faulty, one swapped: run it in a terminal to
# see the live view.
station-demo:
	scripts/bootstrap demo
	$(MAKE) release
	scripts/station-demo $(RELEASE)

bench: bootstrap
	scripts/bench $(BENCH)

# Every fault the simulator models, through the real image; writes the README's table.
coverage: bootstrap
	scripts/coverage $(COVERAGE) --readme README.md

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(WINDOWS) $(BENCH) $(COVERAGE) $(RELEASE) $(RELEASE_WINDOWS) $(DIST)
