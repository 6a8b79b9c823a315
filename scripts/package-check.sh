#!/usr/bin/env bash
# Checks what package.sh made in build/package/: lintian finds no error and no
# hardening, manual page or shared library fault in the three .debs, each holds
# what it should, the tools depend on libtrellan1 through its shlibs file, and
# all three install with dpkg into a throw-away root, where the installed tools
# run the samples in examples/, their manual pages render, and programs of
# one's own build on the installed library, shared and static: C programs
# through pkg-config (as flags and through CMake's pkg_check_modules) and a C
# project through the CMake package, which also runs the installed Velmark. The .zip holds what
# it should, libpcap's licence among it, and its Velmark.exe, Velcheck.exe and
# Tervox.exe run the same samples under wine and write the same files as on
# Linux.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build test windows package
deb=$(echo build/package/velmark-tervox_*_*.deb)
lib=$(echo build/package/libtrellan1_*_*.deb)
dev=$(echo build/package/libtrellan-dev_*_*.deb)
zip=$(echo build/package/velmark-tervox-*-win64.zip)
if [ ! -f "$deb" ] || [ ! -f "$lib" ] || [ ! -f "$dev" ] || [ ! -f "$zip" ]; then
  echo "package-check.sh: no .debs or .zip in build/package/; run scripts/package.sh" >&2
  exit 1
fi
version=$(dpkg-deb -f "$deb" Version)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

# Fails unless the file list FOUND is the list EXPECTED, whatever the order.
ExpectFiles() {
  local package=$1 found=$2 expected=$3
  if ! diff <(sort <<<"$expected") <(sort <<<"$found"); then
    echo "$package does not hold the expected files (<: expected, >: found)" >&2
    exit 1
  fi
}

# The licence that the copyright file COPYRIGHT gives the shipped file PATH:
# that of the last Files stanza matching it, as the copyright format reads it.
GetLicence() {
  python3 - "$1" "$2" <<'PYTHON'
import fnmatch, sys
licence = ""
for stanza in open(sys.argv[1]).read().split("\n\n"):
    fields = dict(line.split(": ", 1) for line in stanza.splitlines() if line[:1] not in ("", " ") and ": " in line)
    if any(fnmatch.fnmatchcase(sys.argv[2], pattern) for pattern in fields.get("Files", "").split()):
        licence = fields["License"]
print(licence)
PYTHON
}

# Runs the tools in BIN (names ending in SUFFIX, each run by the command that
# follows, if any) on the samples in the current folder, naming outputs TAG.*.
RunSamples() {
  local tag=$1 bin=$2 suffix=$3
  shift 3
  echo "-- $tag: Velmark, Velcheck, Tervox on the samples"
  "$@" "$bin/Velmark$suffix" -a0800C000 -x0800C000:0800C0FF demoprog_placeholder.srec "$tag.srec"
  "$@" "$bin/Velcheck$suffix" "$tag.srec" | tee "$tag.check"
  grep -q '^OK: 3 of 3 segments match the image' "$tag.check"
  "$@" "$bin/Tervox$suffix" demo.prb "$tag.pcap" 4 1700000000 >/dev/null
  capinfos "$tag.pcap" >/dev/null
}

# What the three .debs hold under /usr, and the zip under its top folder.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
tools="bin/Velmark
bin/Velcheck
bin/Tervox
share/doc/velmark-tervox/README.md
share/doc/velmark-tervox/copyright
$(cd docs && printf 'share/doc/velmark-tervox/docs/%s\n' *.md)"
library="LIB/libtrellan.so.1
LIB/libtrellan.so.VERSION"
development="include/trellan.h
LIB/libtrellan.a
LIB/libtrellan.so
LIB/pkgconfig/trellan.pc
LIB/cmake/VelmarkTervox/VelmarkTervoxConfig.cmake
LIB/cmake/VelmarkTervox/VelmarkTervoxConfigVersion.cmake
LIB/cmake/VelmarkTervox/VelmarkTervoxTargets.cmake
LIB/cmake/VelmarkTervox/VelmarkTervoxTargets-release.cmake
LIB/cmake/VelmarkTervox/VelmarkTervoxFirmware.cmake
share/velmark-tervox/checksum-info-table/checksum_info_table.c
share/velmark-tervox/checksum-info-table/checksum_info_table.h"
cp examples/demoprog.srec examples/demoprog_placeholder.srec examples/demo.prb "$work/"

