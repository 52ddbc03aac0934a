#!/bin/sh
# Runs every benchmark program of the `bench` preset and writes one report: Markdown on standard
# output and in bench-report.md, every record in bench-results.json, a chart in bench-chart.png
# (all at the top of the source tree). Real XML inputs are files that Debian packages ship,
# found with dpkg -L at run time.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/build/bench/bench"
out="$root/build/bench/results"
mkdir -p "$out"

# Rows run in rounds, in random order, so that machine noise hits every row alike; the report
# takes the median of the rounds. The parse rows run one input at a time: the rows compared with
# each other then take turns within seconds, and a spell of load falls on all of them rather than
# on whichever rows a long run happened to reach during it. Many short rounds (21 of 0.08 s by
# default) rather than a few long ones: a spell of load then hits about the same share of every
# row's rounds, and the median of each row stays clear of it (a few long rounds leave it to chance
# whether most of one row's rounds fall into the spell). The largest input, parsed once a round,
# runs fewer rounds.
rounds=${OSTREL_BENCH_ROUNDS:-21}
round_time=${OSTREL_BENCH_ROUND_SECONDS:-0.08}
options="--benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
  --benchmark_min_time=$round_time --benchmark_format=console"
common="--benchmark_repetitions=$rounds $options"

# First match of a file name among a package's files.
shipped() {
  dpkg -L "$1" 2>/dev/null | grep -E "$2" | head -n 1 || true
}
files=""
for spec in "shared-mime-info:/freedesktop\.org\.xml$" "iso-codes:/iso_639-3\.xml$" \
            "iso-codes:/iso_3166-2\.xml$" "khronos-api:/gl\.xml$" \
            "libgirepository1.0-dev:/Gio-2\.0\.gir$" "libgirepository1.0-dev:/GLib-2\.0\.gir$"; do
  path=$(shipped "${spec%%:*}" "${spec#*:}")
  if [ -n "$path" ] && [ -r "$path" ]; then
    files="$files $path"
  else
    echo "bench: ${spec%%:*} ships no ${spec#*:}; left out" >&2
  fi
done

echo "bench: XML parse, generated and real inputs, one at a time (four minutes or so)" >&2
rm -rf "$out/xml_parse" "$out/xml_parse.json"
mkdir -p "$out/xml_parse"
for name in command-201B flat-1MB flat-16MB flat-128MB attributes-16MB text-16MB deep-16MB \
  mixed-16MB dense-1KB dense-1MB dense-16MB dense-128MB $files; do
  case $name in
    /*) input="--input=$(basename "$name") --file=$name" ;;
    *) input="--input=$name" ;;
  esac
  repetitions=$common
  if [ "$name" = flat-128MB ] || [ "$name" = dense-128MB ]; then
    repetitions="--benchmark_repetitions=$(((rounds + 1) / 2)) $options"
  fi
  # shellcheck disable=SC2086
  "$bin/xml_parse_bench" $repetitions $input \
    --benchmark_out="$out/xml_parse/$(basename "$name").json" --benchmark_out_format=json >&2
done
# Ours built with the SSE2 paths only, on the small and the dense inputs: what a processor
# without the wider instruction sets gets (set OSTREL_BENCH_SSE2=0 to leave it out).
rm -rf "$out/xml_parse_sse2"
if [ "${OSTREL_BENCH_SSE2:-1}" != 0 ]; then
  sse2="$root/build/bench-sse2"
  echo "bench: XML parse built with the SSE2 paths only" >&2
  cmake --preset bench -B "$sse2" -DOSTREL_XML_SSE2_ONLY=ON >/dev/null
  cmake --build "$sse2" -j2 --target xml_parse_bench >/dev/null
  mkdir -p "$out/xml_parse_sse2"
  for name in command-201B dense-1KB dense-1MB dense-16MB; do
    # shellcheck disable=SC2086
    "$sse2/bench/xml_parse_bench" $common --input=$name --benchmark_filter=ostrel \
      --benchmark_out="$out/xml_parse_sse2/$name.json" --benchmark_out_format=json >&2
  done
fi
echo "bench: XML scaling" >&2
# shellcheck disable=SC2086
"$bin/xml_scaling_bench" $common --benchmark_out="$out/xml_scaling.json" \
  --benchmark_out_format=json >&2
echo "bench: composing a command" >&2
# shellcheck disable=SC2086
"$bin/command_compose_bench" $common \
  --benchmark_out="$out/command_compose.json" --benchmark_out_format=json >&2
if [ -x "$bin/net_delivery_bench" ]; then
  echo "bench: delivery to a loopback controller" >&2
  "$bin/net_delivery_bench" --out="$out/net_delivery.json" >&2
  echo "bench: system calls per delivered command (strace -c -f)" >&2
  # The sink runs untraced in its own process until its standard input closes; each client is
  # traced over 0 and 1,000 commands, and the difference is what the commands cost.
  control="$out/sink.control"
  rm -f "$control" "$out/sink.port"
  mkfifo "$control"
  "$bin/net_delivery_bench" --sink <"$control" >"$out/sink.port" &
  sink=$!
  exec 3>"$control"
  while [ ! -s "$out/sink.port" ]; do sleep 0.1; done
  port=$(cat "$out/sink.port")
  for client in library minimal; do
    for count in 0 1000; do
      strace -c -f -o "$out/strace-$client-$count.txt" "$bin/net_delivery_bench" \
        --deliver="$client" --port="$port" --count="$count"
    done
  done
  exec 3>&-
  wait "$sink"
  rm -f "$control"
fi

python3 "$root/bench/report.py" --results "$out" --json "$root/bench-results.json" \
  --markdown "$root/bench-report.md" --chart "$root/bench-chart.png" --work "$out"
