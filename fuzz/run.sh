#!/usr/bin/env bash
# Builds the fuzz targets (preset `fuzz`: clang 16, libFuzzer, ASan + UBSan) and runs each for
# SECONDS seconds from its seed corpus. Exits non-zero on any crash, leak, timeout or
# out-of-memory; prints one summary line per target.
#
#   fuzz/run.sh 20        # about 20 s per target
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run.sh SECONDS}
# -rss_limit_mb bounds what a target holds; the targets keep ASan's quarantine of freed memory at
# 64 MiB (fuzz/asan_options.cpp), so that long runs stay well within it.
build=build/fuzz
targets=(fuzz_open fuzz_decoders fuzz_lrs fuzz_builder)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for t in "${targets[@]}"; do
  corpus="$work/$t"
  mkdir -p "$corpus"
  cp -r "$build/fuzz/corpus/$t/." "$corpus/" 2>/dev/null || true
  log="$work/$t.log"
  if "$build/fuzz/$t" "$corpus" -max_total_time="$seconds" -rss_limit_mb=512 -timeout=5 \
      -max_len=65536 -print_final_stats=1 -artifact_prefix="$work/$t-" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo 0)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo 0)
  rate=$(( ${runs:-0} / (seconds > 0 ? seconds : 1) ))
  printf '%-14s %-6s %10s execs  %8s exec/s  cov %6s  ft %6s\n' "$t" "$result" "${runs:-0}" \
    "$rate" "${cov:-0}" "${ft:-0}"
  if [ "$result" = FAILED ]; then
    echo "---- $t log (tail) ----"
    tail -40 "$log"
    for a in "$work/$t"-*; do
      [ -e "$a" ] || continue
      mkdir -p build/fuzz-artifacts
      cp "$a" build/fuzz-artifacts/
      echo "artifact kept: build/fuzz-artifacts/$(basename "$a")"
    done
  fi
done
exit $status
