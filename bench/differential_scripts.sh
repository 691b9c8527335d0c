#!/usr/bin/env bash
# Runs the fast-vs-plain differential test on many more generated scripts than a test run does
# (20,000 unless a count is given), and prints how long it took.
#   bench/differential_scripts.sh [script-test-binary] [count]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
binary="${1:-$here/build/dev/tests/orvelle_script_tests}"
count="${2:-20000}"
start=$(date +%s)
ORVELLE_DIFFERENTIAL_SCRIPTS="$count" "$binary" \
  --gtest_filter='DifferentialTest.*' --gtest_brief=1
echo "differential: $count generated scripts agree in both modes ($(( $(date +%s) - start )) s)"
