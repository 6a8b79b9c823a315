#!/usr/bin/env bash
# Checks what package.sh made in build/package/: the .deb passes lintian
# without errors, holds what it should, and installs with dpkg into a
# throw-away root, where the installed tools run the samples in examples/ and
# a program builds on the installed library and checker sources; the .zip holds
# what it should, and its Velmark.exe, Velcheck.exe and Tervox.exe run the same
# samples under wine and write the same files as on Linux.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build test windows package
deb=$(echo build/package/velmark-tervox_*_*.deb)
zip=$(echo build/package/velmark-tervox-*-win64.zip)
if [ ! -f "$deb" ] || [ ! -f "$zip" ]; then
  echo "package-check.sh: no .deb or .zip in build/package/; run scripts/package.sh" >&2
  exit 1
fi
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

# Runs the tools in BIN (names ending in SUFFIX, each run by the command that
# follows, if any) on the samples in the current folder, naming outputs TAG.*.
RunSamples() {
  local tag=$1 bin=$2 suffix=$3
  shift 3
  echo "-- $tag: Velmark, Velcheck, Tervox on the samples"
  "$@" "$bin/Velmark$suffix" -a0800C000 -x0800C000:0800C0FF demoprog.srec "$tag.srec"
  "$@" "$bin/Velcheck$suffix" "$tag.srec" | tee "$tag.check"
  grep -q '^OK: 3 of 3 segments match the image' "$tag.check"
  "$@" "$bin/Tervox$suffix" demo.prb "$tag.pcap" 4 1700000000 >/dev/null
  capinfos "$tag.pcap" >/dev/null
}

# The files of both packages besides the tools, under their install prefix.
shared="include/trellan.h
lib/libtrellan.a
share/doc/velmark-tervox/README.md
share/doc/velmark-tervox/copyright
share/velmark-tervox/checksum-info-table/checksum_info_table.c
share/velmark-tervox/checksum-info-table/checksum_info_table.h"
cp examples/demoprog.srec examples/demo.prb "$work/"

echo "== $deb: lintian (no errors allowed)"
cp "$deb" "$work/"
lintianUser=()
[ "$(id -u)" -eq 0 ] && lintianUser=(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work")
"${lintianUser[@]}" lintian --fail-on error "$work/$(basename "$deb")"
ExpectFiles "$deb" "$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed -n 's|^\./\(.*[^/]\)$|\1|p')" \
  "$(printf 'usr/bin/%s\n' Velmark Velcheck Tervox; sed 's|^|usr/|' <<<"$shared"
     echo usr/share/doc/velmark-tervox/changelog.Debian.gz)"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
if ! grep -q 'libpcap0\.8' <<<"$depends"; then
  echo "$deb does not depend on libpcap0.8" >&2
  exit 1
fi

echo "== $deb: dpkg -i into a throw-away root"
# Its database knows the packages the .deb depends on as this machine has them
# (their files are not needed), so dpkg checks the dependencies for real.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
for package in $(tr ',' '\n' <<<"$depends" | sed 's/[(|].*//'); do
  dpkg-query -s "$package" >>"$root/var/lib/dpkg/status"
  echo >>"$root/var/lib/dpkg/status"
  touch "$root/var/lib/dpkg/info/$(dpkg-query -W -f='${binary:Package}' "$package").list"
done
dpkg --root="$root" --log=/dev/null -i "$deb"
(cd "$work" && RunSamples linux "$root/usr/bin" "")
echo "-- a program of one's own on the installed libtrellan and the checker's sources"
cat >"$work/crc.c" <<'SOURCE'
#include <stdio.h>
#include <trellan.h>
#include "checksum_info_table.h"
int main(void) {
  const uint8_t check[] = "123456789";
  printf("%04X %04X\n", TrlUtilCrc16Calculate(check, 9),
         CalculateChecksumInfoCrc16(CIT_CRC_INITIAL_VALUE, check, 9));
  return 0;
}
SOURCE
checker="$root/usr/share/velmark-tervox/checksum-info-table"
(cd "$work" && gcc -std=c99 -Wall -Werror -I"$root/usr/include" -I"$checker" -c crc.c "$checker/checksum_info_table.c" &&
  g++ crc.o checksum_info_table.o -L"$root/usr/lib" -ltrellan -o crc)
[ "$("$work/crc")" = "29B1 29B1" ] || { echo "the installed CRCs give $("$work/crc")" >&2; exit 1; }

echo "== $zip: the tools under wine"
ExpectFiles "$zip" "$(unzip -Z1 "$zip" | sed -n 's|^[^/]*/\(.*[^/]\)$|\1|p')" \
  "$(printf 'bin/%s\n' Velmark.exe Velcheck.exe Tervox.exe wpcap.dll; echo "$shared")"
unzip -q "$zip" -d "$work/zip"
source scripts/wine-env.sh
(cd "$work" && RunSamples windows "$(echo "$work"/zip/*/bin)" .exe "$wine")
cmp "$work/linux.srec" "$work/windows.srec"
cmp "$work/linux.pcap" "$work/windows.pcap"
echo "== packages checked: $deb $zip"
