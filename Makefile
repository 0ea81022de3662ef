# Entry points for people: `make test`, `make demo`, `make bench`, `make asan`, `make tsan`, `make clang`, `make install`.
# Each configures its own build folder with CMake and Ninja on first use.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CTEST_ARGS ?= --timeout 600

.PHONY: all deps build test asan tsan clang bench bench-compare demo soak soak-image clean install sys fuzz

all: build

# Installs the Debian packages the build needs when one is missing (a fresh machine).
deps:
	@./.ci/deps

build/build.ninja: | deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: build/build.ninja
	cmake --build build -j $(JOBS)

# Installs the IFD handler for pcscd (PREFIX/lib/lmscr/libifd-lmscr.so), its reader.conf.d entries
# (PREFIX/etc/reader.conf.d/lmscr, PREFIX/share/lmscr/simulated/lmscr) and the program (PREFIX/bin/lmscr).
PREFIX ?= /usr/local
install: build
	cmake --install build --prefix $(PREFIX)

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS) $(CTEST_ARGS)

build-asan/build.ninja: | deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLMSCR_SANITIZE=ON

build-asan-clang/build.ninja: | deps
	CXX=clang++ cmake -S . -B build-asan-clang -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLMSCR_SANITIZE=ON

SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, built by g++ and again by
# clang++, whose sanitizer reports undefined behaviour that g++'s lets pass (a member access through
# a null pointer, for one).
asan: build-asan/build.ninja build-asan-clang/build.ninja
	cmake --build build-asan -j $(JOBS)
	$(SANITIZER_ENV) ctest --test-dir build-asan --output-on-failure -j $(JOBS) $(CTEST_ARGS)
	cmake --build build-asan-clang -j $(JOBS)
	$(SANITIZER_ENV) ctest --test-dir build-asan-clang --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# ThreadSanitizer over the tests that run in real time (operating-system threads): the kernel's,
# the POSIX port's and the driver's end-to-end run on a pseudo-terminal. Virtual time switches
# fibers, which it does not follow.
build-tsan/build.ninja: | deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
	  -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread

# The IFD handler's entry points from two threads at once, and the program's real-time commands
# (the program, built with the sanitizer, halts on a report and the test sees its exit status).
tsan: build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS) --target kernel_tests serial_tests e2e_tests ifd_tests e2e_program_tests lmscr
	TSAN_OPTIONS=halt_on_error=1 ./build-tsan/tests/platform/kernel/kernel_tests --gtest_filter='RealTime*'
	TSAN_OPTIONS=halt_on_error=1 ./build-tsan/tests/platform/serial/serial_tests --gtest_filter='Pty*:Posix*'
	TSAN_OPTIONS=halt_on_error=1 ./build-tsan/tests/e2e/e2e_tests --gtest_filter='RealTime*'
	TSAN_OPTIONS=halt_on_error=1 ./build-tsan/tests/ifd/ifd_tests
	TSAN_OPTIONS=halt_on_error=1 ./build-tsan/tests/e2e/e2e_program_tests

build-clang/build.ninja: | deps
	CXX=clang++ cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

clang: build-clang/build.ninja
	cmake --build build-clang -j $(JOBS)
	ctest --test-dir build-clang --output-on-failure -j $(JOBS) $(CTEST_ARGS)

build-bench/build.ninja: | deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DLMSCR_BENCH=ON

bench: build-bench/build.ninja
	cmake --build build-bench -j $(JOBS) --target kernel_bench exchange_bench realtime_bench
	./build-bench/bench/kernel_bench
	./build-bench/bench/exchange_bench
	./build-bench/bench/realtime_bench

# The cost of an exchange against an earlier tree (REF, 550fbde unless given), both built and measured
# in one run: CPU time and callgrind's instructions a workload, their ratios, and the virtual times of
# both; SOAK=n also times both trees' soak at n seeds; REALTIME=n runs n SELECTs through pcscd with both
# trees' IFD handlers in turn (bench/compare.py says how).
REF ?= 550fbde
bench-compare: | deps
	python3 bench/compare.py --ref $(REF) --jobs $(JOBS) $(if $(SOAK),--soak $(SOAK)) $(if $(REALTIME),--realtime $(REALTIME))

# The fuzz targets of fuzz/ as libFuzzer programs (clang, AddressSanitizer, UndefinedBehaviorSanitizer),
# each run FUZZ_SECONDS from its seed corpus and regressions; any finding fails the run and leaves
# its input in build-fuzz/findings/<target>/.  New inputs found go to build-fuzz/corpus/<target>/.
FUZZ_SECONDS ?= 10
FUZZ_TARGETS ?= atr t0_exchange t1_exchange device_control ifd_handler lmscr_script kernel_image
build-fuzz/build.ninja: | deps
	CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLMSCR_SANITIZE=ON \
	  -DLMSCR_FUZZ=ON -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link

