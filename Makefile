# Front door: `make run` builds and runs the example flowsheet, `make test` runs every suite in a
# normal build and again under AddressSanitizer and UndefinedBehaviorSanitizer, `make bench` runs
# the benchmarks. Each first installs missing Debian packages.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
RUNDIR     ?= run

.PHONY: all deps bench-deps build run test test-normal test-asan bench clean

all: build

deps:
	@bash scripts/install-deps.sh

# The benchmarks compare the grouping with ColPack; without it they run on their own.
bench-deps:
	@bash scripts/install-deps.sh --bench || echo "ColPack could not be installed: the grouping benchmark runs without its comparison"

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory

run: build
	./$(BUILD)/examples/flowsheet --workdir $(RUNDIR)

test: test-normal test-asan

test-normal: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKVOBLK_SANITIZE=ON -DKVOBLK_BENCH=OFF >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS) -- --no-print-directory
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench: bench-deps build
	cmake --build $(BUILD) --target benches -j $(JOBS)
	@set -e; for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] || continue; echo "== $$b"; "$$b"; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(RUNDIR)
