# Wraps the CMake presets. The two commands of the quick start:
#   make demo   builds in Release and runs the veld program's demo
#   make test   builds and runs the whole test suite
#   make package   the Debian packages, made by CPack
#   make test-windows   cross-builds veld.dll with MinGW-w64 and runs the suite under Wine
#   make fuzz   builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS
PRESET ?= release
BUILD_DIR := build/$(PRESET)

FUZZ_SECONDS ?= 60
# Targets to fuzz, each as TARGET or TARGET=SECONDS (default: all, FUZZ_SECONDS each).
FUZZ_TARGETS ?=

.PHONY: all deps build test demo test-asan test-tsan test-consumer test-windows fuzz package clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

test: build
	ctest --preset $(PRESET)

# Only the program and the library: a fresh clone sees the demo in well under a minute.
demo: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET) --target veld_cli
	$(BUILD_DIR)/bin/veld demo

# Debian packages (libveld0, libveld-dev, veld, python3-veld) in build/release/packages.
package: build
	cmake --build $(BUILD_DIR) --target package

test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

test-tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

# Installs the release build and builds a program against the installed package.
test-consumer: build
	cmake --install $(BUILD_DIR) --prefix $(CURDIR)/build/install >/dev/null
	cmake -S tests/consumer -B build/consumer -G Ninja -DCMAKE_PREFIX_PATH=$(CURDIR)/build/install >/dev/null
	cmake --build build/consumer
	LD_LIBRARY_PATH=$(CURDIR)/build/install/lib/$$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null):$(CURDIR)/build/install/lib build/consumer/veld_consumer build/consumer/consumer.dat

# The Windows DLL, cross-built with MinGW-w64; its tests run under Wine in a
# prefix inside build/windows, so runs never touch ~/.wine and need no display.
test-windows:
	@bash scripts/install-deps.sh --windows
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows
	bash scripts/test-windows.sh

# Needs the release build's program for the seeds; builds it if missing.
fuzz: deps
	@bash scripts/install-deps.sh --fuzz
	bash fuzz/run.sh $(FUZZ_SECONDS) $(FUZZ_TARGETS)

clean:
	rm -rf build
