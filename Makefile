# Front door of the node: `make run` and `make test` do all the set-up.
JOBS ?= $(shell nproc)
BUILD ?= build
# The cmake builds below run make inside make; their Entering/Leaving
# directory lines say nothing here.
MAKEFLAGS += --no-print-directory

.PHONY: all deps configure ondrix-node build run test test-asan test-tsan test-tsa bench format clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

# The node alone, $(BUILD)/ondrix-node: what `make run` needs.
ondrix-node: configure
	cmake --build $(BUILD) -j $(JOBS) --target ondrix-node

# Everything: the node, the test programs and the fuzz corpus replays.
build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Starts the node in run/ (its working directory: config.json, data/, img/, uploads/).
run: ondrix-node
	mkdir -p run
	cd run && ../$(BUILD)/ondrix-node

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DONDRIX_SANITIZE=address,undefined
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan -j $(JOBS) --output-on-failure

# The concurrency tests under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DONDRIX_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	ctest --test-dir build-tsan -j $(JOBS) --output-on-failure -L concurrency

# The lock contracts checked by clang's thread-safety analysis: builds the
# node's libraries and the node in build-tsa, failing on any finding.
test-tsa:
	@scripts/install-deps.sh clang
	cmake -S . -B build-tsa -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DONDRIX_THREAD_SAFETY=ON -DONDRIX_TESTS=OFF
	cmake --build build-tsa -j $(JOBS) --target ondrix-node

# Benchmarks: a release build in build-bench, the in-process Google Benchmark
# program and the end-to-end ab runs against the node and an nginx yardstick;
# prints the table and writes bench/results.md. Its extra packages are
# installed here only, so `make test` does not need them. BENCH_ARGS passes
# options to bench/run_bench.py, e.g. BENCH_ARGS="--quick --rows scale" to try
# some rows (such a run prints its tables and writes no file).
BENCH_ARGS ?=
bench:
	@scripts/install-deps.sh libbenchmark-dev apache2-utils nginx
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DONDRIX_BENCH=ON -DONDRIX_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	bench/run_bench.sh build-bench $(BENCH_ARGS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-tsan build-tsa build-bench

# The fuzz targets of fuzz/ (clang, libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer), all at once, each for FUZZ_SECONDS; fails on any finding.
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz:
	@scripts/install-deps.sh clang libclang-rt-14-dev
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DONDRIX_SANITIZE=address,undefined -DONDRIX_FUZZ=ON -DONDRIX_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	fuzz/run_fuzzers.sh build-fuzz $(FUZZ_SECONDS)
