#!/usr/bin/env bash
# Installs everything a fresh Debian 12 machine lacks to build and test qzioe:
# the 32-bit toolchain and i386 test libraries, the native ones, clang for
# the fuzzers, {fmt}, used header-only by the formatter benchmark, and
# hexdump, which the tool's dump is held against.
# Idempotent; silent when everything is already there.
set -euo pipefail

native_pkgs=(build-essential g++-multilib cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libfmt-dev
  clang libclang-rt-14-dev clang-format bsdextrautils)
i386_pkgs=(libgtest-dev:i386 libgmock-dev:i386 libbenchmark-dev:i386)

missing=()
for p in "${native_pkgs[@]}" "${i386_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
echo "setup: installing ${missing[*]}"
# A mirror in the middle of a sync fails one index now and then: try again,
# then go on with what was fetched; the install says if anything is missing.
for attempt in 1 2 3; do
  "${sudo_cmd[@]}" apt-get update -qq && break
  echo "setup: apt-get update failed (attempt $attempt)" >&2
  [ "$attempt" -lt 3 ] && sleep 10
done
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
