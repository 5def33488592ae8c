#!/usr/bin/env bash
# Tests of the Debian package, run by CTest:
#   package-test.sh build BUILD_DIR WORK CPACK
#                                          make the package, extract it to WORK/root
#   package-test.sh plugin WORK PLUGINS_MD build a plug-in as the guide says, both
#                                          ways, and have trelvaned load it
#   package-test.sh unit WORK              systemd-analyze verify and security
# Exit status 77 means skipped.
set -euo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

# ---- build ------------------------------------------------------------------
build_package() {
  local build=$1 work=$2 cpack=$3
  rm -rf "$work" && mkdir -p "$work/deb"
  command -v dpkg-deb >/dev/null || skip "dpkg-deb is missing"
  "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack did not build the package"; }
  local debs=("$work"/deb/trelvane_*.deb)
  [[ -f ${debs[0]} ]] || fail "no package in $work/deb"
  dpkg-deb -x "${debs[0]}" "$work/root"
  dpkg-deb -f "${debs[0]}" Depends | grep -q libqt6core6 || fail "Depends lacks the Qt libraries"

  # Everything in the Debian folders, nothing below /usr/local or /etc.
  local root=$work/root
  for f in usr/bin/trelvane usr/bin/trelvaned usr/bin/trelvane-set \
           usr/include/trelvane/trelvane_plugin.h \
           usr/share/applications/trelvane.desktop usr/share/mime/packages/trelvane.xml \
           usr/share/icons/hicolor/scalable/apps/trelvane.svg \
           usr/lib/systemd/system/trelvaned@.service \
           usr/share/man/man1/trelvane.1.gz usr/share/man/man1/trelvane-set.1.gz \
           usr/share/man/man5/trelvane.set.5.gz usr/share/man/man8/trelvaned.8.gz; do
    [[ -e $root/$f ]] || fail "the package lacks /$f"
  done
  local stray
  stray=$(cd "$root" && find . -not -type d | grep -v '^\./usr/' || true)
  [[ -z $stray ]] || fail "files outside /usr: $stray"
  [[ -n $(find "$root/usr" -path '*/cmake/Trelvane/TrelvaneConfig.cmake') ]] || fail "no CMake package"
  [[ -n $(find "$root/usr" -path '*/pkgconfig/trelvane.pc') ]] || fail "no pkg-config file"
  grep -q '^ExecStart=/usr/bin/trelvaned ' "$root/usr/lib/systemd/system/trelvaned@.service" ||
    fail "the unit does not start /usr/bin/trelvaned"
  echo "package built and extracted: ${debs[0]##*/}"
}

# ---- plugin -----------------------------------------------------------------
# The fenced block of LANG under the heading "### TITLE" of the guide.
doc_block() {
  local md=$1 title=$2 lang=$3
  awk -v title="### $title" -v lang="$lang" '
    /^#/ { in_section = ($0 == title) }
    in_section && $0 == "```" lang { copying = 1; next }
    copying && $0 == "```" { exit }
    copying { print }' "$md"
}

