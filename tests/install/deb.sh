#!/usr/bin/env bash
# Builds the Debian packages of a build, checks their names, architecture,
# dependencies and contents, unpacks them into a scratch root (dpkg -x) and
# runs the unpacked qzio demo from there. Then holds the manual page against
# the tool's own help: every command and every option is in it.
# Usage: deb.sh BUILD_DIR ARCH
set -euo pipefail
build=$1
arch=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "deb: $*" >&2; exit 1; }

bash "$(dirname "$0")/../../scripts/debs.sh" "$build" "$work/out" || fail "packaging failed"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
for package in libqzioe3 libqzkernel1 libqzioe-dev qzio; do
  deb="$work/out/${package}_${version}_${arch}.deb"
  [ -f "$deb" ] || fail "no $(basename "$deb") among: $(cd "$work/out" && ls ./*.deb)"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$package is not $arch"
  dpkg-deb -x "$deb" "$work/root"
done
depends() { dpkg-deb -f "$work/out/${1}_${version}_${arch}.deb" Depends; }
[[ $(depends qzio) == *"libqzioe3 (= $version)"*"libqzkernel1 (= $version)"* ]] ||
  fail "qzio: Depends $(depends qzio)"
[[ $(depends libqzioe-dev) == *"libqzioe3 (= $version)"* ]] || fail "dev: Depends $(depends libqzioe-dev)"
[[ $(depends libqzioe3) == *libc6* ]] || fail "libqzioe3: Depends $(depends libqzioe3)"
for package in libqzioe3 libqzkernel1 libqzioe-dev; do
  [ "$(dpkg-deb -f "$work/out/${package}_${version}_${arch}.deb" Multi-Arch)" = same ] ||
    fail "$package is not Multi-Arch: same"
done

# Each file in the package it belongs to.
contents() { dpkg-deb -c "$work/out/${1}_${version}_${arch}.deb" | awk '{print $6}'; }
contents libqzioe3 | grep -q "lib/.*-linux-gnu/libqzioe.so.3$" || fail "libqzioe3 lacks the soname link"
contents libqzioe3 | grep -Eq '\.h$|\.pc$|bin/' && fail "libqzioe3 holds more than the library"
contents libqzkernel1 | grep -q "lib/.*-linux-gnu/libqzkernel.so.1$" || fail "libqzkernel1 lacks the soname link"
contents libqzioe-dev | grep -q 'include/qzioe/extension.h$' || fail "dev lacks the headers"
contents libqzioe-dev | grep -q 'libqzkernel.so$' || fail "dev lacks the stand-in's link name"
contents libqzioe-dev | grep -q 'pkgconfig/qzioe.pc$' || fail "dev lacks qzioe.pc"
contents libqzioe-dev | grep -q 'cmake/qzioe/qzioeConfig.cmake$' || fail "dev lacks the CMake package"
contents qzio | grep -q 'usr/bin/qzio$' || fail "qzio lacks the tool"
contents qzio | grep -q 'man1/qzio.1.gz$' || fail "qzio lacks the manual"

# The unpacked tree runs on its own: the tool finds the library beside it.
out=$(env -u QZIOE_LIBRARY "$work/root/usr/bin/qzio" demo 2>&1) || { echo "$out" >&2; fail "demo failed"; }
[ "$(tail -n 1 <<<"$out")" = "demo complete" ] || fail "demo ended: $(tail -n 1 <<<"$out")"
loaded=$(env -u QZIOE_LIBRARY "$work/root/usr/bin/qzio" version | sed -n 's/^library: //p')
[[ $loaded == "$work/root/usr/bin/../lib/"*-linux-gnu/libqzioe.so.3* ]] ||
  fail "qzio loaded another library: $loaded"

# The manual names every command and every option of the help.
qzio="$work/root/usr/bin/qzio"
manual=$(zcat "$work/root/usr/share/man/man1/qzio.1.gz" | sed 's/\\-/-/g')
commands=$("$qzio" --help | awk 'tolower($0) ~ /^subcommands:/{on=1; next} on && NF {print $1}')
[ -n "$commands" ] || fail "no commands in qzio --help"
options() {
  "$@" --help | awk 'tolower($0) ~ /^options:/{on=1; next} /^[A-Za-z]/{on=0} on' |
    grep -oE -- '(^|[ ,])--?[a-z][a-z0-9-]*' | tr -d ' ,'
}
checked=0
for command in "" $commands; do
  if [ -n "$command" ]; then
    grep -Eq "^\.(B|BR|BI) $command( |$)" <<<"$manual" || fail "the manual lacks the command $command"
  fi
  # shellcheck disable=SC2086
  for option in $(options "$qzio" $command); do
    [ "$option" = -h ] || [ "$option" = --help ] && continue
    # The whole option, not a part of a longer one ("-l" inside "--library").
    grep -qE -- "(^|[^-[:alnum:]])$option([^-[:alnum:]]|$)" <<<"$manual" ||
      fail "the manual lacks $option of '${command:-qzio}'"
    checked=$((checked + 1))
  done
done
echo "deb: packaged, unpacked and run; the manual has $(wc -w <<<"$commands") commands and $checked options"
