# The short commands. CMake presets (CMakePresets.json) do the real work.
.PHONY: all test test-all demo bench fuzz clean asan tsan slow windows

JOBS ?= 2

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
	build/default/tools/ostrel demo

asan:
	@scripts/deps.sh sanitize
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

tsan:
	@scripts/deps.sh sanitize
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan

slow: all
	@scripts/deps.sh netns
	ctest --preset slow

windows:
	@scripts/deps.sh windows
	scripts/windows.sh

# Sanitizers, the slow-labelled tests and the Windows builds.
test-all: test asan tsan slow
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
	scripts/fuzz.sh

clean:
	rm -rf build
