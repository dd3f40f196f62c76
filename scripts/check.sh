#!/usr/bin/env bash
# Builds everything and runs every test: the warnings-as-errors debug build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, the ThreadSanitizer build of the library
# and its concurrency test, then a short run of every fuzz target
# (FUZZ_SECONDS per target, 20 by default; 0 skips it).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --workflow --preset ci
cmake --workflow --preset asan
cmake --workflow --preset tsan
if [ "${FUZZ_SECONDS:-20}" -gt 0 ]; then
  fuzz/run.sh "${FUZZ_SECONDS:-20}"
fi
