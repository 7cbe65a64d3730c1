#!/usr/bin/env bash
# Installs everything a fresh Debian 12 machine lacks to build and test qzioe:
# the 32-bit toolchain and i386 test libraries, the native ones, clang for
# the fuzzers, {fmt}, used header-only by the formatter benchmark, and
# hexdump, which the tool's dump is held against, and GNU time for its memory
# bound. On a 64-bit kernel built without 32-bit emulation, or started with
# it off, the 32-bit builds run under qemu's user-mode emulator through
# binfmt_misc instead.
# Idempotent; silent when everything is already there.
set -euo pipefail

native_pkgs=(build-essential g++-multilib cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libfmt-dev
  clang libclang-rt-14-dev clang-format bsdextrautils time)
i386_pkgs=(libgtest-dev:i386 libgmock-dev:i386 libbenchmark-dev:i386)

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive

install_missing() {
  local missing=() p attempt
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
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
}

install_missing "${native_pkgs[@]}" "${i386_pkgs[@]}"

# The 32-bit loader, run on its own, says whether this kernel runs 32-bit
# programs. Debian registers no emulator for i386 on amd64 (it expects the
# kernel to run them), so the entry is made here; it lasts until reboot.
i386_loader=/lib/ld-linux.so.2
if ! "$i386_loader" --version >/dev/null 2>&1; then
  install_missing qemu-user-static
  binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -e "$binfmt/register" ]; then
    "${sudo_cmd[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if [ -e "$binfmt/qemu-i386" ]; then
    echo 1 | "${sudo_cmd[@]}" tee "$binfmt/qemu-i386" >/dev/null # switched off: on again
  else
    echo "setup: this kernel does not run 32-bit programs; running them under qemu-i386"
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    # F: the emulator is opened now, so it serves every mount namespace.
    printf ':qemu-i386:M::%s:%s:/usr/bin/qemu-i386-static:F' "$magic" "$mask" |
      "${sudo_cmd[@]}" tee "$binfmt/register" >/dev/null
  fi
  "$i386_loader" --version >/dev/null 2>&1 || {
    echo "setup: 32-bit programs still do not run" >&2
    exit 1
  }
fi
