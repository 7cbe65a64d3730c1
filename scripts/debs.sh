#!/usr/bin/env bash
# Makes the Debian packages of one configured build into OUT: cpack, then
# the Multi-Arch field this CPack cannot write, so that the i386 and amd64
# libraries install side by side (libqzioe3 and libqzioe-dev: same; qzio:
# foreign).
# Usage: scripts/debs.sh BUILD_DIR OUT_DIR
set -euo pipefail
build=$1
out=$2
mkdir -p "$out"
log=$(mktemp)
trap 'rm -f "$log"; rm -rf "$out/.unpacked" "$out/.cpack"' EXIT
rm -rf "$out/.cpack" # what an interrupted run left
cpack --config "$build/CPackConfig.cmake" -B "$out/.cpack" >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
for deb in "$out/.cpack/"*.deb; do
  package=$(dpkg-deb -f "$deb" Package)
  case $package in
  qzio) multiarch=foreign ;;
  *) multiarch=same ;;
  esac
  rm -rf "$out/.unpacked"
  dpkg-deb -R "$deb" "$out/.unpacked"
  sed -i "/^Package:/a Multi-Arch: $multiarch" "$out/.unpacked/DEBIAN/control"
  dpkg-deb --root-owner-group -Zxz -b "$out/.unpacked" "$out/$(basename "$deb")" >/dev/null
done
rm -rf "$out/.cpack"
