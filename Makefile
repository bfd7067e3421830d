# SPDX-License-Identifier: BSD-3-Clause
# Front door: `make run` builds the flowsheet runner and runs it on the recycle flowsheet (the
# first run detects and saves a pattern file in run/, later runs restore it), `make test` runs
# every suite in a normal build and again under AddressSanitizer and UndefinedBehaviorSanitizer,
# `make bench` runs the benchmarks, `make fuzz` runs each fuzz target for FUZZ_SECONDS,
# `make install PREFIX=...` installs the libraries, headers, packaging files and the runner,
# `make package` makes the Debian packages, `make docs` the API reference, `make windows` the
# Windows builds with mingw-w64 and `make test-windows` their checks (see "Building for Windows"
# in README.md), `make lint` checks the licence lines, the formatting and clang-tidy's findings,
# `make format` formats the C and C++ sources in place. Each first installs missing Debian packages.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_OUT   ?= fuzz-out
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= patfile attr fortran flowfile
FUZZ_FLAGS ?=
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
RUNDIR     ?= run
PREFIX     ?= /usr/local
WIN32_BUILD ?= build-win32
WIN64_BUILD ?= build-win64
# wine keeps its Windows folder inside the build and stays quiet; no .NET or HTML engine is asked
# for, so it never waits for a download.
WINE_ENV   ?= WINEPREFIX=$(CURDIR)/$(WIN64_BUILD)/wineprefix WINEDEBUG=-all \
              WINEDLLOVERRIDES="mscoree,mshtml="
# The optimisation of the other builds (-O2), without debugging information.
WIN_FLAGS  ?= -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG"
WINE64     ?= $(shell command -v wine64 2>/dev/null || echo /usr/lib/wine/wine64)

.PHONY: all deps bench-deps lint-deps configure build run test test-normal test-asan bench fuzz install package docs lint format clean \
        windows-deps windows test-windows

all: build

deps:
	@bash scripts/install-deps.sh

# The benchmarks compare the grouping with ColPack; without it they run on their own.
bench-deps:
	@bash scripts/install-deps.sh --bench || echo "ColPack could not be installed: the grouping benchmark runs without its comparison"

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory

run: configure
	cmake --build $(BUILD) -j $(JOBS) --target kvoflow kvoconcentrator -- --no-print-directory
	./$(BUILD)/tools/kvoflow/kvoflow --workdir $(RUNDIR) --plugin-dir $(BUILD)/examples/plugin \
	  --compare-methods --svg $(RUNDIR)/svg --json $(RUNDIR)/recycle.json \
	  examples/flowsheets/recycle.toml

test: test-normal test-asan

test-normal: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKVOBLK_SANITIZE=ON -DKVOBLK_BUILD_BENCHMARKS=OFF >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS) -- --no-print-directory
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench: bench-deps build
	cmake --build $(BUILD) --target benches -j $(JOBS)
	@set -e; for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] || continue; echo "== $$b"; "$$b"; done

# Each target starts from its committed corpus and keeps what it finds in $(FUZZ_OUT)/<target>/:
# new inputs in corpus/, inputs that broke an invariant or crashed in crashes/.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DKVOBLK_SANITIZE=ON -DKVOBLK_FUZZ=ON -DKVOBLK_BUILD_BENCHMARKS=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) --target fuzzers -j $(JOBS) -- --no-print-directory
	@found=""; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_OUT)/$$t/corpus $(FUZZ_OUT)/$$t/crashes; \
	  echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ./$(FUZZ_BUILD)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -dict=fuzz/$$t.dict -artifact_prefix=$(FUZZ_OUT)/$$t/crashes/ $(FUZZ_FLAGS) \
	    $(FUZZ_OUT)/$$t/corpus fuzz/corpus/$$t || found="$$found $$t"; \
	done; \
	if [ -n "$$found" ]; then echo "findings in:$$found (see $(FUZZ_OUT)/<target>/crashes)"; exit 1; fi

# The loader finds libraries in /usr/local/lib, the default PREFIX's, only through its cache: an
# installation as root (into the system, not into a DESTDIR) refreshes it.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)
	@if [ -z "$(DESTDIR)" ] && [ "$$(id -u)" -eq 0 ] && command -v ldconfig > /dev/null; then \
	  ldconfig; fi