# Runs the guide's shell lines one by one in the current folder, without
# "sudo ": the throw-away root belongs to whoever runs the test.
run_doc_lines() {
  local line
  while IFS= read -r line; do
    [[ -z $line ]] && continue
    line=${line#sudo }
    echo "+ $line"
    bash -euo pipefail -c "$line" || fail "the guide's command failed: $line"
  done
}

# A plug-in whose DllInit answers CODE: trelvaned then logs
# "In2Out DLL Initial Errer Code:CODE", which proves that it found the file,
# loaded it and resolved the export.
write_plugin_source() {
  cat >"$1" <<C
#include "trelvane_plugin.h"
TRELVANE_PLUGIN_API(int) DllInit(const char* setup) { (void)setup; return $2; }
static int Helper(void) { return 0; }
TRELVANE_PLUGIN_API(int) DllQuit(void) { return Helper(); }
C
}

# Only the exports are visible.
check_exports() {
  local symbols
  symbols=$(nm -D --defined-only "$1" | awk '$2 ~ /^[TtDdBb]$/ { print $3 }' | sort | tr '\n' ' ')
  [[ $symbols == "DllInit DllQuit " ]] || fail "$1 exports '$symbols', not just DllInit and DllQuit"
}

# Starts the installed trelvaned with the bare name "myplugin" on the Input
# side and waits for DllInit's answer.
expect_loaded() {
  local work=$1 code=$2 root=$1/root
  local run=$work/run
  rm -rf "$run" && mkdir -p "$run"
  # UDP ports start without a peer; nothing is sent.
  "$root/usr/bin/trelvane-set" write "$run/gw.set" --in-setup UDP:9,127.0.0.1 \
    --out-setup UDP:9,127.0.0.1 --out-startup with-input --in-dll myplugin
  "$root/usr/bin/trelvaned" --profile "$run/none.ini" "$run/gw.set" >"$run/out" 2>"$run/err" &
  local pid=$! n
  for ((n = 0; n < 100; ++n)); do
    grep -q "In2Out DLL Initial Errer Code:$code" "$run/out" && break
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
  done
  kill -TERM $pid 2>/dev/null || true
  wait $pid || true
  grep -q "In2Out DLL Initial Errer Code:$code" "$run/out" ||
    { cat "$run/out" "$run/err"; fail "trelvaned did not load myplugin ($code)"; }
  echo "trelvaned loaded myplugin ($code)"
}

build_plugins() {
  local work=$1 md=$2 root=$1/root
  [[ -d $root/usr/bin ]] || fail "no extracted package in $work (the build step failed)"
  command -v cc >/dev/null || skip "no C compiler"
  # The throw-away root stands where a real installation would be.
  local pcdir plugindir
  pcdir=$(dirname "$(find "$root/usr" -path '*/pkgconfig/trelvane.pc')")
  export CMAKE_PREFIX_PATH=$root/usr
  export PKG_CONFIG_PATH=$pcdir PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$pcdir
  unset TRELVANE_PLUGIN_PATH
  plugindir=$(pkg-config --variable=plugindir trelvane)
  [[ $plugindir == "$root"/usr/* && -d $plugindir ]] ||
    fail "pkg-config's plug-in folder '$plugindir' is not a folder of the package"

  # The example plug-ins are where the installed program looks.
  [[ -f $plugindir/lf2crlf.so ]] || fail "lf2crlf.so is not in $plugindir"

  # With CMake.
  local src=$work/cmake-way
  rm -rf "$src" && mkdir -p "$src"
  doc_block "$md" "With CMake" cmake >"$src/CMakeLists.txt"
  grep -q 'find_package(Trelvane' "$src/CMakeLists.txt" || fail "no CMake example under '### With CMake'"
  write_plugin_source "$src/myplugin.c" 4201
  local commands
  commands=$(doc_block "$md" "With CMake" sh)
  [[ -n $commands ]] || fail "no commands under '### With CMake'"
  # Refuse to go on if the install would leave the throw-away root.
  (cd "$src" && head -n1 <<<"$commands" | run_doc_lines)
  grep -q "$root" "$src/build/cmake_install.cmake" || fail "the plug-in would not install into $root"
  (cd "$src" && tail -n +2 <<<"$commands" | run_doc_lines)
  [[ -f $plugindir/myplugin.so ]] || fail "cmake --install did not put myplugin.so into $plugindir"
  check_exports "$plugindir/myplugin.so"
  expect_loaded "$work" 4201
  rm -f "$plugindir/myplugin.so"

  # With pkg-config.
  src=$work/pkgconfig-way
  rm -rf "$src" && mkdir -p "$src"
  write_plugin_source "$src/myplugin.c" 4202
  commands=$(doc_block "$md" "With pkg-config" sh)
  [[ -n $commands ]] || fail "no commands under '### With pkg-config'"
  (cd "$src" && run_doc_lines <<<"$commands")
  [[ -f $plugindir/myplugin.so ]] || fail "the pkg-config way did not put myplugin.so into $plugindir"
  check_exports "$plugindir/myplugin.so"
  expect_loaded "$work" 4202
  rm -f "$plugindir/myplugin.so"
}

# ---- unit -------------------------------------------------------------------
check_unit() {
  local work=$1 root=$1/root
  command -v systemd-analyze >/dev/null || skip "systemd-analyze is missing (Debian package systemd)"
  local unit=$root/usr/lib/systemd/system/trelvaned@.service
  [[ -f $unit ]] || fail "no extracted unit in $work (the build step failed)"
  # An instance of the template, with the installed program and manuals.
  local dir=$work/unit
  rm -rf "$dir" && mkdir -p "$dir"
  sed "s|/usr/bin/trelvaned|$root/usr/bin/trelvaned|g" "$unit" >"$dir/trelvaned@plant.service"
  MANPATH=$root/usr/share/man systemd-analyze verify "$dir/trelvaned@plant.service" ||
    fail "systemd-analyze verify found problems"
  local report
  report=$(systemd-analyze security --offline=true --threshold=20 "$dir/trelvaned@plant.service" 2>&1) ||
    { echo "$report"; fail "exposure above 2.0"; }
  echo "$report" | tail -n 1
}

case ${1:-} in
  build) build_package "$2" "$3" "$4" ;;
  plugin) build_plugins "$2" "$3" ;;
  unit) check_unit "$2" ;;
  *) echo "usage: $0 build|plugin|unit ..." >&2; exit 2 ;;
esac
