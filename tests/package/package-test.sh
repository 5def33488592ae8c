#!/usr/bin/env bash
# Tests of the Debian packages, run by CTest:
#   package-test.sh build BUILD_DIR WORK CPACK
#                                          make the packages, check what each
#                                          holds and needs, extract all three
#                                          to WORK/root
#   package-test.sh lintian WORK           lintian finds no error in them
#   package-test.sh plugin WORK PLUGINS_MD build a plug-in as the guide says, both
#                                          ways, and have trelvaned load it
#   package-test.sh unit WORK              systemd-analyze verify and security
#   package-test.sh unitenv UNIT_IN PROGRAM WORK
#                                          the unit template with two instances'
#                                          environment files: verified, and their
#                                          command lines run as systemd expands them
#   package-test.sh scripts WORK           install, remove and purge the runner
#                                          with dpkg in a throw-away root
#   package-test.sh prerm PRERM WORK       the prerm script, run in a throw-away
#                                          root, hands only instance names to
#                                          systemctl, whatever the links are named
#   package-test.sh tree SOURCE_DIR WORK   the build tree of `make package`
#                                          holds no benchmark and no tests
# Exit status 77 means skipped.
set -euo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

# The package files, by name.
deb_of() {
  local debs=("$1"/deb/"$2"_*.deb)
  [[ -f ${debs[0]} ]] || fail "no package $2 in $1/deb (the build step failed)"
  echo "${debs[0]}"
}

# Every file (not folder) of a package, as absolute paths.
deb_files() {
  dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sed 's|^\.||'
}

# ---- build ------------------------------------------------------------------
build_package() {
  local build=$1 work=$2 cpack=$3
  rm -rf "$work" && mkdir -p "$work/deb"
  command -v dpkg-deb >/dev/null || skip "dpkg-deb is missing"
  "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack did not build the packages"; }
  local runner desktop sdk version
  runner=$(deb_of "$work" trelvaned)
  desktop=$(deb_of "$work" trelvane)
  sdk=$(deb_of "$work" trelvane-dev)
  version=$(dpkg-deb -f "$runner" Version)

  # What each package holds, and that no file is in two of them.
  local -A want=(
    [$runner]="/usr/bin/trelvaned /usr/bin/trelvane-set /usr/lib/systemd/system/trelvaned@.service
               /usr/lib/trelvane/plugins/lf2crlf.so /usr/share/man/man1/trelvane-set.1.gz
               /usr/share/man/man5/trelvane.set.5.gz /usr/share/man/man8/trelvaned.8.gz
               /usr/share/doc/trelvaned/copyright /usr/share/doc/trelvaned/changelog.gz"
    [$desktop]="/usr/bin/trelvane /usr/share/applications/trelvane.desktop
                /usr/share/mime/packages/trelvane.xml /usr/share/icons/hicolor/scalable/apps/trelvane.svg
                /usr/share/man/man1/trelvane.1.gz
                /usr/share/doc/trelvane/copyright /usr/share/doc/trelvane/changelog.gz"
    [$sdk]="/usr/include/trelvane/trelvane_plugin.h /usr/lib/cmake/Trelvane/TrelvaneConfig.cmake
            /usr/lib/pkgconfig/trelvane.pc
            /usr/share/doc/trelvane-dev/copyright /usr/share/doc/trelvane-dev/changelog.gz")
  local deb f files all=""
  for deb in "$runner" "$desktop" "$sdk"; do
    files=$(deb_files "$deb")
    for f in ${want[$deb]}; do
      grep -qxF "$f" <<<"$files" || fail "${deb##*/} lacks $f"
    done
    all+="$files"$'\n'
  done
  local twice stray
  twice=$(grep -v '^$' <<<"$all" | sort | uniq -d)
  [[ -z $twice ]] || fail "files in two packages: $twice"
  # Everything in the Debian folders, nothing below /usr/local or /etc.
  stray=$(grep -v '^$' <<<"$all" | grep -v '^/usr/' || true)
  stray+=$(grep '^/usr/local/' <<<"$all" || true)
  [[ -z $stray ]] || fail "files outside /usr: $stray"

  # The runner needs no GUI library; the desktop program needs the runner's
  # files of the same version; the SDK fits every architecture.
  local depends
  depends=$(dpkg-deb -f "$runner" Depends)
  echo "trelvaned Depends: $depends"
  grep -q 'libqt6core6' <<<"$depends" || fail "the runner's Depends lacks libqt6core6"
  ! grep -qE 'libqt6(gui|widgets|opengl)|libgl|libx|libegl|libfontconfig' <<<"$depends" ||
    fail "the runner depends on a GUI library: $depends"
  depends=$(dpkg-deb -f "$desktop" Depends)
  echo "trelvane Depends: $depends"
  grep -qF "trelvaned (= $version)" <<<"$depends" || fail "trelvane does not depend on trelvaned (= $version)"
  grep -q 'libqt6widgets6' <<<"$depends" || fail "trelvane's Depends lacks libqt6widgets6"
  [[ $(dpkg-deb -f "$sdk" Architecture) == all ]] || fail "trelvane-dev is not Architecture: all"

  local root=$work/root
  for deb in "$runner" "$desktop" "$sdk"; do
    dpkg-deb -x "$deb" "$root"
  done
  grep -q '^ExecStart=/usr/bin/trelvaned ' "$root/usr/lib/systemd/system/trelvaned@.service" ||
    fail "the unit does not start /usr/bin/trelvaned"
  echo "packages built and extracted: ${runner##*/} ${desktop##*/} ${sdk##*/}"
}