package: build
	cd $(BUILD) && cpack -G DEB
	@ls $(BUILD)/*.deb

docs: build
	@bash scripts/install-deps.sh docs
	cmake -S . -B $(BUILD) >/dev/null
	cmake --build $(BUILD) --target docs

# Every tracked C and C++ file is formatted: library, headers, reference host, tools, examples,
# tests, benchmarks and fuzz targets. clang-tidy reads the compile commands of $(BUILD) and looks
# at the library, the reference host and the tools (and the project headers they include).
FORMAT_FILES = $(shell git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
TIDY_PATHS   = $(CURDIR)/(source/kvoblk|refhost|tools)/
TIDY_JOBS    ?= 2

lint-deps:
	@bash scripts/install-deps.sh --lint

lint: lint-deps configure
	bash scripts/spdx.sh --check
	@echo "clang-format --dry-run -Werror over $(words $(FORMAT_FILES)) files"
	@clang-format --dry-run -Werror $(FORMAT_FILES)
	@echo "clang-tidy over source/kvoblk, refhost and tools, $(TIDY_JOBS) files at a time"
	@run-clang-tidy -quiet -j $(TIDY_JOBS) -p $(BUILD) '$(TIDY_PATHS)' > $(BUILD)/clang-tidy.raw 2>&1; \
	rc=$$?; sed 's/\x1b\[[0-9;]*m//g' $(BUILD)/clang-tidy.raw > $(BUILD)/clang-tidy.log; \
	rm -f $(BUILD)/clang-tidy.raw; \
	if [ $$rc -ne 0 ]; then \
	  grep -E -A3 '(warning|error):' $(BUILD)/clang-tidy.log; \
	  echo "clang-tidy: findings above (the whole output is in $(BUILD)/clang-tidy.log)"; exit 1; \
	fi
	@echo "lint: licence lines, formatting and clang-tidy are clean"

format: lint-deps
	@echo "clang-format -i over $(words $(FORMAT_FILES)) files"
	@clang-format -i $(FORMAT_FILES)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(RUNDIR) $(WIN32_BUILD) $(WIN64_BUILD)

# 32-bit Windows: kvoblk.dll with the decorated stdcall Fortran names, its import library, and a
# Fortran model linked against it. 64-bit Windows: the library, the reference host, the runner,
# the examples and the test suites, which run under wine64. Release builds: without debugging
# information the statically linked programs link several times faster.
windows-deps:
	@bash scripts/install-deps.sh --windows

windows: windows-deps
	cmake -S . -B $(WIN32_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake \
	  -DCMAKE_BUILD_TYPE=Release $(WIN_FLAGS) -DKVOBLK_REFHOST=OFF -DKVOBLK_FORTRAN=OFF \
	  -DKVOBLK_BUILD_TESTS=OFF -DKVOBLK_BUILD_EXAMPLES=OFF -DKVOBLK_BUILD_TOOLS=OFF \
	  -DKVOBLK_BUILD_BENCHMARKS=OFF -DKVOBLK_BUILD_FUZZERS=OFF >/dev/null
	cmake --build $(WIN32_BUILD) -j $(JOBS) -- --no-print-directory
	cmake -S . -B $(WIN64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release $(WIN_FLAGS) -DKVOBLK_BUILD_BENCHMARKS=OFF -DKVOBLK_FORTRAN=OFF \
	  -DKVOBLK_BUILD_FUZZERS=OFF >/dev/null
	cmake --build $(WIN64_BUILD) -j $(JOBS) -- --no-print-directory

# The Windows folder is made once before the suites start, so that they do not race to make it;
# a program that wine fails to start at all is given a second chance.
test-windows: windows
	ctest --test-dir $(WIN32_BUILD) --output-on-failure
	$(WINE_ENV) $(WINE64) wineboot --init > /dev/null 2>&1 || true
	$(WINE_ENV) ctest --test-dir $(WIN64_BUILD) --output-on-failure -j $(JOBS) --repeat until-pass:2
