#!/bin/sh
# Builds trelvaned from an older commit, as the benchmark's "baseline" relay:
#
#   scripts/build-baseline.sh COMMIT DIR
#   BASELINE=DIR/build/headless/trelvaned make bench
#
# DIR is a scratch folder outside this repository: the commit is checked out
# there as a detached git worktree (DIR/src) and built in DIR/build. Running
# it again reuses both. Afterwards `git worktree remove DIR/src` and removing
# DIR clean up. Prints the path of the built trelvaned on standard output.
set -eu

[ $# -eq 2 ] || { echo "usage: $0 COMMIT DIR" >&2; exit 2; }
COMMIT=$1
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SHA=$(git -C "$ROOT" rev-parse --verify --quiet "$COMMIT^{commit}") \
    || { echo "build-baseline: $COMMIT is not a commit of this repository" >&2; exit 2; }
DIR=$(realpath -m "$2")
case $DIR/ in
    "$ROOT"/*) echo "build-baseline: $DIR is inside the repository; pick a folder outside it" >&2; exit 2 ;;
esac
mkdir -p "$DIR"
if [ -d "$DIR/src" ]; then
    [ "$(git -C "$DIR/src" rev-parse HEAD)" = "$SHA" ] \
        || { echo "build-baseline: $DIR/src holds another commit; remove it or pick another DIR" >&2; exit 2; }
else
    git -C "$ROOT" worktree add --detach "$DIR/src" "$SHA" >&2
fi

LAUNCHER=
if command -v ccache >/dev/null; then
    LAUNCHER="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
fi
# Ninja when there is one; a build folder keeps the generator it was made with.
GENERATOR=
if [ ! -f "$DIR/build/CMakeCache.txt" ] && command -v ninja >/dev/null; then GENERATOR="-G Ninja"; fi
# shellcheck disable=SC2086 # the option lists split on purpose
cmake -S "$DIR/src" -B "$DIR/build" $GENERATOR -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTRELVANE_TESTS=OFF -DTRELVANE_GUI=OFF $LAUNCHER >&2
cmake --build "$DIR/build" -j "${JOBS:-2}" --target trelvaned >&2
echo "$DIR/build/headless/trelvaned"