lintianUser=()
[ "$(id -u)" -eq 0 ] && lintianUser=(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work")
for package in "$deb" "$lib" "$dev"; do
  echo "== $package: lintian (no errors, no hardening, manual page or shared library tags)"
  cp "$package" "$work/"
  # From the scratch folder: the user lintian runs as may not enter the clone's.
  (cd "$work" && "${lintianUser[@]}" lintian -I --fail-on error "$(basename "$package")") | tee "$work/lintian.out"
  if grep -E 'hardening-|no-manual-page|shlib|soname|ldconfig|symbols-file|multi-?arch' "$work/lintian.out"; then
    echo "$package: lintian reports the tags above" >&2
    exit 1
  fi
done
ExpectFiles "$deb" "$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed -n 's|^\./\(.*[^/]\)$|\1|p')" \
  "$(sed 's|^|usr/|' <<<"$tools"
     printf 'usr/share/man/man1/%s.1.gz\n' Velmark Velcheck Tervox
     echo usr/share/doc/velmark-tervox/changelog.Debian.gz)"
ExpectFiles "$lib" "$(dpkg-deb -c "$lib" | awk '{ print $6 }' | sed -n 's|^\./\(.*[^/]\)$|\1|p')" \
  "$(sed "s|^LIB/|lib/$multiarch/|; s|VERSION|${version%-*}|; s|^|usr/|" <<<"$library"
     printf 'usr/share/doc/libtrellan1/%s\n' copyright changelog.Debian.gz
     echo usr/share/lintian/overrides/libtrellan1)"
ExpectFiles "$dev" "$(dpkg-deb -c "$dev" | awk '{ print $6 }' | sed -n 's|^\./\(.*[^/]\)$|\1|p')" \
  "$(sed "s|^LIB/|lib/$multiarch/|; s|^|usr/|" <<<"$development"
     printf 'usr/share/doc/libtrellan-dev/%s\n' copyright changelog.Debian.gz)"
for package in "$lib" "$dev"; do
  if [ "$(dpkg-deb -f "$package" Multi-Arch)" != same ]; then
    echo "$package is not Multi-Arch: same" >&2
    exit 1
  fi
done
if [ "$(dpkg-deb -I "$lib" shlibs)" != "libtrellan 1 libtrellan1 (>= ${version%-*})" ]; then
  echo "$lib has no shlibs file naming libtrellan1 (>= ${version%-*}): $(dpkg-deb -I "$lib" shlibs)" >&2
  exit 1
fi
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libpcap0.8 "libtrellan1 (>= ${version%-*})"; do
  if ! grep -qF "$needed" <<<"$depends"; then
    echo "$deb does not depend on $needed" >&2
    exit 1
  fi
done
devDepends=$(dpkg-deb -f "$dev" Depends)
if ! [[ "$devDepends" =~ ^"libtrellan1 (= $version), velmark-tervox (= $version), libacl1-dev, libstdc++-"[0-9]+"-dev | libstdc++-dev"$ ]]; then
  echo "$dev does not depend on libtrellan1 and velmark-tervox (= $version), libacl1-dev and libstdc++'s -dev: $devDepends" >&2
  exit 1
fi

echo "== $deb, $lib, $dev: dpkg -i into a throw-away root"
# Its database knows the packages the .debs depend on as this machine has them
# (their files are not needed), so dpkg checks the dependencies for real.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
libDepends=$(dpkg-deb -f "$lib" Depends)
for package in $(tr ',' '\n' <<<"$depends, $libDepends, $devDepends" | sed 's/[(|].*//' | sort -u |
                 grep -vxE ' *(velmark-tervox|libtrellan1) *'); do
  dpkg-query -s "$package" >>"$root/var/lib/dpkg/status"
  echo >>"$root/var/lib/dpkg/status"
  touch "$root/var/lib/dpkg/info/$(dpkg-query -W -f='${binary:Package}' "$package").list"
