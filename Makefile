# The builds themselves are the presets in CMakePresets.json: plain (build/),
# asan (build-asan/), fuzz (build-fuzz/) and tsan (build-tsan/, by hand).
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)

.PHONY: all deps test-deps package-deps build run test package bench format clean

all: build

deps:
	@scripts/install-deps.sh build

test-deps:
	@scripts/install-deps.sh test

package-deps:
	@scripts/install-deps.sh package

build: deps
	@cmake --preset plain > /dev/null
	@cmake --build --preset plain -j $(JOBS)

run: build
	@scripts/run.sh build/src/app/sorvano

# The Debian package, in build-deb/ (a copy of the tree is built there).
package: package-deps
	@JOBS=$(JOBS) scripts/build-package.sh

# Formatting first; then the plain build and its tests; the Debian package
# built and its contents checked; the same tests under ASan and UBSan; the
# engine's and the CUE reader's fuzz targets for FUZZ_SECONDS in all; the
# conformance test under Valgrind.
test: test-deps
	@cmake --preset plain > /dev/null
	@cmake --build --preset plain --target format-check
	@cmake --build --preset plain -j $(JOBS)
	@ctest --preset plain -j $(JOBS)
	@JOBS=$(JOBS) tests/package/check-package.sh
	@JOBS=$(JOBS) scripts/sanitized-tests.sh
	@JOBS=$(JOBS) scripts/fuzz-engine.sh $(FUZZ_SECONDS)
	@JOBS=$(JOBS) scripts/valgrind-conformance.sh

# The 5-minute files are too large for the repository; they live beside it.
BENCH_FIXTURES ?= ../shared/fixtures/bench

bench: build
	@build/bench/sorvano_bench --fixtures $(BENCH_FIXTURES) $(BENCH_ARGS)
	@build/bench/ape_decoder_bench $(DECODER_BENCH_ARGS) $(BENCH_FIXTURES)

format:
	@git ls-files '*.cpp' '*.h' '*.inc' | xargs clang-format -i

clean:
	@rm -rf build build-asan build-fuzz build-tsan build-deb
