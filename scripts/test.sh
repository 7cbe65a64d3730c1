#!/usr/bin/env bash
# The whole test suite: the 32-bit build, the native 64-bit build, the 32-bit
# build under AddressSanitizer and UndefinedBehaviorSanitizer, the 64-bit
# build under ThreadSanitizer, and a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/emulation.sh

presets=(i386 x64 i386-asan x64-tsan)
if i386_emulated; then
  echo "=== the 32-bit builds run under qemu-i386: i386-asan without leak checks, x64-asan with them"
  presets+=(x64-asan)
fi
passed=0
failed=0
summary=()
for preset in "${presets[@]}"; do
  echo "=== $preset: build"
  bash scripts/build.sh "$preset"
  echo "=== $preset: test"
  runner=()
  # ThreadSanitizer needs the address-space layout it was built for.
  [ "$preset" = x64-tsan ] && runner=(setarch "$(uname -m)" -R)
  log=$(mktemp)
  set +e
  "${runner[@]}" env $(preset_env "$preset") ctest --test-dir "build/$preset" --output-on-failure -j "$(nproc)" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  set -e
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  rm -f "$log"
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    f=${BASH_REMATCH[1]}
    t=${BASH_REMATCH[2]}
    passed=$((passed + t - f))
    failed=$((failed + f))
    summary+=("$preset: $((t - f)) passed, $f failed")
  else
    failed=$((failed + 1))
    summary+=("$preset: no test summary (ctest exit $rc)")
  fi
  [ "$rc" -eq 0 ] || summary+=("$preset: ctest exit status $rc")
done

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzz"
  if bash scripts/fuzz.sh; then passed=$((passed + 1)); summary+=("fuzz: passed")
  else failed=$((failed + 1)); summary+=("fuzz: FAILED"); fi
fi

echo
printf '%s\n' "${summary[@]}"
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
