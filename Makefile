# The README's commands over CMake. `make test` and `make demo` work on a fresh machine.
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)
BUNDLE     ?= $(BUILD)/install
FUZZ_SECONDS ?= 60
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz

# Sanitizer run-time settings for every process the tests start. Leak reports are suppressed only
# for third-party libraries, by tests/sanitizers/lsan.supp.
SANITIZER_ENV = \
  ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1 \
  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# Tests about threads: the concurrency label, plus the thread-driven tests of other suites.
TSAN_TARGETS = pellark_updater pellark_host stress_tests channel_library_tests \
  channel_unit_tests framework_retry_tests
TSAN_REGEX = ConcurrentPrepares|FromAnotherThread|RetryWaits

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

# Each fuzz target for FUZZ_SECONDS seconds, built with clang in its own tree.
fuzz: deps
	@JOBS=$(JOBS) fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, then the thread tests under
# ThreadSanitizer; each in a tree of its own.
sanitize: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DPELLARK_SANITIZE=address,undefined >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@env $(SANITIZER_ENV) ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DPELLARK_SANITIZE=thread >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TARGETS)
	@env $(SANITIZER_ENV) ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L concurrency
	@env $(SANITIZER_ENV) ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -R '$(TSAN_REGEX)'

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