done
dpkg --root="$root" --log=/dev/null -i "$deb" "$lib" "$dev"
# The .deb's library folder is the loader's own (so the tools name no RUNPATH),
# but only under the real root.
if readelf -d "$root/usr/bin/Velmark" "$root/usr/bin/Velcheck" | grep -E 'RUNPATH|RPATH'; then
  echo "$deb: the tools name a library search path" >&2
  exit 1
fi
installedLib="$root/usr/lib/$multiarch"
(cd "$work" && RunSamples linux "$root/usr/bin" "" env LD_LIBRARY_PATH="$installedLib")

echo "-- the manual pages"
for page in Velmark Velcheck Tervox; do
  MANPATH="$root/usr/share/man" man -w "$page" >/dev/null
  MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>"$work/man.err" >"$work/man.out"
  for section in SYNOPSIS OPTIONS 'EXIT STATUS' FILES EXAMPLES; do
    if ! grep -q "^$section" "$work/man.out"; then
      echo "$page(1) has no $section section" >&2
      exit 1
    fi
  done
  if [ -s "$work/man.err" ]; then
    echo "$page(1) renders with warnings:" >&2
    cat "$work/man.err" >&2
    exit 1
  fi
done

echo "-- C programs on the installed libtrellan, shared and static, and the checker's sources"
cat >"$work/crc.c" <<'SOURCE'
#include <stdio.h>
#include <trellan.h>
#include "checksum_info_table.h"
int main(void) {
  const uint8_t check[] = "123456789";
  printf("%04X %04X %s\n", TrlUtilCrc16Calculate(check, 9),
         CalculateChecksumInfoCrc16(CIT_CRC_INITIAL_VALUE, check, 9), TRL_VERSION_STRING);
  return 0;
}
SOURCE
checker="$root/usr/share/velmark-tervox/checksum-info-table"
export PKG_CONFIG_PATH="$root/usr/lib/$multiarch/pkgconfig"
expected="29B1 29B1 ${version%-*}"
# Fails unless PROGRAM prints what the library and the checker should, and
# loads libtrellan.so.1 exactly when LINK is shared.
CheckProgram() {
  local program=$1 link=$2 printed needed
  printed=$(LD_LIBRARY_PATH="$installedLib" "$program")
  [ "$printed" = "$expected" ] || { echo "$program gives $printed, not $expected" >&2; exit 1; }
  needed=$(readelf -d "$program" | grep -c 'NEEDED.*libtrellan\.so\.1' || true)
  [ "$needed" -eq "$([ "$link" = shared ] && echo 1 || echo 0)" ] ||
    { echo "$program is not linked $link: it needs libtrellan.so.1 $needed times" >&2; exit 1; }
}
# Plain flags link the shared library; --static gives what the archive needs
# as well, and -static makes the linker take the archive.
# shellcheck disable=SC2046 # pkg-config gives several words
(cd "$work" && gcc -std=c99 -Wall -Werror -I"$checker" crc.c "$checker/checksum_info_table.c" \
  $(pkg-config --cflags --libs trellan) -o crc-shared &&
  gcc -std=c99 -Wall -Werror -I"$checker" crc.c "$checker/checksum_info_table.c" \
  $(pkg-config --static --cflags --libs trellan) -static -o crc-static)
CheckProgram "$work/crc-shared" shared
CheckProgram "$work/crc-static" static

echo "-- a C project on the installed CMake package (shared, and the component static) and on pkg_check_modules"
mkdir -p "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<'SOURCE'
cmake_minimum_required(VERSION 3.20)
project(consumer C)
if(STATIC)
  set(components COMPONENTS static)
endif()
find_package(VelmarkTervox 1 CONFIG REQUIRED ${components})
add_executable(crc crc.c ${CHECKER}/checksum_info_table.c)
target_include_directories(crc PRIVATE ${CHECKER})
target_link_libraries(crc PRIVATE VelmarkTervox::trellan)
find_package(PkgConfig REQUIRED)
pkg_check_modules(trellan REQUIRED IMPORTED_TARGET trellan)
add_executable(crc_pkg_config crc.c ${CHECKER}/checksum_info_table.c)
target_include_directories(crc_pkg_config PRIVATE ${CHECKER})
target_link_libraries(crc_pkg_config PRIVATE PkgConfig::trellan)
add_custom_command(OUTPUT marked.srec
  COMMAND VelmarkTervox::Velmark -a0800C000 -x0800C000:0800C0FF ${SAMPLE} marked.srec
  COMMAND VelmarkTervox::Velcheck marked.srec)
