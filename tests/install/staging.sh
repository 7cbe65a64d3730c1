#!/usr/bin/env bash
# Installs a build into a staging prefix and builds a small C host against
# the installed pkg-config files (and, through find_package, a CMake host),
# then runs it and the installed qzio.
# Usage: staging.sh BUILD_DIR CFLAGS...
set -euo pipefail
build=$1
shift
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage" >/dev/null
libdir=$(cd "$stage" && ls -d lib/*/pkgconfig | head -n 1)
libdir=${libdir%/pkgconfig}
export PKG_CONFIG_PATH="$stage/$libdir/pkgconfig"
here=$(dirname "$0")
# shellcheck disable=SC2046
gcc "$@" -std=c11 -Wall -Werror -o "$stage/host" "$here/host.c" \
  $(pkg-config --cflags --libs qzkernel qzioe) -Wl,-rpath,"$stage/$libdir"
printf=$("$stage/host" "$stage/$libdir/libqzioe.so" "$stage/text.txt")
[ "$printf" = "1.235e+03" ] || { echo "staging: formatted '$printf'" >&2; exit 1; }
[ "$(head -c 3 "$stage/text.txt" | od -An -tx1 | tr -d ' ')" = efbbbf ] || {
  echo "staging: the text file lacks its mark" >&2; exit 1; }
"$stage/bin/qzio" demo | tail -n 1 | grep -qx 'demo complete'
echo "staging: installed, built against, hosted and toured"
