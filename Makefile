# Thin wrapper around CMake: the README's commands.
BUILD   ?= build
WINDOWS ?= build-windows
BENCH   ?= build-bench
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all bootstrap configure build windows test demo bench format clean

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

demo: bootstrap build
	scripts/demo $(BUILD)

bench: bootstrap
	scripts/bench $(BENCH)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(WINDOWS) $(BENCH)
