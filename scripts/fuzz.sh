#!/usr/bin/env bash
# Builds the libFuzzer targets (preset x64-fuzz) and runs each one for a
# bounded time from a fresh corpus seeded from fuzz/seeds/<target>/; fails on
# any finding. QZIOE_FUZZ_SECONDS overrides the time per target (20);
# QZIOE_FUZZ_RUNS caps the executions per target as well (no cap); naming
# targets on the command line runs only those. A long run, for example
#   QZIOE_FUZZ_SECONDS=1800 QZIOE_FUZZ_RUNS=10000000 scripts/fuzz.sh
# stops each target at whichever limit comes first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cmake --preset x64-fuzz >/dev/null
cmake --build build/x64-fuzz

seconds=${QZIOE_FUZZ_SECONDS:-20}
shopt -s nullglob
targets=(build/x64-fuzz/bin/fuzz_*)
if [ $# -gt 0 ]; then
  targets=()
  for name in "$@"; do targets+=("build/x64-fuzz/bin/$name"); done
fi
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
  [ -n "${QZIOE_FUZZ_RUNS:-}" ] && args+=(-runs="$QZIOE_FUZZ_RUNS")
  [ -f "fuzz/$name.dict" ] && args+=(-dict="$root/fuzz/$name.dict")
  echo "=== fuzz: $name for ${seconds}s"
  if [ ! -x "$target" ]; then
    echo "fuzz: no target $name" >&2
    failed=1
    continue
  fi
  if "$root/$target" "${args[@]}" "$work/corpus" >"$work/log" 2>&1; then
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$work/log" || true
    rm -rf "$work"
  else
    failed=1
    tail -n 60 "$work/log"
    echo "fuzz: $name FAILED; log and reproducer kept in $work" >&2
  fi
done
exit "$failed"
