#!/usr/bin/env bash
# Builds Orvelle and runs every test suite. BUILD_DIR and extra CMake arguments may be given:
#   tools/run-tests.sh [build-dir] [-DORVELLE_SANITIZE=address,undefined ...]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build/test}"
shift || true
# The include graph first: it needs no build and names the offending line at once.
tools/check-layering.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVELLE_BUILD_BENCH=OFF "$@"
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" --timeout 600
