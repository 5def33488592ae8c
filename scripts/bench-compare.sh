#!/bin/sh
# Runs the relay benchmark for trelvaned, socat -b 512 and socat with its
# default 8 KiB buffer side by side, interleaved, and regenerates
# docs/performance.md (and the plot docs/performance-throughput.svg).
#
#   scripts/bench-compare.sh [build-dir]        (or: make bench)
#
# Environment: REPS (runs per relay, default 5), MIB (MiB per direction in
# the throughput cases, default 128), ROUNDS (round trips per latency case,
# default 10000), SOAK (seconds of the memory soak, default 60, 0 skips it),
# SOCAT8K=0 leaves out the socat default-buffer runs, BASELINE=path adds a
# second trelvaned binary (for example one built from an earlier commit) as
# the compared relay "trelvaned before".
set -eu

BUILD=${1:-build}
REPS=${REPS:-5}
MIB=${MIB:-128}
ROUNDS=${ROUNDS:-10000}
SOAK=${SOAK:-60}
SOCAT8K=${SOCAT8K:-1}
BASELINE=${BASELINE:-}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

command -v socat >/dev/null || { echo "bench: socat is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
cmake --build "$BUILD" --target trelvane-bench trelvaned
BENCH="$BUILD/bench/trelvane-bench"
TRELVANED="$ROOT/$BUILD/headless/trelvaned"
case $BUILD in /*) TRELVANED="$BUILD/headless/trelvaned" ;; esac
[ -x "$TRELVANED" ] || { echo "bench: $TRELVANED was not built" >&2; exit 1; }
if [ -n "$BASELINE" ]; then
    [ -x "$BASELINE" ] || { echo "bench: BASELINE=$BASELINE is not an executable trelvaned" >&2; exit 1; }
    case $BASELINE in /*) ;; *) BASELINE="$(pwd)/$BASELINE" ;; esac
fi
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)

RESULTS=$(mktemp -d)
trap 'rm -rf "$RESULTS"' EXIT

run() { # relay rep [extra options]
    relay=$1; rep=$2; shift 2
    binary=$TRELVANED
    [ "$relay" = trelvaned-base ] && binary=$BASELINE
    echo "bench: $relay, run $rep" >&2
    "$BENCH" --relay "$relay" --trelvaned "$binary" --mib "$MIB" --rounds "$ROUNDS" "$@" \
        >"$RESULTS/$relay.$rep.tsv"
}

rep=1
while [ "$rep" -le "$REPS" ]; do
    # Alternate which relay goes first, so neither always meets a warmer machine.
    if [ $((rep % 2)) -eq 1 ]; then order="trelvaned socat-b512"; else order="socat-b512 trelvaned"; fi
    for relay in $order; do run "$relay" "$rep"; done
    if [ "$SOCAT8K" = 1 ]; then run socat-8k "$rep" --cases in2out,out2in,both,udp,pty; fi
    if [ -n "$BASELINE" ]; then run trelvaned-base "$rep"; fi
    rep=$((rep + 1))
done
if [ "$SOAK" -gt 0 ]; then
    for relay in trelvaned socat-b512; do
        run "$relay" soak --cases soak --soak-seconds "$SOAK"
    done
fi

LOAD_END=$(cut -d' ' -f1-3 /proc/loadavg)
"$BENCH" --summarize --markdown docs/performance.md \
    --command "make bench  (scripts/bench-compare.sh; REPS=$REPS MIB=$MIB ROUNDS=$ROUNDS SOAK=$SOAK${BASELINE:+ BASELINE=<earlier trelvaned>})" \
    --load "load average (1, 5, 15 min) $LOAD_START at the start, $LOAD_END at the end" \
    "$RESULTS"/*.tsv
echo "bench: wrote docs/performance.md" >&2
