#!/usr/bin/env bash
# Installs every package the build and the tests need on Debian.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  qt6-base-dev            # Core, Gui, Widgets, Network, Test, moc, offscreen platform
  clang libclang-rt-14-dev  # libFuzzer targets
  socat                   # relay peer for the benchmark
  iproute2 iptables       # network namespaces for the half-open peer test
)

missing=()
for p in "${packages[@]}"; do
  [[ $p == \#* ]] && continue
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
