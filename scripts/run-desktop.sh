#!/usr/bin/env bash
# make run: starts the desktop program from a build folder.
#   run-desktop.sh --check-display BUILD   exit 3 with a hint when there is no display
#                                          (not an error: make run then stops, status 0)
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

Try it on this machine alone: the gateway listens on TCP port 4001 and relays
to a TCP server on port 5001 that stands in for a device. In three terminals,
in this order (socat plays both peers: sudo apt-get install socat):

  socat - TCP-LISTEN:5001,bind=127.0.0.1,reuseaddr      # 1. the "device"

  $build/tools/trelvane-set write demo.set --in-setup TCP:4001@127.0.0.1 \\
      --out-setup TCP:5001,127.0.0.1
  $build/headless/trelvaned demo.set                     # 2. the gateway (Ctrl+C stops it)

  socat - TCP:127.0.0.1:4001                            # 3. a client: type a line

For a device server on a serial line, clients connecting to port 4001:

  $build/tools/trelvane-set write plant.set --in-setup TCP:4001 \\
      --out-setup COM1:9600,n,8,1 --out-startup with-input
  $build/tools/trelvane-set serial-ports set COM1 /dev/ttyUSB0
  $build/tools/trelvane-set check plant.set
  $build/headless/trelvaned plant.set

More in docs/headless.md.
HINT
}

if [[ ${1:-} == --check-display ]]; then
  have_display && exit 0
  no_display_hint "${2:-build}"
  exit 3
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
