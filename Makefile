# Wraps the CMake presets. The two commands of the quick start:
#   make demo   builds in Release and runs the veld program's demo
#   make test   builds and runs the whole test suite
#   make test-windows   cross-builds veld.dll with MinGW-w64 and runs the suite under Wine
PRESET ?= release
BUILD_DIR := build/$(PRESET)

.PHONY: all deps build test demo test-asan test-tsan test-consumer test-windows clean

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

test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

test-tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

# Installs the release build and builds a program against the installed package.
test-consumer: build
	cmake --install $(BUILD_DIR) --prefix $(CURDIR)/build/install >/dev/null
	cmake -S tests/consumer -B build/consumer -G Ninja -DCMAKE_PREFIX_PATH=$(CURDIR)/build/install >/dev/null
	cmake --build build/consumer
	LD_LIBRARY_PATH=$(CURDIR)/build/install/lib build/consumer/veld_consumer build/consumer/consumer.dat

# Wine keeps its state in a prefix inside the build tree, so runs are
# reproducible and never touch ~/.wine; no display is needed or used.
WINE := /usr/lib/wine/wine64
WINE_ENV := WINEPREFIX=$(CURDIR)/build/windows/wineprefix WINEDEBUG=-all \
	WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=

test-windows:
	@bash scripts/install-deps.sh --windows
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows
	@# A fresh prefix is set up once, before tests start in parallel.
	@if [ ! -f build/windows/wineprefix/system.reg ]; then \
	  echo "setting up the Wine prefix"; \
	  $(WINE_ENV) $(WINE) wineboot --init >/dev/null 2>&1; \
	  $(WINE_ENV) /usr/lib/wine/wineserver -w; \
	fi
	ctest --preset windows

clean:
	rm -rf build
