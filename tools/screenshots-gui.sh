#!/usr/bin/env bash
# Takes the README's pictures of orvelle-gui (the main window after a start and one request, and
# the settings dialog) on a virtual X display and writes them to docs/ as PNG files.
#   tools/screenshots-gui.sh [build-dir]      (default build/release; needs the xvfb package)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build/release}"
if ! command -v xvfb-run >/dev/null; then
  echo "screenshots-gui: xvfb-run is missing (Debian: apt-get install xvfb)" >&2
  exit 1
fi
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVELLE_BUILD_BENCH=OFF
fi
cmake --build "$build_dir" -j2 --target orvelle-gui-screenshots
mkdir -p docs
# The xcb platform on Xvfb draws with the desktop style and fonts, unlike the tests' offscreen one.
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" \
  "$build_dir/tools/gui_screenshots/orvelle-gui-screenshots" docs
ls -l docs/gui-main-window.png docs/gui-settings.png
