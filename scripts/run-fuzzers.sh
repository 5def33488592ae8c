#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time each, JOBS
# targets at a time (default: the number of CPUs); each target's report is
# printed whole, in the targets' order.
# usage: [JOBS=N] run-fuzzers.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:?build folder}
seconds=${2:-10}
jobs=${JOBS:-$(nproc)}
here=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
targets=()
for t in "$build"/fuzz/fuzz_*; do
  [[ -x $t && -f $t ]] && targets+=("$t")
done
if ((${#targets[@]} == 0)); then
  echo "no fuzz targets built"
  exit 0
fi
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT

# One target: its report in $reports/N.txt, its outcome in $reports/N.failed.
run_one() {
  local n=$1 t=$2
  local name seeds work
  name=$(basename "$t")
  seeds="$here/fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [[ -d $seeds ]] && cp -r "$seeds"/. "$work"/
  {
    echo "== $name for ${seconds}s"
    # The sanitizer's quarantine alone holds up to 256 MiB of freed memory,
    # so a fast run passes 512 MiB of resident memory without a leak; single
    # allocations stay bounded by -malloc_limit_mb.
    if ! "$t" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -malloc_limit_mb=256 \
          -print_final_stats=0 "$work" >"$work.log" 2>&1; then
      tail -40 "$work.log"
      touch "$reports/$n.failed"
    else
      grep -E '^Done [0-9]+ runs|#[0-9]+.*DONE' "$work.log" | tail -1 || true
    fi
  } >"$reports/$n.txt"
  rm -rf "$work" "$work.log"
}

running=0
for i in "${!targets[@]}"; do
  run_one "$i" "${targets[$i]}" &
  running=$((running + 1))
  if ((running >= jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
done
wait
failed=0
for i in "${!targets[@]}"; do
  cat "$reports/$i.txt"
  [[ -e $reports/$i.failed ]] && failed=1
done
exit $failed
