#!/usr/bin/env bash
# Builds everything and runs every test: the warnings-as-errors debug build, then the
# AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --workflow --preset ci
cmake --workflow --preset asan
