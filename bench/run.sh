#!/usr/bin/env bash
# bench/run.sh: builds the `bench` preset (release), writes the benchmark archives once into
# build/bench-data/ (named by their shape, so they are reused until the shape changes), runs every
# benchmark beside its baseline and prints the table of ratios. The JSON results and the table go
# to build/bench-data/results/<date>/.
#
# Shape and run length, from the environment (defaults in brackets):
#   BENCH_ARCHIVES     archives by layout and block size ["c1024 s1024 s256"]: c = contiguous
#                      chains, s = scattered; the first one is also the tool's
#   BENCH_ENTRIES      directory entries per archive [1000000]
#   BENCH_DATA_BYTES   record content per archive [1G]
#   BENCH_SHARE        share of texture and palette records stored LRS-compressed [0.25]
#   BENCH_SEED         [1]
#   BENCH_REPETITIONS  repetitions of each benchmark; the table takes their median [3]
#   BENCH_MIN_TIME     minimum seconds per repetition [0.5]
#   BENCH_FILTER       a --benchmark_filter regular expression [all]
set -euo pipefail
cd "$(dirname "$0")/.."

archive_shapes=${BENCH_ARCHIVES:-c1024 s1024 s256}
entries=${BENCH_ENTRIES:-1000000}
data_bytes=${BENCH_DATA_BYTES:-1G}
share=${BENCH_SHARE:-0.25}
seed=${BENCH_SEED:-1}
repetitions=${BENCH_REPETITIONS:-3}
min_time=${BENCH_MIN_TIME:-0.5}
filter=${BENCH_FILTER:-.}

command -v python3 >/dev/null || { echo "bench/run.sh needs python3 for its table" >&2; exit 2; }
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

echo "== building the bench preset (release)"
cmake --preset bench >/dev/null
cmake --build --preset bench

bin=build/bench/bench
data=build/bench-data
results=$data/results/$(date +%Y%m%d-%H%M%S)
mkdir -p "$results"

echo "== archives (cached in $data)"
archives=()
for shape in $archive_shapes; do
  case $shape in
    c*) layout=contiguous ;;
    s*) layout=scattered ;;
    *) echo "bad archive \"$shape\": expected c or s and a block size, e.g. c1024" >&2; exit 2 ;;
  esac
  options=(--entries "$entries" --data-bytes "$data_bytes" --block-size "${shape:1}"
           --layout "$layout" --compressed-share "$share" --seed "$seed")
  key=$("$bin/bench_generate" --print-key "${options[@]}")
  path=$data/$key.dat
  if [ -f "$path" ]; then
    echo "$shape: $path (cached)"
  else
    "$bin/bench_generate" --out "$path" "${options[@]}" | tee "$data/$key.txt"
  fi
  archives+=("--archive=$shape=$path")
  first_archive=${first_archive:-$path}
done
df -h "$data" | tail -1 | awk '{print "disk: " $4 " free on " $6}'

common=(--benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true
        --benchmark_enable_random_interleaving=true
        --benchmark_min_time="$min_time" --benchmark_filter="$filter")
run() {
  local name=$1
  shift
  echo "== $name"
  "$bin/$name" "$@" "${common[@]}" --benchmark_out="$results/$name.json" \
    --benchmark_out_format=json
}
run bench_lrs
run bench_open "${archives[@]}"
run bench_read "${archives[@]}"
if [ -x "$bin/bench_tool" ]; then
  run bench_tool "${archives[0]}"
fi
# quorvale-dat serve from loopback clients: its own lines, not part of the table.
if [ -x "$bin/serve_bench" ] && [[ $filter == . || serve =~ $filter ]]; then
  echo "== serve_bench"
  "$bin/serve_bench" --tool build/bench/bin/quorvale-dat --archive "$first_archive" |
    tee "$results/serve_bench.txt"
fi

{
  echo
  python3 bench/report.py "$results"/*.json
  echo "- Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores," \
    "$(free -g | awk '/^Mem:/ {print $2}') GiB memory, Linux $(uname -r)"
  echo "- Load average (1, 5, 15 min) before the run: $load_before; after: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "- Command: bench/run.sh (BENCH_ARCHIVES=\"$archive_shapes\" BENCH_ENTRIES=$entries" \
    "BENCH_DATA_BYTES=$data_bytes BENCH_SHARE=$share BENCH_REPETITIONS=$repetitions" \
    "BENCH_MIN_TIME=$min_time)"
} | tee "$results/table.md"
echo
echo "results: $results"
