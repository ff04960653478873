BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)

.PHONY: all deps test-deps build run test bench format clean

all: build

deps:
	@scripts/install-deps.sh build

test-deps:
	@scripts/install-deps.sh test

configure = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps
	@$(configure) > /dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run.sh $(BUILD)/src/sorvano

# The plain build and its tests; the same tests under ASan and UBSan; the
# engine's fuzz target for FUZZ_SECONDS; the conformance test under Valgrind.
test: test-deps
	@$(configure) > /dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@JOBS=$(JOBS) scripts/sanitized-tests.sh $(ASAN_BUILD)
	@JOBS=$(JOBS) scripts/fuzz-engine.sh $(FUZZ_SECONDS) $(FUZZ_BUILD)
	@scripts/valgrind-conformance.sh $(BUILD)

# The 5-minute files are too large for the repository; they live beside it.
BENCH_FIXTURES ?= ../shared/fixtures/bench

bench: build
	@$(BUILD)/bench/sorvano_bench --fixtures $(BENCH_FIXTURES) $(BENCH_ARGS)
	@$(BUILD)/bench/ape_decoder_bench $(DECODER_BENCH_ARGS) $(BENCH_FIXTURES)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
