#!/usr/bin/env bash
# The Windows build, made on this Debian 12 machine (as root): installs the
# cross compilers and Wine, cross-builds Net-SNMP's client DLL (from Debian's
# source package) and GoogleTest into a cache folder that later runs reuse,
# cross-builds the project with cmake/mingw-w64-x86_64.cmake, runs its tests
# under Wine against the Linux crate-sim, and packs dist/kovo-windows-x64.zip.
#
# Folders: the cache in .cache/windows (or $KOVO_WINDOWS_CACHE), the build in
# build-windows (or $KOVO_WINDOWS_BUILD_DIR); the simulated crate the tests use
# comes from the Linux build in build (or $KOVO_BUILD_DIR), brought up to date.
# Extra arguments go to CMake's configure step of the project, e.g.
# -DKOVO_CRATE_ADDRESS=192.0.2.10:161 for a program that talks to a real crate.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
export KOVO_WINDOWS_CACHE=${KOVO_WINDOWS_CACHE:-$root/.cache/windows}
cache=$KOVO_WINDOWS_CACHE
prefix=$cache/prefix
build=$root/${KOVO_WINDOWS_BUILD_DIR:-build-windows}
linux_build=$root/${KOVO_BUILD_DIR:-build}  # scripts/build.sh takes the same variable
toolchain=$root/cmake/mingw-w64-x86_64.cmake
host=x86_64-w64-mingw32
netsnmp_version=5.9.3
mkdir -p "$cache" "$prefix/bin" "$prefix/lib/pkgconfig"

step() { printf '== windows (%ds): %s\n' "$SECONDS" "$*" >&2; }

