#!/usr/bin/env bash
# Remakes docs/terminal.png, docs/console.png and docs/help.png, the README's pictures, with
# headless Chromium against `orvelle --demo` (tools/setup-browser.sh installs Chromium). Usage:
#   tools/make-screenshots.sh [path/to/orvelle]
set -euo pipefail
cd "$(dirname "$0")/.."
python3 tools/browser_check.py --orvelle "${1:-build/release/src/cli/orvelle}" --screenshots docs
