#!/usr/bin/env bash
# Starts the desktop program from a build folder, or explains what to do
# where there is no display.
set -euo pipefail
build=${1:-build}
shift || true
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} && -z ${QT_QPA_PLATFORM:-} ]]; then
  echo "No display found (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "Run the gateway without a screen with the headless runner instead:" >&2
  echo "  $build/headless/trelvaned FILE.set" >&2
  exit 1
fi
if [[ ! -x $build/app/trelvane ]]; then
  echo "The desktop program is not built yet ($build/app/trelvane is missing)." >&2
  echo "Build it with: make build" >&2
  exit 1
fi
exec "$build/app/trelvane" "$@"
