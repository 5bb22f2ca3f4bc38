# make demo: set up, build, and render the built-in demo into demo-out/.
# make test: set up, build, and run the whole test suite.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all setup build demo test bench fuzz clean

all: build

setup:
	./scripts/setup.sh

$(BUILD)/CMakeCache.txt: | setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/bin/qz demo --out demo-out

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench: build
	cmake --build $(BUILD) -j $(JOBS) --target qz_bench
	$(BUILD)/bench/qz_bench --benchmark_repetitions=3 --benchmark_enable_random_interleaving=true
	/usr/bin/python3 bench/studio_bench.py $(BUILD)/bin
	bench/still_inputs.sh $(BUILD)

# Longer fuzz campaigns by hand: make fuzz FUZZ_SECONDS=600
FUZZ_SECONDS ?= 300
fuzz: setup
	./scripts/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz demo-out
