#!/usr/bin/env bash
# Installs Debian's Chromium and its WebDriver for the browser test of the shipped pages
# (tools/browser_check.py); kept apart from setup-debian.sh so a plain build stays lean.
set -euo pipefail
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if [ -x /usr/bin/chromium ] && [ -x /usr/bin/chromedriver ]; then exit 0; fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends chromium chromium-driver python3 \
  fonts-dejavu-core >/dev/null