# ---- lintian ----------------------------------------------------------------
check_lintian() {
  local work=$1
  command -v lintian >/dev/null || skip "lintian is missing (Debian package lintian)"
  local debs=("$work"/deb/*.deb)
  [[ -f ${debs[0]} ]] || fail "no packages in $work/deb (the build step failed)"
  # Warnings are shown; an error fails.
  lintian --fail-on error "${debs[@]}" ||
    fail "lintian reports errors"
  echo "lintian: no errors in ${#debs[@]} packages"
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
  # Plug-ins built against the SDK go to the administrator's folder, which
  # no package owns (and which the extracted root does not have yet).
  plugindir=$(pkg-config --variable=plugindir trelvane)
  [[ $plugindir == "$root/usr/local/lib/trelvane/plugins" ]] ||
    fail "pkg-config's plug-in folder is '$plugindir', not $root/usr/local/lib/trelvane/plugins"
  local packaged=$root/usr/lib/trelvane/plugins
  [[ -f $packaged/lf2crlf.so ]] || fail "lf2crlf.so is not in $packaged"

  # A packaged plug-in of the same name, to show which folder comes first.
  write_plugin_source "$work/packaged.c" 4299
  cc -shared -fPIC -fvisibility=hidden -I"$root/usr/include/trelvane" -o "$packaged/myplugin.so" "$work/packaged.c"

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
  # Without the administrator's one, the packaged folder is next.
  expect_loaded "$work" 4299
  rm -f "$packaged/myplugin.so"

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

# ---- scripts ----------------------------------------------------------------
# dpkg in a root of its own runs the maintainer scripts outside a chroot with
# DPKG_ROOT set, as for any installation into another root; no systemd runs
# there, so instances are found by their links.
dpkg_in_root() {
  local root=$1
  shift
  dpkg --root="$root" --force-script-chrootless --force-depends --force-not-root \
    --log=/dev/null "$@" >/dev/null 2>&1 || { dpkg --root="$root" --force-script-chrootless \
    --force-depends --force-not-root --log=/dev/null "$@"; fail "dpkg $* failed"; }
}

check_scripts() {
  local work=$1
  command -v dpkg >/dev/null || skip "dpkg is missing"
  local runner
  runner=$(deb_of "$work" trelvaned)
  local root=$work/dpkg-root
  local wants=$root/etc/systemd/system/multi-user.target.wants
  rm -rf "$root" && mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/usr/local/lib"
  touch "$root/var/lib/dpkg/status"

  # Install: the administrator's plug-in folder appears; remove: it goes
  # while empty.
  dpkg_in_root "$root" -i "$runner"
  [[ -d $root/usr/local/lib/trelvane/plugins ]] || fail "postinst did not make /usr/local/lib/trelvane/plugins"
  dpkg_in_root "$root" --remove trelvaned
  [[ ! -e $root/usr/local/lib/trelvane ]] || fail "removal left the empty /usr/local/lib/trelvane"

  # Two enabled instances and the administrator's own files.
  dpkg_in_root "$root" -i "$runner"
  mkdir -p "$wants" "$root/etc/systemd/system/trelvaned@.service.d" "$root/etc/trelvane"
  local name
  for name in plant line2; do
    ln -s /usr/lib/systemd/system/trelvaned@.service "$wants/trelvaned@$name.service"
  done
  local own=("$root/etc/trelvane/plant.set" "$root/etc/trelvane/trelvane.ini"
             "$root/etc/systemd/system/trelvaned@.service.d/override.conf"
             "$root/usr/local/lib/trelvane/plugins/myplugin.so")
  local f
  for f in "${own[@]}"; do echo "mine" >"$f"; done

  dpkg_in_root "$root" --remove trelvaned
  local left
  left=$(find "$root/etc/systemd/system" -name 'trelvaned@*.service' || true)
  [[ -z $left ]] || fail "removal left enabled instances: $left"
  [[ ! -e $root/usr/bin/trelvaned ]] || fail "removal left /usr/bin/trelvaned"
  dpkg_in_root "$root" --purge trelvaned
  for f in "${own[@]}"; do
    [[ $(cat "$f" 2>/dev/null) == mine ]] || fail "purge touched the administrator's ${f#"$root"}"
  done
  [[ -z $(dpkg-query --admindir="$root/var/lib/dpkg" -W trelvaned 2>/dev/null) ]] ||
    fail "trelvaned is still known to dpkg after purge"
  echo "remove disabled the instances; purge kept the administrator's files"
}

# ---- prerm ------------------------------------------------------------------
# Links with odd names beside real instances and an unrelated service: a
# recording systemctl must see the real instances only, each as one
# argument; every trelvaned@ link goes, the unrelated one stays.
check_prerm() {
  local prerm=$1 work=$2
  local root=$work/prerm-root bin=$work/prerm-bin
  local log=$bin/systemctl.log wants=$root/etc/systemd/system/multi-user.target.wants
  rm -rf "$root" "$bin"
  mkdir -p "$bin" "$wants" "$root/etc/systemd/system/sockets.target.requires"
  cat >"$bin/systemctl" <<'SCRIPT'
#!/bin/sh
for arg in "$@"; do printf '<%s>\n' "$arg"; done >>"$SYSTEMCTL_LOG"
SCRIPT
  chmod +x "$bin/systemctl"
  : >"$log"
  local target=/usr/lib/systemd/system/trelvaned@.service name
  # shellcheck disable=SC2016 # the command substitution is the point
  for name in 'trelvaned@plant.service' 'trelvaned@x ssh.service' 'trelvaned@*.service' \
              $'trelvaned@a\nssh.service' 'trelvaned@x\ ssh.service' 'trelvaned@$(touch pwned).service'; do
    ln -s "$target" "$wants/$name"
  done
  ln -s "$target" "$root/etc/systemd/system/sockets.target.requires/trelvaned@line-2.service"
  ln -s /usr/lib/systemd/system/ssh.service "$wants/ssh.service"
  (cd "$work" && DPKG_ROOT=$root SYSTEMCTL_LOG=$log PATH=$bin:$PATH sh "$prerm" remove) ||
    fail "prerm remove failed"
  local allowed=("<--root=$root>" "<--no-reload>" "<disable>" "<trelvaned@plant.service>"
                 "<trelvaned@line-2.service>")
  local line ok
  while IFS= read -r line; do
    ok=
    for name in "${allowed[@]}"; do [[ $line == "$name" ]] && ok=yes; done
    [[ -n $ok ]] || fail "prerm handed systemctl the argument '$line'"
  done <"$log"
  if ! grep -qx '<trelvaned@plant.service>' "$log" || ! grep -qx '<trelvaned@line-2.service>' "$log"; then
    fail "prerm did not disable the instances"
  fi
  [[ -L $wants/ssh.service ]] || fail "prerm removed the link of ssh.service"
  [[ ! -e $work/pwned ]] || fail "prerm ran a command from a link name"
  local left
  left=$(find "$root/etc/systemd/system" -name 'trelvaned@*' || true)
  [[ -z $left ]] || fail "prerm left links: $left"
  echo "prerm disabled the instances only and removed every trelvaned@ link"
}

# ---- tree -------------------------------------------------------------------
# `make package` configures its own tree; build only what goes into packages.
check_tree() {
  local source=$1 work=$2
  command -v make >/dev/null || skip "make is missing"
  local tree=$work/package-tree
  rm -rf "$tree"
  make -C "$source" --no-print-directory PACKAGE_BUILD="$tree" CMAKE_FLAGS= "$tree/build.ninja" \
    >"$work/tree.log" 2>&1 || { cat "$work/tree.log"; fail "configuring the package tree failed"; }
  local extra
  extra=$(cmake --build "$tree" --target help | grep -oE '(trelvane-bench|benchcopy|tst_[a-z_]+|fuzz_[a-z_]+):' || true)
  rm -rf "$tree"
  [[ -z $extra ]] || fail "make package would build ${extra//$'\n'/ }"
  echo "the package tree builds no benchmark, tests or fuzzers"
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

# ---- unitenv ----------------------------------------------------------------
# The lines of /etc/trelvane/<instance>.env as docs/headless.md shows them,
# in a folder standing for /etc/trelvane.
check_unit_env() {
  local unit_in=$1 program=$2 work=$3
  command -v systemd-analyze >/dev/null || skip "systemd-analyze is missing (Debian package systemd)"
  local dir=$work/unitenv etc=$work/unitenv/etc/trelvane
  rm -rf "$dir" && mkdir -p "$etc"
  sed -e "s|@TRELVANED_PROGRAM@|$program|" -e "s|/etc/trelvane/|$etc/|g" "$unit_in" >"$dir/trelvaned@.service"
  grep -q "^EnvironmentFile=-$etc/%i.env$" "$dir/trelvaned@.service" || fail "the unit reads no instance environment file"
  printf 'TRELVANED_OPTIONS=--metrics 127.0.0.1:9101\n' >"$etc/plant.env"
  printf 'TRELVANED_PROFILE=/etc/trelvane/line-2.ini\nTRELVANED_OPTIONS=--metrics 127.0.0.1:9102 --retry 30\n' |
    sed "s|/etc/trelvane/|$etc/|" >"$etc/line-2.env"
  printf '[Serial Ports]\n' >"$etc/line-2.ini"
  local instance port pids=()
  for instance in plant line-2; do
    printf 'in-setup = "TCP:0@127.0.0.1"\nout-setup = "UDP:9,127.0.0.1"\n' >"$etc/$instance.set"
    cp "$dir/trelvaned@.service" "$dir/trelvaned@$instance.service"
    systemd-analyze verify --man=no "$dir/trelvaned@$instance.service" ||
      fail "systemd-analyze verify found problems in trelvaned@$instance.service"
    # ExecStart as systemd expands it: the unit's Environment= lines, then
    # the instance's file; ${NAME} one word, $NAME split at blanks.
    local exec_start
    exec_start=$(sed -n 's/^ExecStart=//p' "$dir/trelvaned@.service" | sed "s|%i|$instance|g")
    (
      # Each line NAME=VALUE, the value to the end of the line.
      local line
      while IFS= read -r line; do
        export "${line%%=*}=${line#*=}"
      done < <(sed -n 's/^Environment=//p' "$dir/trelvaned@.service"; cat "$etc/$instance.env")
      eval "exec $exec_start"
    ) >"$dir/$instance.log" 2>&1 &
    pids+=($!)
  done
  for port in 9101 9102; do
    local reply="" tries
    for tries in $(seq 50); do
      # The server keeps the connection: read up to the line wanted.
      reply=$( { exec 3<>"/dev/tcp/127.0.0.1/$port" && printf 'GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n' >&3 &&
                 sed -n '/^trelvane_port_started{port="input"}/{p;q}' <&3; } 2>/dev/null) || true
      [[ $reply == *trelvane_port_started* ]] && break
      sleep 0.1
    done
    [[ $reply == *'trelvane_port_started{port="input"} 1'* ]] ||
      { kill "${pids[@]}"; cat "$dir"/*.log; fail "no metrics of a started gateway on port $port"; }
  done
  kill "${pids[@]}" && wait || true
  grep -q "^trelvaned: stopping (SIGTERM)" "$dir/plant.log" || fail "plant did not run as its unit starts it"
  echo "two instances with their own options: verified and serving metrics on 9101 and 9102"
}

case ${1:-} in
  build) build_package "$2" "$3" "$4" ;;
  lintian) check_lintian "$2" ;;
  plugin) build_plugins "$2" "$3" ;;
  unit) check_unit "$2" ;;
  unitenv) check_unit_env "$2" "$3" "$4" ;;
  scripts) check_scripts "$2" ;;
  prerm) check_prerm "$2" "$3" ;;
  tree) check_tree "$2" "$3" ;;
  *) echo "usage: $0 build|lintian|plugin|unit|unitenv|scripts|prerm|tree ..." >&2; exit 2 ;;
esac
