#!/usr/bin/env bash
# Builds the Debian packages for i386 and amd64 in one command:
#   libqzioe3, libqzioe-dev and qzio of each, in build/packages/.
# Usage: scripts/package.sh [PRESET...]   (default: i386 x64)
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(i386 x64)
mkdir -p build/packages
for preset in "${presets[@]}"; do
  bash scripts/build.sh "$preset"
  bash scripts/debs.sh "build/$preset" build/packages
done
ls -1 build/packages/*.deb
