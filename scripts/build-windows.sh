#!/usr/bin/env bash
# Cross-builds the Windows 32-bit (i686) binaries: velk.dll with its import libraries (MinGW and
# MSVC), velkctl.exe, drovin.exe and the test programs; then the release, velk-<version>-win32.zip
# (stripped binaries) with velk-<version>-win32-debug.zip (their debug symbols) beside it.
#
# The third-party libraries are built first into a cache folder and reused on later runs:
# libusb (shared, libusb-1.0.dll), hidapi's Windows back end and zlib (static, linked into
# velk.dll), {fmt} and GoogleTest (static). Their sources are Debian source packages, fetched with
# `apt-get source` through an apt configuration of our own, so the machine's apt set-up is
# neither read for packages nor changed.
#
# Usage: scripts/build-windows.sh [--deps-only] [--clean-deps]
# Environment:
#   VELK_WIN_BUILD   build folder (default: build-win in the tree)
#   VELK_WIN_DEPS    dependency cache (default: $VELK_WIN_BUILD/deps)
#   VELK_JOBS        parallel jobs (default: 2)
#   LIBWDI_SOURCE    libwdi's source (its tarball or an unpacked folder) for drovin; by default
#                    ../shared/third_party/libwdi-*.tar.gz beside the repository, if it is there.
#                    Built into $VELK_WIN_BUILD/libwdi with autoconf, automake, libtool and the
#                    mingw-w64 i686 and x86_64 compilers (bootstrap-windows.sh installs them).
#   LIBUSBK_DIR      the libusbK binary package (sys/ and dll/, x86 and amd64) that libwdi embeds:
#                    drovin.exe, zipped with libwdi's licence. Without it libwdi embeds placeholder
#                    files and drovin is a test build, drovin-test.exe, never zipped.
#   LIBWDI_ROOT      a libwdi built elsewhere (include/libwdi.h, lib/libwdi.a) instead of
#                    LIBWDI_SOURCE. Without any libwdi only the stand-in's test build,
#                    drovin-standin-test.exe, is made, and the zip has no drovin.
#   VELK_NO_BOOTSTRAP=1  do not call scripts/bootstrap-windows.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VELK_WIN_BUILD:-$root/build-win}
deps=${VELK_WIN_DEPS:-$build/deps}
jobs=${VELK_JOBS:-2}
host=i686-w64-mingw32
toolchain=$root/cmake/toolchain-i686-mingw.cmake

# Pinned so that a rebuilt cache is the same cache. The stamp names the exact version.
libusb_pkg=libusb-1.0 libusb_ver=2:1.0.26-1
hidapi_pkg=hidapi hidapi_ver=0.13.1-1
zlib_pkg=zlib zlib_ver=1:1.2.13.dfsg-1
fmt_pkg=fmtlib fmt_ver=9.1.0+ds1-2
gtest_src=/usr/src/googletest

deps_only=0
for arg in "$@"; do
  case $arg in
    --deps-only) deps_only=1 ;;
    --clean-deps) rm -rf "$deps" ;;
    -h | --help) sed -n '2,/^set -e/p' "$0" | sed 's/^# \{0,1\}//; $d'; exit 0 ;;
    *) echo "build-windows: unknown argument $arg" >&2; exit 2 ;;
  esac
done

say() { echo "build-windows: $*"; }
now() { date +%s; }
t_start=$(now)

if [[ ${VELK_NO_BOOTSTRAP:-0} != 1 ]]; then
  bash "$root/scripts/bootstrap-windows.sh"
fi
for tool in $host-gcc-posix $host-g++-posix $host-ar $host-objdump apt-get dpkg-source cmake; do
  command -v "$tool" >/dev/null || { say "missing $tool (run scripts/bootstrap-windows.sh)"; exit 1; }
done

mkdir -p "$deps"/{src,build,include,lib,bin}

# Third-party builds are chatty (and warn falsely under GCC 12): their output goes to a log that
# is shown only when the step fails.
quiet() { # log command...
  local log=$1
  shift
  if ! "$@" >>"$log" 2>&1; then
    tail -40 "$log" >&2
    say "failed: $* (whole log: $log)" >&2
    return 1
  fi
}
stamp() { echo "$deps/.built-$1"; }
is_built() { [[ -f $(stamp "$1") && $(cat "$(stamp "$1")") == "$2" ]]; }
mark_built() { echo "$2" >"$(stamp "$1")"; }

# --- sources ----------------------------------------------------------------------------------

