#!/usr/bin/env bash
# Installs what building, testing, running and packaging Orvelle needs on a Debian machine (run
# as root, or with sudo available).
set -euo pipefail
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  cmake ninja-build g++ clang libclang-rt-dev \
  libgtest-dev libgmock-dev libbenchmark-dev libfmt-dev libcli11-dev \
  qt6-base-dev \
  libssl-dev media-types python3 lua5.4 curl nlohmann-json3-dev python3-jsonschema \
  libmosquitto-dev mosquitto mosquitto-clients \
  dpkg-dev file lintian systemd man-db bsdextrautils procps \
  python3-serial socat >/dev/null
