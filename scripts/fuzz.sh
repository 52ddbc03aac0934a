#!/bin/sh
# Runs every fuzz target of the fuzz build for a bounded time, one after the other (one
# process each, -jobs=1; OSTREL_FUZZ_PARALLEL=2 runs two at a time), and fails when any of
# them reports a finding.
#
#   scripts/fuzz.sh [seconds per target (default 60)] [target ...]
#
# Seed corpora are written at run time by fuzz_seeds (from the conformance suite in
# ../shared/corpus/xmlconf when it is there, and from generated documents); each target's own
# corpus grows in $OSTREL_FUZZ_WORK/corpus/<target> across runs. The regression inputs in
# fuzz/regressions/<target> are replayed by every run. A finding is written to
# $OSTREL_FUZZ_WORK/findings/; every run appends its executions to
# $OSTREL_FUZZ_WORK/executions.tsv.
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
build=${OSTREL_FUZZ_BUILD:-build/fuzz}
work=${OSTREL_FUZZ_WORK:-$build/work}
suite=${OSTREL_XML_CORPUS:-../shared/corpus/xmlconf}
bin="$build/fuzz"

if [ ! -x "$bin/fuzz_seeds" ]; then
  echo "fuzz.sh: no fuzz build in $build (run: cmake --preset fuzz && cmake --build --preset fuzz)" >&2
  exit 2
fi

targets="$*"
if [ -z "$targets" ]; then
  for file in "$bin"/*; do
    name=$(basename "$file")
    [ -f "$file" ] && [ -x "$file" ] && [ "$name" != fuzz_seeds ] && targets="$targets $name"
  done
fi

mkdir -p "$work/findings" "$work/logs"
rm -rf "$work/seeds"
"$bin/fuzz_seeds" "$work/seeds" "$suite" >/dev/null

# The longest input each target is given: documents are kept small enough to run fast.
max_len_for() {
  case "$1" in
    fuzz_set_text) echo 8192 ;;
    fuzz_element_creation) echo 4096 ;;
    fuzz_escaping | fuzz_framed_reply | fuzz_command_document) echo 1024 ;;
    *) echo 4096 ;;
  esac
}

# Runs one target; its exit status says whether it found something.
run_target() {
  target=$1
  corpus="$work/corpus/$target"
  mkdir -p "$corpus"
  set -- "$corpus"
  [ -d "$work/seeds/$target" ] && set -- "$@" "$work/seeds/$target"
  [ -d "fuzz/regressions/$target" ] && set -- "$@" "fuzz/regressions/$target"
  dict=""
  [ -f "fuzz/$target.dict" ] && dict="-dict=fuzz/$target.dict"
  log="$work/logs/$target.log"
  # shellcheck disable=SC2086
  if "$bin/$target" -max_total_time="$seconds" -max_len="$(max_len_for "$target")" \
      -timeout=30 -print_final_stats=1 -artifact_prefix="$work/findings/$target-" $dict \
      "$@" >"$log" 2>&1; then
    status=ok
  else
    status=FINDING
    grep -a -m 20 -E 'FINDING|ERROR|SUMMARY|Test unit written' "$log" >&2 || true
  fi
  runs=$(grep -a 'stat::number_of_executed_units' "$log" | awk '{print $2}' | tail -n 1)
  printf '%s\t%s\t%s\t%s\t%s\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$target" "$seconds" \
    "${runs:-0}" "$status" >>"$work/executions.tsv"
  echo "fuzz: $target: ${runs:-0} executions in ${seconds}s, $status"
  [ "$status" = ok ]
}

# OSTREL_FUZZ_PARALLEL targets at a time (default 1: one after the other).
parallel=${OSTREL_FUZZ_PARALLEL:-1}
failed=0
running=0
pids=""
for target in $targets; do
  echo "fuzz: $target for ${seconds}s"
  run_target "$target" &
  pids="$pids $!"
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    for pid in $pids; do wait "$pid" || failed=1; done
    pids=""
    running=0
  fi
done
for pid in $pids; do wait "$pid" || failed=1; done

if [ "$failed" -ne 0 ]; then
  echo "fuzz: findings (inputs in $work/findings)" >&2
  exit 1
fi
