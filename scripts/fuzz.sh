#!/usr/bin/env bash
# Builds the libFuzzer targets (preset x64-fuzz) and runs each one for a
# bounded time from a fresh corpus seeded from fuzz/seeds/<target>/; fails on
# any finding. QZIOE_FUZZ_SECONDS overrides the time per target (20).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cmake --preset x64-fuzz >/dev/null
cmake --build build/x64-fuzz

seconds=${QZIOE_FUZZ_SECONDS:-20}
shopt -s nullglob
targets=(build/x64-fuzz/bin/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no fuzz targets in build/x64-fuzz/bin" >&2
  exit 1
fi

failed=0
for target in "${targets[@]}"; do
  name=$(basename "$target")
  work=$(mktemp -d "${TMPDIR:-/tmp}/qzioe-$name.XXXXXX")
  mkdir "$work/corpus"
  for seed in "fuzz/seeds/$name"/*; do cp "$seed" "$work/corpus/"; done
  args=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1
    -artifact_prefix="$work/")
  [ -f "fuzz/$name.dict" ] && args+=(-dict="$root/fuzz/$name.dict")
  echo "=== fuzz: $name for ${seconds}s"
  if "$root/$target" "${args[@]}" "$work/corpus" >"$work/log" 2>&1; then
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/log" || true
    rm -rf "$work"
  else
    failed=1
    tail -n 60 "$work/log"
    echo "fuzz: $name FAILED; log and reproducer kept in $work" >&2
  fi
done
exit "$failed"
