# Entry points for a fresh Debian 12 machine: `make run` and `make test`.
BUILD ?= build
JOBS  ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test bench fuzz sanitize tsan clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@if [ -x $(BUILD)/bin/sonavert ]; then $(BUILD)/bin/sonavert; else $(BUILD)/bin/sonavert-cli --help; fi

test: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Benchmarks: see bench/README.md
bench: build
	@bench/run-all $(BUILD)

# Address and undefined-behaviour sanitizers over the whole test suite.
sanitize:
	@$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS="-DSONAVERT_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

# The thread sanitizer over the batch tests that convert several rows at once, the encoder on a
# thread of its own, the target decoded while it is written, and the add that
# probes its files on several threads. Debian's Qt and FFmpeg are not instrumented:
# tests/tsan.supp names those libraries only.
tsan: deps
	@cmake -S . -B build-tsan -DSONAVERT_TSAN=ON -DSONAVERT_BUILD_GUI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target sonavert_tests
	@TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp halt_on_error=1" build-tsan/bin/sonavert_tests \
		--gtest_filter='RunConversionBatch.*:CommandLine.SeveralJobs*:FileAdderTest.Threaded*:RunPipeline.EncoderThread*:FamilyPipelines.EncoderThread*:VerifiedConversions.LosslessTargetsDecodedWhileWritten'

# libFuzzer targets, each run for FUZZ_SECONDS (default 60).
FUZZ_SECONDS ?= 60
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -DSONAVERT_FUZZ=ON -DSONAVERT_BUILD_GUI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzz_targets
	@tests/fuzz/run build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) build-sanitize build-tsan build-fuzz
