# Sourced by build.sh and test.sh. Where the kernel runs no 32-bit programs,
# setup.sh has them run under qemu's user-mode emulator. LeakSanitizer cannot
# stop the world there (the emulator has no ptrace; it hangs at exit), so the
# 32-bit ASan build runs without it and the leak check moves to x64-asan. And
# once the quarantine of freed blocks grows to its default 256 MB, the
# emulator's mmap handed ASan's allocator address 0 (a CHECK failure), so the
# quarantine is kept smaller there.

i386_emulated() {
  grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null
}

# Prints the environment (NAME=value words) a preset's programs run with.
preset_env() {
  if [ "$1" = i386-asan ] && i386_emulated; then
    echo "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0:quarantine_size_mb=32"
  fi
}
