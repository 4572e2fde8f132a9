# Wraps the CMake presets. The two commands of the quick start:
#   make demo   builds in Release and runs the veld program's demo
#   make test   builds and runs the whole test suite
PRESET ?= release
BUILD_DIR := build/$(PRESET)

.PHONY: all deps build test demo test-asan test-tsan clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

test: build
	ctest --preset $(PRESET)

demo: build
	$(BUILD_DIR)/bin/veld demo

test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

test-tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

clean:
	rm -rf build
