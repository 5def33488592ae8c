#!/bin/sh
# Runs the relay benchmark for trelvaned, socat -b 512 and socat with its
# default 8 KiB buffer side by side, interleaved, and regenerates
# docs/performance.md and the throughput plot next to it.
#
#   scripts/bench-compare.sh [build-dir]        (or: make bench)
#
# Environment: REPS (runs per relay, default 5), MIB (MiB per direction in
# the throughput cases, default 128), ROUNDS (round trips per latency case,
# default 10000), LATREPS (further runs of the round trips alone per relay,
# default 10, so their medians rest on more runs), SOAK
# (seconds of the memory soak, default 60, 0 skips it),
# SOCAT8K=0 leaves out the socat 8 KiB runs, BASELINE=path adds another
# trelvaned build as a compared relay (scripts/build-baseline.sh COMMIT DIR
# builds one from an older commit and prints its path).
set -eu

BUILD=${1:-build}
REPS=${REPS:-5}
MIB=${MIB:-128}
ROUNDS=${ROUNDS:-10000}
LATREPS=${LATREPS:-10}
SOAK=${SOAK:-60}
SOCAT8K=${SOCAT8K:-1}
BASELINE=${BASELINE:-}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

command -v socat >/dev/null || { echo "bench: socat is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
command -v ser2net >/dev/null || [ -x /usr/sbin/ser2net ] || { echo "bench: ser2net is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
cmake --build "$BUILD" --target trelvane-bench trelvaned
BENCH="$BUILD/bench/trelvane-bench"
TRELVANED="$ROOT/$BUILD/headless/trelvaned"
case $BUILD in /*) TRELVANED="$BUILD/headless/trelvaned" ;; esac
[ -x "$TRELVANED" ] || { echo "bench: $TRELVANED was not built" >&2; exit 1; }
RELAYS="trelvaned socat-b512"
COMMAND="REPS=$REPS MIB=$MIB ROUNDS=$ROUNDS LATREPS=$LATREPS SOAK=$SOAK"
if [ -n "$BASELINE" ]; then
    [ -x "$BASELINE" ] || { echo "bench: BASELINE=$BASELINE is not an executable trelvaned" >&2; exit 1; }
    BASELINE=$(realpath "$BASELINE")
    # scripts/build-baseline.sh builds in DIR/build from a worktree in DIR/src.
    COMMIT=$(git -C "$(dirname "$BASELINE")/../../src" rev-parse --short HEAD 2>/dev/null || true)
    if [ -n "$COMMIT" ]; then
        BASELINE_NAME="trelvaned built from commit $COMMIT"
        COMMAND="$COMMAND BASELINE=\$(scripts/build-baseline.sh $COMMIT DIR)"
    else
        BASELINE_NAME="another trelvaned build"
        COMMAND="$COMMAND BASELINE=path"
    fi
    RELAYS="trelvaned baseline socat-b512"
fi
if [ "$SOCAT8K" = 1 ]; then RELAYS="$RELAYS socat-8k"; fi
# ser2net serves only the device server's shape: a line and a listening port.
RELAYS="$RELAYS ser2net"

RESULTS=$(mktemp -d)
trap 'rm -rf "$RESULTS"' EXIT

run() { # relay rep [extra options]
    relay=$1; rep=$2; shift 2
    echo "bench: $relay, run $rep" >&2
    binary=$TRELVANED
    case $relay in
        # The cases a build from before the stream layers can run too (no rfc2217).
        baseline) binary=$BASELINE; set -- --cases in2out,out2in,both,listen,lat1,lat512,lat1500,udp,plugin,line,lineplugin,latline "$@" ;;
        socat-8k) set -- --cases in2out,out2in,both,tls,udp,pty,line,latline "$@" ;;
        ser2net) set -- --cases line,latline,line2217 "$@" ;;
    esac
    "$BENCH" --relay "$relay" --trelvaned "$binary" --mib "$MIB" --rounds "$ROUNDS" "$@" \
        >"$RESULTS/$relay.$rep.tsv"
}

rep=1
while [ "$rep" -le "$REPS" ]; do
    # Reverse the order every other run, so no relay always meets a warmer machine.
    order=$RELAYS
    if [ $((rep % 2)) -eq 0 ]; then
        order=
        for relay in $RELAYS; do order="$relay $order"; done
    fi
    for relay in $order; do run "$relay" "$rep"; done
    rep=$((rep + 1))
done
# The round trips vary most from run to run: more runs of them alone, with
# the relays that have round-trip targets or figures.
LATRELAYS=$RELAYS
latrep=1
while [ "$latrep" -le "$LATREPS" ]; do
    order=$LATRELAYS
    if [ $((latrep % 2)) -eq 0 ]; then
        order=
        for relay in $LATRELAYS; do order="$relay $order"; done
    fi
    for relay in $order; do
        # socat -b 512 meets Nagle's rule in the 1500-byte case (44 ms a round);
        # socat 8 KiB and ser2net are compared on the line's round trip only.
        case $relay in
            socat-b512) cases=lat1,lat512,latline ;;
            socat-8k|ser2net) cases=latline ;;
            *) cases=lat1,lat512,lat1500,latline ;;
        esac
        run "$relay" "lat$latrep" --cases "$cases"
    done
    latrep=$((latrep + 1))
done
if [ "$SOAK" -gt 0 ]; then
    for relay in trelvaned socat-b512; do
        run "$relay" soak --cases soak --soak-seconds "$SOAK"
    done
fi

set -- "$RESULTS"/*.tsv
if [ -n "$BASELINE" ]; then set -- --baseline-name "$BASELINE_NAME" "$@"; fi
"$BENCH" --summarize --markdown docs/performance.md \
    --command "make bench  (scripts/bench-compare.sh; $COMMAND)" \
    "$@"
echo "bench: wrote docs/performance.md and docs/performance-throughput.svg" >&2