# Sources come through an apt configuration of our own (scripts/apt-private.sh); its lists and
# caches stay in the dependency cache.
source "$root/scripts/apt-private.sh"

fetch_source() { # package version -> prints the unpacked folder
  local pkg=$1 ver=$2 upstream dir
  upstream=${ver#*:}
  upstream=${upstream%-*}
  dir=$deps/src/$pkg-$upstream
  if [[ ! -d $dir ]]; then
    # Runs in a subshell, so whether the lists are fresh is kept on disk.
    apt_private_init "$deps/src/apt" deb-src @
    if [[ ! -f $deps/src/apt/updated ]]; then
      apt_private -qq update >&2
      touch "$deps/src/apt/updated"
    fi
    (cd "$deps/src" && apt_private -qq source "$pkg=$ver" >&2)
    [[ -d $dir ]] || { say "apt-get source $pkg=$ver did not unpack into $dir" >&2; return 1; }
  fi
  echo "$dir"
}

# --- libraries --------------------------------------------------------------------------------

# Third-party code is built with its own flags: no -Werror (GCC 12 warns falsely there).
build_libusb() {
  is_built libusb "$libusb_ver" && return
  local src out
  src=$(fetch_source "$libusb_pkg" "$libusb_ver")
  out=$deps/build/libusb
  rm -rf "$out" && mkdir -p "$out"
  (cd "$out" &&
   quiet "$out/build.log" "$src/configure" --host=$host --prefix="$deps" --disable-static \
     --enable-shared CC=$host-gcc-posix CFLAGS="-O2" LDFLAGS="-static-libgcc" &&
   quiet "$out/build.log" make -j"$jobs" && quiet "$out/build.log" make install-strip)
  mark_built libusb "$libusb_ver"
}

build_hidapi() {
  is_built hidapi "$hidapi_ver" && return
  local src out
  src=$(fetch_source "$hidapi_pkg" "$hidapi_ver")
  out=$deps/build/hidapi
  rm -rf "$out" && mkdir -p "$out"
  $host-gcc-posix -O2 -c "$src/windows/hid.c" -I"$src/hidapi" -I"$src/windows" -o "$out/hid.o"
  rm -f "$deps/lib/libhidapi.a"
  $host-ar rcs "$deps/lib/libhidapi.a" "$out/hid.o"
  mkdir -p "$deps/include/hidapi"
  cp "$src/hidapi/hidapi.h" "$src/windows/hidapi_winapi.h" "$deps/include/hidapi/"
  mark_built hidapi "$hidapi_ver"
}

# The static library only (velk uses its CRC-32). Debian's source leaves out zlib's Windows
# makefiles, so its library sources are compiled here, as hidapi's are.
build_zlib() {
  is_built zlib "$zlib_ver" && return
  local src out f
  src=$(fetch_source "$zlib_pkg" "$zlib_ver")
  out=$deps/build/zlib
  rm -rf "$out" && mkdir -p "$out"
  for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate \
           inftrees trees uncompr zutil; do
    quiet "$out/build.log" $host-gcc-posix -O2 -c "$src/$f.c" -I"$src" -o "$out/$f.o"
  done
  rm -f "$deps/lib/libz.a"
  $host-ar rcs "$deps/lib/libz.a" "$out"/*.o
  cp "$src/zlib.h" "$src/zconf.h" "$deps/include/"
  mark_built zlib "$zlib_ver"
}

# A library with a CMake build of its own, static, installed into the cache.
build_cmake_dep() { # name version source-folder cmake-args...
  local name=$1 ver=$2 src=$3
  shift 3
  is_built "$name" "$ver" && return
  local out=$deps/build/$name
  rm -rf "$out"
  mkdir -p "$out"
  quiet "$out/build.log" cmake -S "$src" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF "$@"
  quiet "$out/build.log" cmake --build "$out" -j"$jobs"
  quiet "$out/build.log" cmake --install "$out"
  mark_built "$name" "$ver"
}

build_fmt() {
  is_built fmt "$fmt_ver" && return
  local src
  src=$(fetch_source "$fmt_pkg" "$fmt_ver")
  build_cmake_dep fmt "$fmt_ver" "$src" -DFMT_DOC=OFF -DFMT_TEST=OFF -DFMT_INSTALL=ON
}

build_gtest() {
  local ver
  ver=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null || true)
  [[ -n $ver && -d $gtest_src ]] || { say "googletest sources missing ($gtest_src)"; return 1; }
  build_cmake_dep gtest "$ver" "$gtest_src" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
    -Dgtest_disable_pthreads=ON
}

timed() { # label command...
  local t0
  t0=$(now)
  "$@"
  say "$1 ready ($(($(now) - t0)) s)"
}

# The licences of the third-party code that ships inside velk.dll or beside it, for the zip:
# libusb (libusb-1.0.dll), hidapi, zlib and {fmt} (linked into velk.dll), and the mingw-w64
# runtime (winpthreads, linked into every binary).
collect_licences() {
  local dir=$deps/licences src
  rm -rf "$dir" && mkdir -p "$dir"
  src=$(fetch_source "$libusb_pkg" "$libusb_ver") && cp "$src/COPYING" "$dir/libusb.txt"
  src=$(fetch_source "$hidapi_pkg" "$hidapi_ver")
  cp "$src/LICENSE.txt" "$dir/hidapi.txt" && cp "$src/LICENSE-bsd.txt" "$dir/hidapi-bsd.txt"
  src=$(fetch_source "$zlib_pkg" "$zlib_ver") && cp "$src/LICENSE" "$dir/zlib.txt"
  src=$(fetch_source "$fmt_pkg" "$fmt_ver") && cp "$src/LICENSE.rst" "$dir/fmt.txt"
  cp /usr/share/doc/mingw-w64-i686-dev/copyright "$dir/mingw-w64-runtime.txt"
}

timed build_libusb
timed build_hidapi
timed build_zlib
timed build_fmt
timed build_gtest
collect_licences
say "dependencies in $deps ($(($(now) - t_start)) s)"
(( deps_only )) && exit 0

# --- libwdi, for drovin -----------------------------------------------------------------------
# drovin links libwdi, which no registry carries: it is built here from its source, into
# $build/libwdi (never into the shared cache), with the libusbK driver files that it embeds and
# writes into the driver packages it prepares. The real, signed files come from LIBUSBK_DIR;
# without it the embedded files are placeholders and drovin is only a test build.

wdi_host64=x86_64-w64-mingw32
# libwdi calls the co-installer WdfCoInstaller<WDF_VER>.dll when it embeds it, but
# WdfCoInstaller<WDF_VER as 5 digits>.dll in the INF and the catalog it writes; the libusbK
# package has the latter (WdfCoInstaller01011.dll). Both names are embedded (the second through
# --with-userdir), so the package holds the file its INF names.
wdf_ver=1011
wdf_coinstaller=WdfCoInstaller0$wdf_ver.dll

# The source given, or the copy beside the repository (as CI has it); nothing without either.
libwdi_source() {
  if [[ -n ${LIBWDI_SOURCE:-} ]]; then
    [[ -e $LIBWDI_SOURCE ]] || { say "LIBWDI_SOURCE: no such file or folder: $LIBWDI_SOURCE" >&2; return 1; }
    realpath "$LIBWDI_SOURCE"
    return
  fi
  local shared=$root/../shared/third_party found
  [[ -d $shared ]] || return 0
  found=$(find "$shared" -maxdepth 1 -name 'libwdi-*.tar.gz' | sort | tail -1)
  [[ -z $found ]] || realpath "$found"
}

# The driver files in the layout that libwdi's --with-libusbk expects, plus the co-installer under
# the name the INF uses (--with-userdir): LIBUSBK_DIR's, or placeholders, which are marked in
# the installed library so that drovin is built as a test build.
stage_libusbk_files() { # folder
  local dir=$1 arch file coinstaller
  rm -rf "$dir" && mkdir -p "$dir"/{libusbk,coinstaller} || return 1
  for arch in x86 amd64; do
    mkdir -p "$dir/libusbk/sys/$arch" "$dir/libusbk/dll/$arch" "$dir/coinstaller/$arch" || return 1
    if [[ -n ${LIBUSBK_DIR:-} ]]; then
      for file in sys/$arch/libusbK.sys dll/$arch/libusbK.dll dll/$arch/libusb0.dll; do
        [[ -f $LIBUSBK_DIR/$file ]] || { say "LIBUSBK_DIR lacks $file" >&2; return 1; }
        cp "$LIBUSBK_DIR/$file" "$dir/libusbk/$file" || return 1
      done
      coinstaller=$LIBUSBK_DIR/sys/$arch/$wdf_coinstaller
      [[ -f $coinstaller ]] || coinstaller=$LIBUSBK_DIR/sys/$arch/WdfCoInstaller$wdf_ver.dll
      [[ -f $coinstaller ]] || { say "LIBUSBK_DIR lacks sys/$arch/$wdf_coinstaller" >&2; return 1; }
    else
      for file in sys/$arch/libusbK.sys dll/$arch/libusbK.dll dll/$arch/libusb0.dll; do
        echo "placeholder for $file: a test build of libwdi, whose packages cannot install" \
          >"$dir/libusbk/$file"
      done
      coinstaller=$dir/coinstaller/placeholder
      echo "placeholder for $wdf_coinstaller" >"$coinstaller"
    fi
    cp "$coinstaller" "$dir/libusbk/sys/$arch/WdfCoInstaller$wdf_ver.dll" &&
      cp "$coinstaller" "$dir/coinstaller/$arch/$wdf_coinstaller" || return 1
  done
  rm -f "$dir/coinstaller/placeholder"
}

libusbk_files_digest() {
  if [[ -z ${LIBUSBK_DIR:-} ]]; then
    echo placeholders
  else
    (cd "$LIBUSBK_DIR" && find sys dll -type f -print0 | sort -z | xargs -0 sha256sum | sha256sum)
  fi
}

# Builds libwdi into $build/libwdi/root (include/libwdi.h, lib/libwdi.a), unless the same tarball
# with the same driver files was built there already (a source folder is always built again);
# prints the folder.
build_libwdi() { # source
  local src=$1 out=$build/libwdi key= cc
  if [[ -f $src ]]; then
    key="$(sha256sum <"$src") $(libusbk_files_digest)"
    if [[ -f $out/root/lib/libwdi.a && $(cat "$out/.built" 2>/dev/null) == "$key" ]]; then
      echo "$out/root"
      return
    fi
  fi
  # Runs in a command substitution, where set -e does not reach: failures return explicitly.
  rm -rf "$out" && mkdir -p "$out/src" || return 1
  if [[ -d $src ]]; then
    cp -a "$src/." "$out/src/" || return 1
  else
    tar -xzf "$src" -C "$out/src" --strip-components=1 || return 1
  fi
  stage_libusbk_files "$out/driver-files" || return 1

  # libwdi builds its 64-bit installer with "$CC -m64"; each of Debian's mingw-w64 compilers has
  # one target, so a wrapper hands -m64 compilations to the x86_64 one.
  local configure_64=()
  if command -v $wdi_host64-gcc-posix >/dev/null; then
    cc=$out/mingw-gcc
    printf '%s\n' '#!/bin/sh' \
      'for arg in "$@"; do' \
      "  [ \"\$arg\" = -m64 ] && exec $wdi_host64-gcc-posix \"\$@\"" \
      'done' \
      "exec $host-gcc-posix \"\$@\"" >"$cc"
    chmod +x "$cc"
  elif [[ -n ${LIBUSBK_DIR:-} ]]; then
    say "missing $wdi_host64-gcc-posix: a drovin for release must install on 64-bit Windows too" >&2
    return 1
  else
    say "warning: no $wdi_host64-gcc-posix; this test build of libwdi has no 64-bit installer" >&2
    cc=$host-gcc-posix
    configure_64=(--disable-64bit)
  fi

  local log=$out/build.log
  (cd "$out/src" &&
   quiet "$log" autoreconf -fi &&
   quiet "$log" ./configure --host=$host --prefix="$out/root" --disable-shared --enable-static \
     --disable-debug --enable-toggable-debug "${configure_64[@]}" CC="$cc" \
     --with-wdfver=$wdf_ver --with-libusbk="$out/driver-files/libusbk" \
     --with-userdir="$out/driver-files/coinstaller" &&
   quiet "$log" make -j"$jobs" &&
   quiet "$log" make install) >&2 || return 1
  cp "$out/src/COPYING-LGPL" "$out/src/COPYING" "$out/root/" || return 1
  if [[ -z ${LIBUSBK_DIR:-} ]]; then
    echo "libusbK files in this libwdi are placeholders: drovin against it is a test build" \
      >"$out/root/placeholder-driver-files"
  fi
  [[ -z $key ]] || echo "$key" >"$out/.built"
  echo "$out/root"
}

# --- the project ------------------------------------------------------------------------------

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[[ -f $build/CMakeCache.txt ]] && generator=()

cmake_args=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DVELK_DEPS_ROOT="$deps"
            -DCMAKE_BUILD_TYPE="${CMAKE_BUILD_TYPE:-Release}" -DVELK_BUILD_BENCH=OFF -DVELK_WERROR=ON)
# drovin against a libwdi: LIBWDI_ROOT's, or one built here; without any, only the stand-in's
# test build (never zipped).
libwdi_root=${LIBWDI_ROOT:-}
if [[ -n $libwdi_root && -n ${LIBUSBK_DIR:-} ]]; then
  say "LIBUSBK_DIR goes into a libwdi built here: give LIBWDI_SOURCE, not LIBWDI_ROOT"
  exit 2
fi
if [[ -z $libwdi_root ]]; then
  libwdi_src=$(libwdi_source)
  if [[ -z $libwdi_src && -n ${LIBUSBK_DIR:-} ]]; then
    say "LIBUSBK_DIR is set, but there is no libwdi source (LIBWDI_SOURCE) to build with it"
    exit 2
  fi
  if [[ -n $libwdi_src ]]; then
    t0=$(now)
    libwdi_root=$(build_libwdi "$libwdi_src")
    say "libwdi ready from $libwdi_src ($(($(now) - t0)) s)"
  fi
fi
if [[ -n $libwdi_root ]]; then
  cmake_args+=(-DLIBWDI_ROOT="$libwdi_root")
else
  cmake_args+=(-DLIBWDI_ROOT= -DVELK_DROVIN_STANDIN=ON)
fi

t0=$(now)
cmake -S "$root" -B "$build" "${generator[@]}" "${cmake_args[@]}"
cmake --build "$build" -j"$jobs"
say "project built in $build/bin ($(($(now) - t0)) s; $(($(now) - t_start)) s in all)"

# The release's binaries stripped; their debug symbols go into <release>-debug.zip, one
# <binary>.debug file each, which unpacked beside the binary a debugger finds through the
# binary's .gnu_debuglink.
split_debug_symbols() { # release-dir debug-dir
  local dir=$1 debug=$2 file
  mkdir -p "$debug"
  for file in velk.dll velkctl.exe drovin.exe; do
    [[ -f $dir/$file ]] || continue
    $host-objcopy --only-keep-debug "$dir/$file" "$debug/$file.debug"
    $host-strip --strip-all "$dir/$file"
    (cd "$debug" && $host-objcopy --add-gnu-debuglink="$file.debug" "$dir/$file")
  done
}

# The zip's own README: what is in it, and where drovin.exe comes from.
write_zip_readme() { # release-dir version
  local dir=$1 version=$2 drovin
  if [[ -f $dir/drovin.exe ]]; then
    drovin="drovin.exe is built from velk's own sources (drovin/) and linked with libwdi, the
open-source Windows driver-installation library (LGPL-3.0 or later), which carries the libusbK
driver files that drovin installs."
  else
    drovin="This zip has no drovin.exe, the driver installer: it is zipped only when built with
the real libusbK driver files (scripts/build-windows.sh with LIBWDI_SOURCE and LIBUSBK_DIR)."
  fi
  cat >"$dir/README-win32.txt" <<TEXT
velk $version for Windows (32-bit, i686)

velk.dll        the library; libusb-1.0.dll must lie beside it
velk.h          its header; velk.def the export list
velk.dll.a      the import library for MinGW; velk.lib the one for MSVC
velkctl.exe     the command-line host
drovin.exe      the driver installer for the libusbK driver (when present; see below)
licences/       the licences of the third-party code inside velk.dll and beside it
README.md       the whole documentation

$drovin

The binaries are stripped. Their debug symbols are in velk-$version-win32-debug.zip: unpacked
over this folder, each <binary>.debug lies beside its binary, where a debugger finds it.
TEXT
}

# The release: what cmake --install puts into one folder, zipped as velk-<version>-win32.zip, and
# the debug symbols of its binaries as velk-<version>-win32-debug.zip.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
release=velk-$version-win32
rm -rf "${build:?}/$release" "$build/$release.zip" "$build/$release-debug" "$build/$release-debug.zip"
cmake --install "$build" --prefix "$build/$release" >/dev/null
split_debug_symbols "$build/$release" "$build/$release-debug/$release"
write_zip_readme "$build/$release" "$version"
(cd "$build" && cmake -E tar cf "$release.zip" --format=zip "$release")
(cd "$build/$release-debug" && cmake -E tar cf "../$release-debug.zip" --format=zip "$release")
rm -rf "${build:?}/$release" "$build/$release-debug"
say "release $build/$release.zip ($(($(stat -c %s "$build/$release.zip") / 1024)) KiB)," \
  "debug symbols $build/$release-debug.zip ($(($(stat -c %s "$build/$release-debug.zip") / 1024)) KiB)"
