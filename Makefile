# The short commands. CMake presets (CMakePresets.json) do the real work.
.PHONY: all test test-all demo bench fuzz clean asan tsan slow windows coverage

JOBS ?= 2
# How long `make fuzz` runs each fuzz target.
FUZZ_SECONDS ?= 60

all:
	@scripts/deps.sh test
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

# The quick suite: everything except the tests that wait out the protocol's time limits.
test: all
	ctest --preset default

demo: 
	@scripts/deps.sh demo
	cmake --preset default
	cmake --build --preset default -j $(JOBS) --target ostrel-cli
	build/default/tools/ostrel demo $(if $(DEMO_HOLD),--hold)

# The quick suite under AddressSanitizer and UndefinedBehaviorSanitizer, then the long resource
# checks once more for LeakSanitizer's verdict at their exit.
asan:
	@scripts/deps.sh sanitize
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan
	ctest --test-dir build/asan -R '^CommandResources\.' --output-on-failure

tsan:
	@scripts/deps.sh sanitize
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan

slow: all
	@scripts/deps.sh netns browser
	ctest --preset slow

windows:
	@scripts/deps.sh windows
	scripts/windows.sh

# Sanitizers, the slow-labelled tests, each fuzz target for FUZZ_SECONDS, the transport's line
# coverage and the Windows builds.
test-all: test asan tsan slow fuzz coverage
	@if [ -x scripts/windows.sh ]; then $(MAKE) windows; fi

bench:
	@scripts/deps.sh bench
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)
	scripts/bench.sh

fuzz:
	@scripts/deps.sh fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	OSTREL_FUZZ_PARALLEL=$(JOBS) scripts/fuzz.sh $(FUZZ_SECONDS)

# Line coverage of src/net and src/platform/posix by their tests (at least 95%).
coverage:
	@scripts/deps.sh coverage
	JOBS=$(JOBS) scripts/coverage.sh

clean:
	rm -rf build

# The web view's browser test alone (it also runs in `make slow`, hence in `make test-all`).
.PHONY: browser soak
browser: all
	@scripts/deps.sh browser
	ctest --test-dir build/default -L browser --output-on-failure

# On demand, not in CI: the simulator under 16 host threads of random commands with 10% faults
# and a browser connected, for SOAK_MINUTES, after a shorter run without the browser; prints RSS,
# descriptors and command latency.
SOAK_MINUTES ?= 10
SOAK_BASELINE_MINUTES ?= 2
soak: all
	@scripts/deps.sh browser
	/usr/bin/python3 tools/wallsim/soak.py --cli build/default/tools/ostrel \
	  --library build/default/src/libostrel.so --minutes $(SOAK_MINUTES) \
	  --baseline-minutes $(SOAK_BASELINE_MINUTES)
