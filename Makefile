# The short commands. CMake presets (CMakePresets.json) do the real work.
.PHONY: corpus all test test-all demo bench fuzz clean asan tsan slow windows coverage package package-test \
  windows-package

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

# The build stays quiet unless it fails.
demo:
	@scripts/deps.sh demo
	@echo "Building build/default/tools/ostrel (a few minutes the first time)..."
	@scripts/quietly.sh cmake --preset default
	@scripts/quietly.sh cmake --build --preset default -j $(JOBS) --target ostrel-cli
	@build/default/tools/ostrel demo $(if $(DEMO_HOLD),--hold)

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

# The Debian packages libostrel2, libostrel-dev and ostrel-tools in build/package, checked by lintian.
package:
	@scripts/deps.sh demo package
	JOBS=$(JOBS) scripts/package.sh

# The XML conformance suite's test on its own, showing how many files it parsed.
corpus: all
	ctest --test-dir build/default -R '^Corpus\.' -V

# Installs the packages (as root), runs hosts built against them, and removes them again.
package-test: package
	tests/install/deb_test.sh build/package

# The Windows ZIP: both DLLs stripped, with their version resource, import libraries and header.
windows-package:
	@scripts/deps.sh windows
	JOBS=$(JOBS) scripts/windows-package.sh

# Sanitizers, the slow-labelled tests, each fuzz target for FUZZ_SECONDS, the transport's line
# coverage, the packages and the Windows builds. The XML conformance suite must be there: its
# test fails rather than skips.
test-all: export OSTREL_REQUIRE_CORPUS = 1
test-all: test corpus asan tsan slow fuzz coverage package-test
	@if [ -x scripts/windows.sh ]; then $(MAKE) windows windows-package; fi

bench:
	@scripts/deps.sh bench bench-syscalls
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

.PHONY: python test-bindings

# The Python wheel, the shared library inside it: build/python/ostrel-*.whl. Debian's
# hatchling does not declare its editables dependency, hence --skip-dependency-check.
python:
	@scripts/deps.sh test python
	cmake --preset default
	cmake --build --preset default -j $(JOBS) --target ostrel
	/usr/bin/python3 -m build --wheel --no-isolation --skip-dependency-check \
		--outdir build/python bindings/python

# The Python and C# bindings' tests with their packages installed (the quick suite skips them,
# saying why, where the packages are missing).
test-bindings:
	@scripts/deps.sh test python dotnet
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	ctest --preset default -L bindings

test-all: test-bindings

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
