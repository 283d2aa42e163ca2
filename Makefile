# The two commands of the README: `make demo` and `make test`. Each installs what is missing.
JOBS := $(shell nproc)
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: deps build demo test test-sanitize test-valgrind fuzz bench bench-flushes clean \
	deps-windows windows test-windows demo-windows dist dist-check

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j$(JOBS)

demo: build
	@bash demo/run.sh build/bin

test: build
	@ctest --test-dir build --output-on-failure -j$(JOBS)

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer; any report fails it.
test-sanitize: deps
	@cmake -S . -B build-sanitize $(CMAKE_FLAGS) -DHANDOVER_SANITIZE=ON >/dev/null
	@cmake --build build-sanitize -j$(JOBS)
	@ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir build-sanitize --output-on-failure -j$(JOBS)

# The end-to-end suite with handover under valgrind memcheck: any error or definite leak fails.
test-valgrind: build
	@HANDOVER_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite" \
		ctest --test-dir build -L end-to-end --output-on-failure -j$(JOBS)

# libFuzzer (clang-14) on the report decoder, the staged-name tests and the command line:
# FUZZ_SECONDS per target, after replaying the crash reproducers kept in fuzz/crashes/. Then
# random installation trees through the real handover of build/ for FUZZ_SECONDS, from a seed
# taken from the clock (printed; HANDOVER_RANDOM_SEED runs one again).
FUZZ_SECONDS ?= 60
fuzz: deps
	@CXX=clang++-14 cmake -S . -B build-fuzz $(CMAKE_FLAGS) -DHANDOVER_FUZZ=ON >/dev/null
	@cmake --build build-fuzz -j$(JOBS) --target fuzz_report fuzz_names fuzz_command_line
	@bash fuzz/run.sh build-fuzz/bin $(FUZZ_SECONDS)
	@cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j$(JOBS) --target random_trees_test
	@HANDOVER_RANDOM_TREES=1000000 HANDOVER_RANDOM_SECONDS=$(FUZZ_SECONDS) build/bin/random_trees_test

bench: build
	@bash bench/run.sh build/bin

# What handover's flushes cost, with and without a modelled slow disk (see bench/README.md).
bench-flushes: build
	@bash bench/flushes.sh build/bin

# Windows: cross-compiled with MinGW-w64 against Boost and libcrypto built from Debian's sources
# (kept in build-windows-deps/, built once), run under Wine with a prefix made for each run.
WINDOWS_FLAGS := $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	-DHANDOVER_NATIVE_BIN_DIR=$(CURDIR)/build/bin

deps-windows:
	@bash scripts/install-deps.sh windows
	@bash scripts/build-windows-deps.sh

windows: deps-windows
	@cmake -S . -B build-windows $(WINDOWS_FLAGS) >/dev/null
	@cmake --build build-windows -j$(JOBS)

# The Linux build too: a report that handover.exe writes must read the same with both decoders.
test-windows: windows build
	@bash scripts/with-wine-prefix.sh ctest --test-dir build-windows --output-on-failure -j$(JOBS)

demo-windows: windows
	@bash scripts/with-wine-prefix.sh bash demo/run.sh build-windows/bin windows

# The release archives and their sums in dist/, the same bytes for the same commit.
dist: deps-windows
	@bash scripts/dist.sh dist

# Builds the archives twice in two clones of this commit and compares them byte for byte; each
# clone builds its Windows Boost and libcrypto too (DIST_CHECK_FLAGS=--reuse-deps shares them).
dist-check: deps-windows
	@bash scripts/check-reproducible.sh $(DIST_CHECK_FLAGS)

clean:
	rm -rf build build-sanitize build-fuzz build-windows build-dist dist
