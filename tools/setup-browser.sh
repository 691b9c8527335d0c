#!/usr/bin/env bash
# Installs what the browser test of the shipped pages (tools/browser_check.py) needs: Debian's
# Chromium and its WebDriver, Java for the HTML checker, and from npm the two independent judges
# of the pages, axe-core and vnu-jar, into build/browser-tools. Kept apart from setup-debian.sh
# so a plain build stays lean.
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if ! [ -x /usr/bin/chromium ] || ! [ -x /usr/bin/chromedriver ] || ! command -v java >/dev/null ||
   ! command -v npm >/dev/null; then
  $SUDO apt-get update -qq
  packages="chromium chromium-driver python3 fonts-dejavu-core default-jre-headless"
  # A newer Node.js from elsewhere may be installed already; Debian's npm would replace it.
  command -v npm >/dev/null || packages="$packages nodejs npm"
  # shellcheck disable=SC2086
  $SUDO apt-get install -y -qq --no-install-recommends $packages >/dev/null
fi

# Exact versions, so a new rule in a checker cannot fail CI on its own. The checker's own
# install script would fetch a Java runtime; Debian's is used instead.
tools=build/browser-tools
if ! [ -f "$tools/node_modules/axe-core/axe.min.js" ] ||
   ! [ -f "$tools/node_modules/vnu-jar/build/dist/vnu.jar" ]; then
  mkdir -p "$tools"
  npm install --prefix "$tools" --save-exact --ignore-scripts --no-audit --no-fund \
    axe-core@4.14.1 vnu-jar@26.9.27 >/dev/null
fi