# The window tests need Xvfb (the Linux set-up brings it and XTest's headers);
# the program's icon is drawn with rsvg-convert and ImageMagick, which with
# xdotool also serve scripts/screenshot-windows.sh.
install_packages() {
  local packages=(mingw-w64 wine wine64 dpkg-dev xvfb librsvg2-bin imagemagick xdotool) missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    step "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# Debian's source package of Net-SNMP: fetch_netsnmp_source.
source "$root/scripts/netsnmp-source.sh"

# Net-SNMP's client library as a DLL, with only what the library uses:
# SNMPv2c over UDP (IPv4 and IPv6); no agent, no tools, no MIB files, no
# SNMPv1, no TCP or alias transports, no OpenSSL (none is built for MinGW in
# Debian, and SNMPv2c needs none), and no debugging information, which the
# package strips anyway. USM and the callback transport stay: Net-SNMP's key
# and time code does not link without the one, its session header includes
# the other's.
build_netsnmp() {
  [[ -f $prefix/bin/libnetsnmp-40.dll && -f $prefix/lib/pkgconfig/netsnmp.pc ]] && return
  step "fetching and cross-building Net-SNMP $netsnmp_version"
  fetch_netsnmp_source "$cache" "$netsnmp_version"
  # Chained with &&: set -e does not act inside the left side of ||.
  (
    cd "$src" &&
    CFLAGS=-O2 ./configure --host=$host --prefix=/usr --disable-agent --disable-applications --disable-manuals \
      --disable-scripts --disable-mibs --disable-embedded-perl --without-perl-modules --without-openssl \
      --with-default-snmp-version=2 --disable-snmpv1 --with-transports=UDP \
      --with-out-transports="TCP TCPIPv6 Alias" --with-security-modules=usm --with-mibs= \
      --enable-shared --disable-static --with-defaults >"$cache/netsnmp-configure.log" 2>&1 &&
    # The Windows service helpers need the agent's program name: the client has no use for them.
    sed -i 's/ winservice\.lo winservicerc\.lo//; s/ winservice\.lo//; s/ winservicerc\.lo//' snmplib/Makefile &&
    make -C snmplib -j"$(nproc)" LDFLAGS="-no-undefined -lws2_32 -liphlpapi" >"$cache/netsnmp-build.log" 2>&1 &&
    rm -rf "$cache/stage" &&
    make -C snmplib install DESTDIR="$cache/stage" >>"$cache/netsnmp-build.log" 2>&1 &&
    make installheaders DESTDIR="$cache/stage" >>"$cache/netsnmp-build.log" 2>&1
  ) || {
    echo "windows: Net-SNMP did not build; the logs are $cache/netsnmp-configure.log and netsnmp-build.log:" >&2
    tail -n 20 "$cache/netsnmp-build.log" "$cache/netsnmp-configure.log" >&2 2>/dev/null
    exit 1
  }
  cp -r "$cache/stage/usr/include" "$prefix/"
  cp "$cache/stage/usr/lib/libnetsnmp.dll.a" "$prefix/lib/"
  cp "$cache/stage/usr/bin/libnetsnmp-40.dll" "$prefix/bin/"
  cat >"$prefix/lib/pkgconfig/netsnmp.pc" <<PC
prefix=$prefix
includedir=\${prefix}/include
libdir=\${prefix}/lib

Name: netsnmp
Description: Net-SNMP client library, cross-built for Windows
Version: $netsnmp_version
Cflags: -I\${includedir}
Libs: -L\${libdir} -lnetsnmp
Libs.private: -lws2_32 -liphlpapi
PC
  rm -rf "$cache/stage" "$cache/src"
}

# GoogleTest from Debian's source copy, as static libraries for MinGW.
build_googletest() {
  [[ -f $prefix/lib/libgtest.a ]] && return
  step "cross-building GoogleTest"
  cmake -S /usr/src/googletest -B "$cache/googletest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF >/dev/null
  cmake --build "$cache/googletest" -j"$(nproc)" >/dev/null
  cmake --install "$cache/googletest" >/dev/null
  rm -rf "$cache/googletest"
}

# The header-only libraries the project uses (toml++, nlohmann-json, CLI11, and
# {fmt} in its header-only form) serve MinGW as they are: copied into the
# prefix with the CMake packages of nlohmann-json and CLI11.
copy_headers() {
  cp -r /usr/include/toml++ /usr/include/nlohmann /usr/include/CLI /usr/include/fmt "$prefix/include/"
  mkdir -p "$prefix/share/cmake"
  cp -r /usr/share/cmake/nlohmann_json /usr/share/cmake/CLI11 "$prefix/share/cmake/"
}

# The MinGW run-time DLLs the programs load, beside Net-SNMP's in the prefix.
copy_runtime() {
  local dll
  for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    cp "$($host-g++-posix -print-file-name=$dll)" "$prefix/bin/"
  done
}

# Wine in a prefix of our own. A persistent wineserver makes each program start
# fast; the prefix's service processes keep the standard streams of the first
# Windows program, so that one has all three on /dev/null (or CTest, which runs
# the test programs to list their tests while building, waits for them).
#
# Wine's desktop process starts with the first program that needs it and
# draws every window of the session through the driver it could load then:
# started without a display, no window could ever be shown. A private X server
# for the session gives it one (the window tests show theirs on X servers of
# their own), and a wineserver left from an earlier session is ended first.
start_wine() {
  export WINEPREFIX=$cache/wine WINEDEBUG=-all
  wineserver -k 2>/dev/null || true
  local ready
  ready=$(mktemp -u) && mkfifo "$ready"
  Xvfb -displayfd 3 -nolisten tcp 3>"$ready" >/dev/null 2>&1 &
  xvfb=$!
  read -r display <"$ready" && rm -f "$ready"
  export DISPLAY=:$display
  trap 'wait $netsnmp 2>/dev/null; wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true' EXIT
  # The persistent server needs its prefix's folder (a clean clone has none yet).
  mkdir -p "$WINEPREFIX"
  wineserver -p
  # Making the prefix, Wine would offer to fetch .NET and HTML run-times no program of ours uses.
  WINEDLLOVERRIDES="mscoree,mshtml=" wine cmd /c exit </dev/null >/dev/null 2>&1
  keep_desktop
}

# Wine's desktop process is started by the first program that needs it, keeps
# that program's standard error (and what else it inherited) open, and closes
# a moment after the last program has ended. Under CTest a test's pipe then
# stays open while other tests run, and CTest waits for it to its timeout. One
# started here, with none of them, serves the whole session. Started while the
# desktop is still held by the one that making the prefix started, it ends at
# once, and is started again once that one has closed.
keep_desktop() {
  local try
  for try in 1 2 3 4 5; do
    wine explorer.exe /desktop </dev/null >/dev/null 2>&1 &
    sleep 2
    kill -0 $! 2>/dev/null && return
  done
  echo "windows: Wine's desktop process does not stay" >&2
  exit 1
}

# The tests' simulated crate, which the process layer of the tests under Wine
# starts as Wine runs any Linux program, and the driver of the window tests
# come from the Linux build, brought up to date (nothing to do after
# scripts/test.sh).
linux_tools() {
  step "bringing the Linux build up to date for the simulated crate"
  bash scripts/setup.sh
  bash scripts/build.sh >/dev/null
}

# dist/kovo-windows-x64.zip: the program (and its console twin) and its panel file, the kovo tool, the library as a
# DLL with its import library and headers (Net-SNMP's, which ours include,
# among them), the DLLs they load, the MIB modules in mibs/, and a README.
pack() {
  local stage=$build/package name=kovo-windows-x64 dll
  rm -rf "$stage" && mkdir -p "$stage/$name/include" "$stage/$name/lib"
  local top=$stage/$name
  cp "$build/app/kovo_uir.exe" "$build/app/kovo_uir_console.exe" "$build/app/kovo_uir.uir" "$build/cli/kovo.exe" \
    "$build/lib/TORVAN_SNMP.dll" "$top/"
  for dll in libnetsnmp-40.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    cp "$prefix/bin/$dll" "$top/"
  done
  cp "$build/lib/libTORVAN_SNMP.dll.a" "$prefix/lib/libnetsnmp.dll.a" "$top/lib/"
  cp lib/include/* "$top/include/"  # as installed on Linux
  cp -r "$prefix/include/net-snmp" "$top/include/"
  mkdir "$top/mibs" && cp "$build"/mib/*.txt "$top/mibs/"
  # Debugging information stays in the build; the package carries none.
  $host-strip --strip-debug "$top"/*.exe "$top"/*.dll
  sed 's/$/\r/' docs/README-windows.txt >"$top/README-windows.txt"
  mkdir -p dist
  rm -f "dist/$name.zip"
  (cd "$stage" && cmake -E tar cf "$root/dist/$name.zip" --format=zip "$name")
  rm -rf "$stage"
  echo "$root/dist/$name.zip"
}

install_packages
# Net-SNMP's configure script runs on one core for minutes: GoogleTest, the
# Wine session and the Linux build take the other one meanwhile. A run that
# fails waits for it, so that no build is left writing into the cache.
build_netsnmp &
netsnmp=$!
trap 'wait $netsnmp' EXIT
build_googletest
copy_headers
copy_runtime
start_wine
linux_tools
wait $netsnmp

step "cross-building kovo"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DKOVO_GUI=ON \
  -DKOVO_SIM_BUILD_DIR="$linux_build" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"

step "running the tests under Wine"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 300

step "packing"
pack
step "done"
