#!/usr/bin/env bash
# make run: starts the desktop program from a build folder.
#   run-desktop.sh --check-display BUILD   exit 1 with a hint when there is no display
#   run-desktop.sh BUILD [ARGS...]         start BUILD/app/trelvane
set -euo pipefail

have_display() {
  [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} || -n ${QT_QPA_PLATFORM:-} ]]
}

no_display_hint() {
  local build=$1 make_headless="make headless"
  [[ $build == build ]] || make_headless+=" BUILD=$build"
  cat >&2 <<HINT
No display found (neither DISPLAY nor WAYLAND_DISPLAY is set), so the desktop
program cannot start. Run the gateway without a screen instead:

  $make_headless        # builds $build/headless/trelvaned and $build/tools/trelvane-set

Write a settings file, for example a TCP server relayed to a serial line:

  $build/tools/trelvane-set write plant.set --in-setup TCP:4001,127.0.0.1 \\
      --out-setup COM1:9600,n,8,1 --out-startup with-input
  $build/tools/trelvane-set serial-ports set COM1 /dev/ttyUSB0
  $build/tools/trelvane-set check plant.set

and start it (Ctrl+C stops it):

  $build/headless/trelvaned plant.set

More in docs/headless.md.
HINT
}

if [[ ${1:-} == --check-display ]]; then
  have_display && exit 0
  no_display_hint "${2:-build}"
  exit 1
fi

build=${1:-build}
shift || true
if ! have_display; then
  no_display_hint "$build"
  exit 1
fi
if [[ ! -x $build/app/trelvane ]]; then
  echo "The desktop program is not built yet ($build/app/trelvane is missing)." >&2
  echo "Build it with: make run" >&2
  exit 1
fi
exec "$build/app/trelvane" "$@"
