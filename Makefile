# The README's commands over CMake. `make test` and `make demo` work on a fresh machine.
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)
BUNDLE     ?= $(BUILD)/install
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build bundle test demo bench fuzz sanitize clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

bundle: build
	@cmake --install $(BUILD) --prefix $(BUNDLE) >/dev/null

test: bundle
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: bundle
	@scripts/demo.sh $(BUILD) $(BUNDLE)

bench: bundle
	@bench/run $(BUILD) $(BUNDLE)

clean:
	rm -rf $(BUILD)
