#!/bin/sh
# Line coverage of the transport (src/net and src/platform/posix) by its test programs and the
# API tests (which drive it end to end, through the shipped library's copy of the socket layer),
# with clang's source-based coverage (the coverage preset). Prints the report per file and
# writes an HTML view to build/coverage/html; fails when the lines covered fall below
# OSTREL_COVERAGE_MIN percent (default 95).
set -eu
cd "$(dirname "$0")/.."

build=build/coverage
minimum=${OSTREL_COVERAGE_MIN:-95}
programs="tests/net/net_tests tests/platform/platform_socket_tests tests/faults/fault_tests tests/api/api_tests"
sources="src/net src/platform/posix"

cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "${JOBS:-2}" --target net_tests platform_socket_tests fault_tests api_tests

profiles="$build/profiles"
rm -rf "$profiles"
mkdir -p "$profiles"
objects=""
for program in $programs; do
  LLVM_PROFILE_FILE="$profiles/%p.profraw" "$build/$program" --gtest_brief=1 >/dev/null
  if [ -z "$objects" ]; then objects="$build/$program"; else objects="$objects -object $build/$program"; fi
done
llvm-profdata-14 merge -sparse -o "$profiles/merged.profdata" "$profiles"/*.profraw

# shellcheck disable=SC2086
llvm-cov-14 report -instr-profile="$profiles/merged.profdata" $objects $sources | tee "$build/report.txt"
# shellcheck disable=SC2086
llvm-cov-14 show -format=html -output-dir="$build/html" -instr-profile="$profiles/merged.profdata" \
  $objects $sources >/dev/null
# shellcheck disable=SC2086
percent=$(llvm-cov-14 export -summary-only -instr-profile="$profiles/merged.profdata" $objects \
  $sources | python3 -c 'import json,sys; print("%.2f" % json.load(sys.stdin)["data"][0]["totals"]["lines"]["percent"])')
echo "coverage: lines of $sources covered: $percent% (minimum $minimum%)"
python3 -c "import sys; sys.exit(0 if float('$percent') >= float('$minimum') else 1)" || {
  echo "coverage: below the minimum" >&2
  exit 1
}
