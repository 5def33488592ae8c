#!/bin/sh
# Runs the relay benchmark for trelvaned and socat -b 512 side by side,
# interleaved, and regenerates docs/performance.md.
#
#   scripts/bench-compare.sh [build-dir]        (or: make bench)
#
# Environment: REPS (runs per relay, default 5), MIB (MiB per direction in
# the throughput cases, default 128), ROUNDS (round trips per latency case,
# default 10000), SOAK (seconds of the memory soak, default 60, 0 skips it),
# SOCAT8K=0 leaves out the socat default-buffer reference runs.
set -eu

BUILD=${1:-build}
REPS=${REPS:-5}
MIB=${MIB:-128}
ROUNDS=${ROUNDS:-10000}
SOAK=${SOAK:-60}
SOCAT8K=${SOCAT8K:-1}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

command -v socat >/dev/null || { echo "bench: socat is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
cmake --build "$BUILD" --target trelvane-bench trelvaned
BENCH="$BUILD/bench/trelvane-bench"
TRELVANED="$ROOT/$BUILD/headless/trelvaned"
case $BUILD in /*) TRELVANED="$BUILD/headless/trelvaned" ;; esac
[ -x "$TRELVANED" ] || { echo "bench: $TRELVANED was not built" >&2; exit 1; }

RESULTS=$(mktemp -d)
trap 'rm -rf "$RESULTS"' EXIT

run() { # relay rep [extra options]
    relay=$1; rep=$2; shift 2
    echo "bench: $relay, run $rep" >&2
    "$BENCH" --relay "$relay" --trelvaned "$TRELVANED" --mib "$MIB" --rounds "$ROUNDS" "$@" \
        >"$RESULTS/$relay.$rep.tsv"
}

rep=1
while [ "$rep" -le "$REPS" ]; do
    # Alternate which relay goes first, so neither always meets a warmer machine.
    if [ $((rep % 2)) -eq 1 ]; then order="trelvaned socat-b512"; else order="socat-b512 trelvaned"; fi
    for relay in $order; do run "$relay" "$rep"; done
    if [ "$SOCAT8K" = 1 ]; then run socat-8k "$rep" --cases in2out,out2in,both,udp,pty; fi
    rep=$((rep + 1))
done
if [ "$SOAK" -gt 0 ]; then
    for relay in trelvaned socat-b512; do
        run "$relay" soak --cases soak --soak-seconds "$SOAK"
    done
fi

"$BENCH" --summarize --markdown docs/performance.md \
    --command "make bench  (scripts/bench-compare.sh; REPS=$REPS MIB=$MIB ROUNDS=$ROUNDS SOAK=$SOAK)" \
    "$RESULTS"/*.tsv
echo "bench: wrote docs/performance.md" >&2
