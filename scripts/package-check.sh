#!/usr/bin/env bash
# Checks what package.sh made in build/package/: lintian finds no error and no
# hardening fault in either .deb, each holds what it should, and both install
# with dpkg into a throw-away root, where the installed tools run the samples
# in examples/, their manual pages render, and programs of one's own build on
# the installed library: a C program through pkg-config and a C project through
# the CMake package, which also runs the installed Velmark. The .zip holds what
# it should, libpcap's licence among it, and its Velmark.exe, Velcheck.exe and
# Tervox.exe run the same samples under wine and write the same files as on
# Linux.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build test windows package
deb=$(echo build/package/velmark-tervox_*_*.deb)
dev=$(echo build/package/velmark-tervox-dev_*_*.deb)
zip=$(echo build/package/velmark-tervox-*-win64.zip)
if [ ! -f "$deb" ] || [ ! -f "$dev" ] || [ ! -f "$zip" ]; then
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

# What the two .debs hold under /usr, and the zip under its top folder.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
tools="bin/Velmark
bin/Velcheck
bin/Tervox
share/doc/velmark-tervox/README.md
share/doc/velmark-tervox/copyright
$(cd docs && printf 'share/doc/velmark-tervox/docs/%s\n' *.md)"
development="include/trellan.h
LIB/libtrellan.a
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
for package in "$deb" "$dev"; do
  echo "== $package: lintian (no errors, no hardening or manual page tags)"
  cp "$package" "$work/"
  # From the scratch folder: the user lintian runs as may not enter the clone's.
  (cd "$work" && "${lintianUser[@]}" lintian -I --fail-on error "$(basename "$package")") | tee "$work/lintian.out"
  if grep -E 'hardening-|no-manual-page' "$work/lintian.out"; then
    echo "$package: lintian reports the tags above" >&2
    exit 1
  fi
done
ExpectFiles "$deb" "$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed -n 's|^\./\(.*[^/]\)$|\1|p')" \
  "$(sed 's|^|usr/|' <<<"$tools"
     printf 'usr/share/man/man1/%s.1.gz\n' Velmark Velcheck Tervox
     echo usr/share/doc/velmark-tervox/changelog.Debian.gz)"
ExpectFiles "$dev" "$(dpkg-deb -c "$dev" | awk '{ print $6 }' | sed -n 's|^\./\(.*[^/]\)$|\1|p')" \
  "$(sed "s|^LIB/|lib/$multiarch/|; s|^|usr/|" <<<"$development"
     printf 'usr/share/doc/velmark-tervox-dev/%s\n' copyright changelog.Debian.gz)"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
if ! grep -q 'libpcap0\.8' <<<"$depends"; then
  echo "$deb does not depend on libpcap0.8" >&2
  exit 1
fi
devDepends=$(dpkg-deb -f "$dev" Depends)
if ! [[ "$devDepends" =~ ^"velmark-tervox (= $version), libacl1-dev, libstdc++-"[0-9]+"-dev | libstdc++-dev"$ ]]; then
  echo "$dev does not depend on velmark-tervox (= $version), libacl1-dev and libstdc++'s -dev: $devDepends" >&2
  exit 1
fi

echo "== $deb, $dev: dpkg -i into a throw-away root"
# Its database knows the packages the .debs depend on as this machine has them
# (their files are not needed), so dpkg checks the dependencies for real.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
for package in $(tr ',' '\n' <<<"$depends, ${devDepends#*,}" | sed 's/[(|].*//'); do
  dpkg-query -s "$package" >>"$root/var/lib/dpkg/status"
  echo >>"$root/var/lib/dpkg/status"
  touch "$root/var/lib/dpkg/info/$(dpkg-query -W -f='${binary:Package}' "$package").list"
done
dpkg --root="$root" --log=/dev/null -i "$deb" "$dev"
(cd "$work" && RunSamples linux "$root/usr/bin" "")

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

echo "-- a C program on the installed libtrellan (pkg-config) and the checker's sources"
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
# shellcheck disable=SC2046 # pkg-config gives several words
(cd "$work" && gcc -std=c99 -Wall -Werror -I"$checker" crc.c "$checker/checksum_info_table.c" \
  $(pkg-config --static --cflags --libs trellan) -o crc)
expected="29B1 29B1 ${version%-*}"
[ "$("$work/crc")" = "$expected" ] || { echo "the installed library gives $("$work/crc"), not $expected" >&2; exit 1; }

echo "-- a C project on the installed CMake package: libtrellan and the imported Velmark"
mkdir -p "$work/consumer"
cat >"$work/consumer/CMakeLists.txt" <<'SOURCE'
cmake_minimum_required(VERSION 3.20)
project(consumer C)
find_package(VelmarkTervox 1 CONFIG REQUIRED)
add_executable(crc crc.c)
target_include_directories(crc PRIVATE ${CHECKER})
target_sources(crc PRIVATE ${CHECKER}/checksum_info_table.c)
target_link_libraries(crc PRIVATE VelmarkTervox::trellan)
add_custom_command(OUTPUT marked.srec
  COMMAND VelmarkTervox::Velmark -a0800C000 -x0800C000:0800C0FF ${SAMPLE} marked.srec
  COMMAND VelmarkTervox::Velcheck marked.srec)
add_custom_target(marked ALL DEPENDS marked.srec)
SOURCE
cp "$work/crc.c" "$work/consumer/"
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$root/usr" \
  -DCHECKER="$checker" -DSAMPLE="$work/demoprog_placeholder.srec" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
[ "$("$work/consumer/build/crc")" = "$expected" ] || { echo "the CMake consumer gives $("$work/consumer/build/crc")" >&2; exit 1; }

echo "== $zip: the tools under wine"
ExpectFiles "$zip" "$(unzip -Z1 "$zip" | sed -n 's|^[^/]*/\(.*[^/]\)$|\1|p')" \
  "$(sed 's|^\(bin/.*\)|\1.exe|' <<<"$tools"
     printf 'bin/%s\n' wpcap.dll libpcap-LICENSE.txt
     sed 's|^LIB/|lib/|' <<<"$development")"
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
include/trellan.h proprietary
LICENCES
source scripts/wine-env.sh
(cd "$work" && RunSamples windows "$(echo "$work"/zip/*/bin)" .exe "$wine")
cmp "$work/linux.srec" "$work/windows.srec"
cmp "$work/linux.pcap" "$work/windows.pcap"
echo "== packages checked: $deb $dev $zip"