add_custom_target(marked ALL DEPENDS marked.srec)
SOURCE
cp "$work/crc.c" "$work/consumer/"
for link in shared static; do
  cmake -S "$work/consumer" -B "$work/consumer/$link" -DCMAKE_PREFIX_PATH="$root/usr" \
    -DSTATIC="$([ "$link" = static ] && echo ON || echo OFF)" -DCHECKER="$checker" \
    -DSAMPLE="$work/demoprog_placeholder.srec" >/dev/null
  # The imported tools run from the throw-away root.
  LD_LIBRARY_PATH="$installedLib" cmake --build "$work/consumer/$link" >/dev/null
  CheckProgram "$work/consumer/$link/crc" "$link"
  CheckProgram "$work/consumer/$link/crc_pkg_config" shared
done

echo "-- a build with only the archive: plain pkg-config flags and pkg_check_modules link it too"
static=build/static-only
cmake -S . -B "$static" -DVELMARK_LIBTRELLAN_SHARED=OFF -DVELMARK_BUILD_TESTS=OFF \
  -DVELMARK_BUILD_TERVOX=OFF >/dev/null
cmake --build "$static" -j"$(nproc)" --target trellan Velmark Velcheck >/dev/null
for component in tools development; do
  cmake --install "$static" --prefix "$work/static" --component "$component" >/dev/null
done
# shellcheck disable=SC2046 # pkg-config gives several words
(cd "$work" && gcc -std=c99 -Wall -Werror -I"$checker" crc.c "$checker/checksum_info_table.c" \
  $(PKG_CONFIG_PATH="$work/static/lib/pkgconfig" pkg-config --cflags --libs trellan) -o crc-archive)
CheckProgram "$work/crc-archive" static
PKG_CONFIG_PATH="$work/static/lib/pkgconfig" cmake -S "$work/consumer" -B "$work/consumer/archive" \
  -DCMAKE_PREFIX_PATH="$work/static" -DCHECKER="$checker" -DSAMPLE="$work/demoprog_placeholder.srec" >/dev/null
cmake --build "$work/consumer/archive" >/dev/null
CheckProgram "$work/consumer/archive/crc" static
CheckProgram "$work/consumer/archive/crc_pkg_config" static

echo "== $zip: the tools under wine"
ExpectFiles "$zip" "$(unzip -Z1 "$zip" | sed -n 's|^[^/]*/\(.*[^/]\)$|\1|p')" \
  "$(sed 's|^\(bin/.*\)|\1.exe|' <<<"$tools"
     printf 'bin/%s\n' wpcap.dll libpcap-LICENSE.txt trellan.dll
     sed 's|^LIB/|lib/|; s|\.so$|.dll.a|' <<<"$development")"
unzip -q "$zip" -d "$work/zip"
if ! grep -q 'Redistribution and use in source and binary forms' "$work"/zip/*/bin/libpcap-LICENSE.txt; then
  echo "$zip: bin/libpcap-LICENSE.txt is not libpcap's licence" >&2
  exit 1
fi
# A later stanza overrides an earlier one: each shipped file keeps the licences it is under.
while read -r file licence; do
  if [ "$(GetLicence "$(echo "$work"/zip/*/share/doc/velmark-tervox/copyright)" "$file")" != "$licence" ]; then
    echo "$zip: the copyright file does not give $file the licence $licence" >&2
    exit 1
  fi
done <<'LICENCES'
bin/wpcap.dll BSD-3-clause and GPL-3+ with GCC-exception-3.1
bin/libpcap-LICENSE.txt BSD-3-clause
bin/Velmark.exe proprietary and GPL-3+ with GCC-exception-3.1
bin/trellan.dll proprietary and GPL-3+ with GCC-exception-3.1
include/trellan.h proprietary
LICENCES
source scripts/wine-env.sh
(cd "$work" && RunSamples windows "$(echo "$work"/zip/*/bin)" .exe "$wine")
cmp "$work/linux.srec" "$work/windows.srec"
cmp "$work/linux.pcap" "$work/windows.pcap"
echo "== packages checked: $deb $lib $dev $zip"
