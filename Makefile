# Developer entry points. `make test` and `make demo` work on a fresh Debian machine.
BUILD_DIR      ?= build
ASAN_DIR       ?= build-asan
TSAN_DIR       ?= build-tsan
JOBS           ?= $(shell nproc)
CMAKE_FLAGS    ?=

.PHONY: all deps configure build test bench bench-all bench-live demo check-sanitize check-tsan fuzz clean

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# Only what the demonstration needs: the program and the recording's generator.
demo: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target korvex make_demo_recording
	./scripts/demo.sh $(BUILD_DIR)

# One screen: every stage with every effect on, block times, control changes, a whole render.
bench: build
	$(BUILD_DIR)/bench/bench_stage_table

# Every benchmark program, stage by stage.
bench-all: build
	@set -e; for b in $(BUILD_DIR)/bench/bench_*; do echo "== $$b"; $$b; done

# Latency and a 10-minute paced live run with every stage on, on a dummy JACK server.
bench-live: build
	./scripts/bench-live.sh $(BUILD_DIR) 600

check-sanitize: deps
	cmake -S . -B $(ASAN_DIR) -G Ninja -DSTRAVIK_SANITIZE=ON -DSTRAVIK_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

check-tsan: deps
	cmake -S . -B $(TSAN_DIR) -G Ninja -DSTRAVIK_TSAN=ON -DSTRAVIK_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(TSAN_DIR) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	  ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS) -L threads

# Runs each libFuzzer program for FUZZ_SECONDS (clang build).
FUZZ_DIR       ?= build-fuzz
FUZZ_SECONDS   ?= 60
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -G Ninja -DSTRAVIK_FUZZ=ON -DSTRAVIK_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	@set -e; for f in $$(ls $(FUZZ_DIR)/tests/fuzz/fuzz_* | grep -v '_seeds$$'); do \
	  name=$$(basename $$f); work=$(FUZZ_DIR)/corpus/$$name; shared=tests/fuzz/corpus/$${name#fuzz_}; \
	  mkdir -p $$work $$shared; $${f}_seeds --write-seeds $$work; \
	  echo "== $$name"; $$f -max_total_time=$(FUZZ_SECONDS) $$work $$shared; done

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(FUZZ_DIR) out
