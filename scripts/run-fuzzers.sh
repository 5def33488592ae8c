#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time each.
# usage: run-fuzzers.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:?build folder}
seconds=${2:-10}
here=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
targets=("$build"/fuzz/fuzz_*)
if ((${#targets[@]} == 0)); then
  echo "no fuzz targets built"
  exit 0
fi
failed=0
for t in "${targets[@]}"; do
  [[ -x $t && -f $t ]] || continue
  name=$(basename "$t")
  seeds="$here/fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [[ -d $seeds ]] && cp -r "$seeds"/. "$work"/
  echo "== $name for ${seconds}s"
  # The sanitizer's quarantine alone holds up to 256 MiB of freed memory, so
  # a fast run passes 512 MiB of resident memory without a leak; single
  # allocations stay bounded by -malloc_limit_mb.
  if ! "$t" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -malloc_limit_mb=256 \
        -print_final_stats=0 "$work" >"$work.log" 2>&1; then
    tail -40 "$work.log"
    failed=1
  else
    grep -E '^Done [0-9]+ runs|#[0-9]+.*DONE' "$work.log" | tail -1 || true
  fi
  rm -rf "$work" "$work.log"
done
exit $failed
