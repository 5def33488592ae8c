# The two everyday commands:
#   make run    check for a display, install what the desktop program needs,
#               build it and the example plug-ins, start it
#   make test   install what is missing, build, run every test (normal build,
#               sanitizer build, short fuzz runs)
#   make headless  build only trelvaned, trelvane-set and the example plug-ins
#   make package   build the Debian packages (build-package/trelvane*_*.deb)
#   make bench  relay benchmark against socat, writes docs/performance.md
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
PACKAGE_BUILD ?= build-package
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 20
CMAKE_FLAGS ?=
# The trees `make` sets up compile each library in a few large units (a
# unity build): about a third less time from a clean checkout. UNITY=OFF
# builds file by file, as a plain cmake configuration does.
UNITY      ?= ON

.PHONY: all deps build run run-desktop headless package test test-normal test-asan test-fuzz fuzz soak bench install clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_UNITY_BUILD=$(UNITY) $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The display is checked first: without one, nothing is installed or built,
# and the hint on running without a display is the whole answer (status 0).
run:
	@status=0; scripts/run-desktop.sh --check-display $(BUILD) || status=$$?; \
	if [ $$status -eq 0 ]; then $(MAKE) --no-print-directory run-desktop; \
	elif [ $$status -ne 3 ]; then exit $$status; fi

run-desktop:
	@scripts/install-deps.sh --desktop
	@$(MAKE) --no-print-directory $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target desktop
	@scripts/run-desktop.sh $(BUILD)

headless:
	@scripts/install-deps.sh --desktop
	@$(MAKE) --no-print-directory $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target headless

# A tree of its own without the tests and the benchmark; the packages
# install below /usr. `package` sets the options again, for a tree made
# before they existed.
PACKAGE_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRELVANE_TESTS=OFF -DTRELVANE_BENCH=OFF
$(PACKAGE_BUILD)/build.ninja:
	cmake -S . -B $(PACKAGE_BUILD) -G Ninja $(PACKAGE_FLAGS) $(CMAKE_FLAGS)

package:
	@scripts/install-deps.sh --package
	@$(MAKE) --no-print-directory $(PACKAGE_BUILD)/build.ninja
	@cmake $(PACKAGE_FLAGS) $(PACKAGE_BUILD) >/dev/null
	cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target package

test: test-normal test-asan test-fuzz
	@scripts/test-summary.sh $(BUILD)/ctest.log $(ASAN_BUILD)/ctest.log

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --output-log ctest.log

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTRELVANE_SANITIZE=ON -DCMAKE_UNITY_BUILD=$(UNITY) $(CMAKE_FLAGS)

test-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS) -LE bench --output-log ctest.log

$(FUZZ_BUILD)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTRELVANE_FUZZ=ON -DTRELVANE_TESTS=OFF -DTRELVANE_GUI=OFF -DCMAKE_UNITY_BUILD=$(UNITY) $(CMAKE_FLAGS)

# Short bounded runs of every fuzz target (part of `make test`).
test-fuzz: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	JOBS=$(JOBS) scripts/run-fuzzers.sh $(FUZZ_BUILD) 10

# Longer fuzz runs: make fuzz FUZZ_SECONDS=600
fuzz: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	JOBS=$(JOBS) scripts/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Relay benchmark: trelvaned against socat -b 512 and socat's default 8 KiB
# buffer, interleaved runs; regenerates docs/performance.md (REPS, MIB,
# ROUNDS, SOAK tune it; BASELINE=path adds an earlier trelvaned build).
bench: build
	scripts/bench-compare.sh $(BUILD)

# The soak and fault suite with its full counts (about 5 minutes).
soak: build
	cd $(BUILD) && TRELVANE_SOAK_FULL=1 ctest -L soak --output-on-failure

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(PACKAGE_BUILD)
