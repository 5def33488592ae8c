#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need.
#   install-deps.sh            everything: build, tests, fuzzing, benchmark, package
#   install-deps.sh --desktop  only what building the programs needs (make run)
#   install-deps.sh --package  what building the Debian package needs
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

build_packages=(
  cmake ninja-build g++ make pkg-config
  qt6-base-dev            # Core, Gui, Widgets, Network, Test, moc, offscreen platform
  qt6-httpserver-dev      # trelvaned --metrics (QHttpServer; needs Network and WebSockets, no GUI)
  qt6-websockets-dev      # the HTTP server's CMake package requires it, its Debian package does not
  libssl-dev              # TLS ports (OpenSSL)
)
package_packages=(
  scdoc                   # manual pages from their text sources (47 kB)
  dpkg-dev                # dpkg-shlibdeps: the package's library dependencies
)
test_packages=(
  clang libclang-rt-14-dev  # libFuzzer targets
  socat                   # relay peer for the benchmark
  ser2net                 # serial device server compared in the benchmark's line cases
  chromium                # headless browser for the web console tests
  python3-serial          # pyserial's RFC 2217 client against a listening port with rfc2217
  openssl                 # test certificates of the TLS benchmark case and the documented commands
  iproute2 iptables       # network namespaces for the half-open peer test
  groff-base man-db       # rendering the manual pages in the tests
  systemd                 # systemd-analyze for the unit test (about 30 MB with its libraries)
  lintian                 # Debian's package checker, run on the packages in the package test
  ser2net python3-serial  # device servers with RFC 2217 for the remote serial line test
)

packages=("${build_packages[@]}")
case ${1:-} in
  --desktop) ;;
  --package) packages+=("${package_packages[@]}") ;;
  "") packages+=("${package_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 [--desktop|--package]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
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
