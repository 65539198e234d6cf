# Two commands do everything on a fresh Debian 12 machine:
#   make run   installs what is missing, builds and starts the emulator
#   make test  installs what is missing, builds and runs every test
BUILD     ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
RUN_DIR   ?= $(CURDIR)/run
JOBS      ?= $(shell nproc)
CMAKE_FLAGS ?=
LAUNCHER  := $(if $(shell command -v ccache 2>/dev/null),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache,)
# ccache keeps the results of files compiled with a precompiled header only when told
# that the header's macros and __TIME__ may be taken as they are.
export CCACHE_SLOPPINESS := pch_defines,time_macros

# Seconds of fuzzing per harness: make fuzz, and the short run after the
# seeds are replayed that make test does (.ci/run asks for a longer one).
# FUZZ_JOBS harnesses run at once.
FUZZ_TIME ?= 600
FUZZ_SMOKE_TIME ?= 5
FUZZ_JOBS ?= $(JOBS)

.PHONY: all deps build run demo test test-asan bench fuzz fuzz-configure fuzz-build fuzz-smoke package install clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	mkdir -p $(RUN_DIR)
	cd $(RUN_DIR) && $(CURDIR)/$(BUILD)/src/ethernet

# The sample host application (samples/shopfloor_host.py) and the emulator
# together: the emulator starts in a scratch copy of samples/demo, connects by
# itself to the host on 127.0.0.1:$(DEMO_PORT) and shows its menu. Stopping the
# emulator stops the host. make demo DEMO_PROTOCOL=vt100 speaks VT100 instead.
DEMO_DIR      ?= $(CURDIR)/demo-run
DEMO_PORT     ?= 5001
DEMO_PROTOCOL ?= zorvane

demo: build
	rm -rf $(DEMO_DIR) && mkdir -p $(DEMO_DIR)
	cp samples/demo/Codigo.txt samples/demo/Balanca.txt $(DEMO_DIR)/
	sed -e 's/^Porta=5001/Porta=$(DEMO_PORT)/' \
	    -e 's/^Protocolo=1/Protocolo=$(if $(filter vt100,$(DEMO_PROTOCOL)),0,1)/' \
	    samples/demo/Config.ini > $(DEMO_DIR)/Config.ini
	python3 samples/shopfloor_host.py --port $(DEMO_PORT) --protocol $(DEMO_PROTOCOL) & host=$$!; \
	  trap 'kill $$host 2>/dev/null' EXIT; \
	  cd $(DEMO_DIR) && $(CURDIR)/$(BUILD)/src/ethernet

# The tests, then the fuzz harnesses' seeds replayed and each fuzzed briefly.
# While ctest runs, the fuzz harnesses are built at the lowest priority: the
# tests spend much of their time waiting for the program and its hosts, and
# the compiler takes that time without slowing them. (The fuzzers themselves
# run afterwards: starved of the processor, a slow input would pass for a hang.)
test: build fuzz-configure
	@nice -n 19 cmake --build $(FUZZ_BUILD) -j $(JOBS) >$(FUZZ_BUILD)/build.log 2>&1 & fuzz=$$!; \
	  (cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 600); tests=$$?; \
	  if ! wait $$fuzz; then cat $(FUZZ_BUILD)/build.log; echo "the fuzz build failed"; exit 1; fi; \
	  exit $$tests
	bash scripts/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_TIME) "" $(FUZZ_JOBS)

# A Debian package (CPack) in $(BUILD): apt-get install ./$(BUILD)/ethernet-terminal-emulator_*.deb
package: build
	cd $(BUILD) && cpack -G DEB

# Installs into PREFIX (default /usr/local): program, desktop entry, icon,
# AppStream metadata, manual pages, the host programmer's guide and the sample,
# the Python package, ethernet-ctl and the Wireshark dissector.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Leak checking stays on; scripts/lsan.supp lists the few allocations that the
# system's own libraries (D-Bus, fontconfig) keep until exit. Any sanitizer
# report ends the program with an error, which fails its test.
ASAN_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
            LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp \
            UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DEMULATOR_SANITIZE=ON -DEMULATOR_WERROR=OFF $(LAUNCHER) $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(ASAN_ENV) QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 900

bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DEMULATOR_BENCH=ON $(LAUNCHER) $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	cd $(BENCH_BUILD) && for b in bench/bench_*; do if [ -f "$$b" ] && [ -x "$$b" ]; then "$$b" || exit 1; fi; done

# The fuzz build holds only the core libraries and the harnesses (clang).
fuzz-configure: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEMULATOR_FUZZ=ON -DEMULATOR_WERROR=OFF $(LAUNCHER)

fuzz-build: fuzz-configure
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# make fuzz FUZZ_TIME=1800 runs each harness for half an hour
fuzz: fuzz-build
	bash scripts/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_TIME) "" $(FUZZ_JOBS)

# replays the seed corpus and fuzzes each harness briefly (make test does the same)
fuzz-smoke: fuzz-build
	bash scripts/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_TIME) "" $(FUZZ_JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD)
