#!/usr/bin/env bash
# Builds the Debian packages orvelle (server, pages, service) and orvelle-gui into build/deb/:
# a Release build without tests or benchmarks, with Debian's hardening flags, packed by CPack.
#   tools/make-deb.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=build/deb-build
out_dir=build/deb

# Debian's own compiler and linker flags, all hardening on (fortify, stack protector, PIE,
# relro, bind now).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"

# The flags are given as cache values, so a build folder made earlier picks up changes too.
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DORVELLE_BUILD_TESTS=OFF -DORVELLE_BUILD_BENCH=OFF -DORVELLE_BUILD_GUI=ON >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
rm -rf "$build_dir/deb-out" "$out_dir"
(cd "$build_dir" && cpack -G DEB)
mkdir -p "$out_dir"
mv "$build_dir"/deb-out/*.deb "$out_dir"/
ls -l "$out_dir"
