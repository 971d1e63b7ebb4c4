# Entry points: `make demo` and `make test` install what is missing, configure, build and run.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CCACHE := $(shell command -v ccache 2>/dev/null)
ifneq ($(CCACHE),)
  CMAKE_FLAGS += -DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE)
endif

# Hardening builds: libFuzzer harnesses (clang) and the test suite under sanitizers.
FUZZ_BUILD_DIR := build-fuzz
ASAN_BUILD_DIR := build-asan
TSAN_BUILD_DIR := build-tsan
FUZZ_HARNESSES ?= fuzz_smime fuzz_signed_data fuzz_private_key fuzz_pyproject fuzz_subject fuzz_rfc3339 fuzz_crl
# Seconds each harness runs; 0 only replays the seed corpora once.
FUZZ_SECONDS ?= 0
FUZZ_CXX ?= clang++
# Tests that exercise several threads, by name; run under ThreadSanitizer.
TSAN_TEST_PATTERN := Concurren|Thread
# The test programs that hold such tests (only these are built with ThreadSanitizer).
TSAN_TEST_REGEX := TEST(_F|_P)?[(][A-Za-z0-9_]+, *[A-Za-z0-9_]*($(TSAN_TEST_PATTERN))
TSAN_TEST_PROGRAMS = $(shell grep -lE '$(TSAN_TEST_REGEX)' -r tests --include='*_test.cpp' | xargs -r -n1 basename | sed 's/[.]cpp$$//')

.PHONY: deps configure build test demo install clean fuzz sanitize sanitize-asan sanitize-tsan bench deb

# The package sets scripts/install-deps installs: building and running needs only "build"; the
# targets below that need more name their sets (passed on to their prerequisites).
DEPS_SETS ?= build
test: DEPS_SETS = build test
fuzz: DEPS_SETS = build fuzz
sanitize sanitize-asan sanitize-tsan: DEPS_SETS = build test fuzz
bench: DEPS_SETS = build bench
deb: DEPS_SETS = build deb

deps:
	@scripts/install-deps $(DEPS_SETS)

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The demo runs the program only: it builds that (with libnorvan) and nothing else.
demo: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target norvan_program
	@scripts/demo $(BUILD_DIR)/norvan/cli/norvan

install: build
	@cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	@rm -rf $(BUILD_DIR)

fuzz: deps
	@cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DNORVAN_BUILD_FUZZ=ON -DNORVAN_BUILD_TESTS=OFF \
	  -DNORVAN_SANITIZE=fuzzer-no-link,address,undefined $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target $(FUZZ_HARNESSES) fuzz_make_seeds
	@fuzz/run-fuzzers $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS) $(FUZZ_HARNESSES)

sanitize: sanitize-asan sanitize-tsan

# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer. Left out: the
# install consumer test, which links an uninstrumented program against the instrumented
# libraries, which cannot work; the peak-memory test of message parsing, whose bound is
# meaningless under AddressSanitizer's shadow memory and quarantine; and the tests of keys in
# PKCS#11 tokens, whose module (SoftHSM2) stays loaded until the process ends, as libp11 needs,
# so the leak check at exit reports its allocations.
sanitize-asan: deps
	@cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVAN_SANITIZE=address,undefined $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	@cd $(ASAN_BUILD_DIR) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -E '^(install_consumer|MessageMemory[.].*|TokenFlow[.].*|TokenTest[.].*|Libp11Loading[.].*|RequestCommand[.]KeyInATokenStandsInForTheKeyFile)$$'

# The tests that run several threads, under ThreadSanitizer. GLib's own synchronisation
# (futex-based locks around its lazy type set-up) is invisible to it; tests/tsan.supp silences
# reports with GLib or GMime frames. G_SLICE=always-malloc makes GLib allocate with malloc,
# which ThreadSanitizer follows, instead of its own slice allocator.
sanitize-tsan: deps
	@cmake -S . -B $(TSAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVAN_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(TSAN_BUILD_DIR) -j $(JOBS) --target norvan_program $(TSAN_TEST_PROGRAMS)
	@cd $(TSAN_BUILD_DIR) && \
	  G_SLICE=always-malloc TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --output-on-failure -j $(JOBS) -R '$(TSAN_TEST_PATTERN)' --no-tests=error

# Benchmarks: the in-process suite with its floors, then the side-by-side comparison with the
# openssl command line and Python's cryptography (docs/performance.md).
BENCH_BUILD_DIR := build-bench
bench: deps
	@cmake -S . -B $(BENCH_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DNORVAN_BUILD_BENCH=ON -DNORVAN_BUILD_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BENCH_BUILD_DIR) -j $(JOBS) --target norvan_program norvan_bench norvan_bench_large
	@$(BENCH_BUILD_DIR)/bench/norvan_bench
	@bench/compare $(BENCH_BUILD_DIR)

# Debian packages libnorvan0, libnorvan-dev, norvan and python3-norvan in $(DEB_BUILD_DIR) (binaries stripped), installed under /usr,
# their dependencies computed by dpkg-shlibdeps; lintian checks them (its errors fail the build).
DEB_BUILD_DIR := build-deb
deb: deps
	@cmake -S . -B $(DEB_BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_INSTALL_PREFIX=/usr \
	  -DNORVAN_BUILD_TESTS=OFF -DNORVAN_INSTALL_RPATH=OFF -DNORVAN_PYTHON_INSTALL_DIR=lib/python3/dist-packages \
	  $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(DEB_BUILD_DIR) -j $(JOBS)
	@rm -f $(DEB_BUILD_DIR)/*.deb
	@cd $(DEB_BUILD_DIR) && cpack -G DEB >cpack.log 2>&1 || { cat cpack.log >&2; exit 1; }
	@lintian --fail-on error $(DEB_BUILD_DIR)/*.deb
	@ls $(DEB_BUILD_DIR)/*.deb