# Findings still open (fuzz/regressions/<target>/open/, waiting for a fix outside fuzz/) are left
# out of the run, so that they do not stop the target at its start; `make test` replays them.
fuzz: build-fuzz/build.ninja
	cmake --build build-fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@failed=""; for t in $(FUZZ_TARGETS); do \
	  rm -rf build-fuzz/regressions/$$t; \
	  mkdir -p build-fuzz/corpus/$$t build-fuzz/findings/$$t build-fuzz/regressions/$$t; \
	  find fuzz/regressions/$$t -maxdepth 1 -type f ! -name ".*" -exec cp {} build-fuzz/regressions/$$t/ \; ; \
	  echo "== fuzz $$t, $(FUZZ_SECONDS) s"; \
	  $(SANITIZER_ENV) ./build-fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=30 -rss_limit_mb=4096 -max_len=1024 -len_control=0 \
	    -print_final_stats=1 -artifact_prefix=build-fuzz/findings/$$t/ \
	    build-fuzz/corpus/$$t fuzz/corpus/$$t build-fuzz/regressions/$$t || failed="$$failed $$t"; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzz: findings in$$failed (inputs in build-fuzz/findings/)"; exit 1; fi

# The race matrix under many seeds (every pair, and every triple of the busiest entry points under
# TRIPLE_PERCENT of those seeds, all unless given) and the whole fault sweep, with their tables of
# outcomes: `make soak 1000` (or `make soak SEEDS=1000`); 300 seeds a pair when none is given.  The
# runs go to JOBS worker processes at once; 1000 seeds take under three minutes on two idle
# processors, about five on two busy ones.
ifeq (soak,$(firstword $(MAKECMDGOALS)))
  SOAK_SEEDS := $(or $(word 2,$(MAKECMDGOALS)),$(SEEDS),300)
  $(eval $(SOAK_SEEDS):;@:)
endif
ifeq (soak-image,$(firstword $(MAKECMDGOALS)))
  SOAK_SEEDS := $(or $(word 2,$(MAKECMDGOALS)),$(SEEDS),40)
  $(eval $(SOAK_SEEDS):;@:)
endif
TRIPLE_PERCENT ?= 100
soak: build
	LMSCR_SOAK_SEEDS=$(SOAK_SEEDS) LMSCR_SOAK_TRIPLE_PERCENT=$(TRIPLE_PERCENT) LMSCR_RACE_JOBS=$(JOBS) \
	  ./build/tests/driver/driver_tests --gtest_filter='Soak.*'

# The same against the kernel image (build/sys/lmscr.sys, which `make test` builds), run by the
# emulation instead of the linked driver: `make soak-image 40` (40 seeds a pair when none is given).
soak-image: build
	LMSCR_IMAGE=$(CURDIR)/build/sys/lmscr.sys LMSCR_SOAK_SEEDS=$(SOAK_SEEDS) \
	  LMSCR_SOAK_TRIPLE_PERCENT=$(TRIPLE_PERCENT) LMSCR_RACE_JOBS=$(JOBS) \
	  ./build/tests/driver/driver_tests --gtest_filter='Soak.*'

# Builds the program alone: the demo needs nothing else, and the whole tree (every test suite and
# the cross-built kernel image) takes many minutes on a small machine.
demo: build/build.ninja
	@echo "make demo: building lmscr only (make test builds the rest)"
	cmake --build build -j $(JOBS) --target lmscr
	./build/tools/lmscr demo

# The driver as kernel-mode images by the mingw-w64 cross compilers against their own kernel
# headers (sys/): x64 in build-sys/lmscr.sys, x86 in build-sys/x86/lmscr.sys.  `make test` builds
# and checks both too, in build/sys and build/sys-x86.
build-sys/build.ninja: | deps
	cmake -S sys -B build-sys -G Ninja --toolchain $(CURDIR)/sys/toolchain-x86_64-w64-mingw32.cmake

build-sys/x86/build.ninja: | deps
	cmake -S sys -B build-sys/x86 -G Ninja --toolchain $(CURDIR)/sys/toolchain-i686-w64-mingw32.cmake

sys: build-sys/build.ninja build-sys/x86/build.ninja
	cmake --build build-sys -j $(JOBS)
	cmake --build build-sys/x86 -j $(JOBS)

clean:
	rm -rf build build-asan build-asan-clang build-tsan build-clang build-bench build-sys build-fuzz
