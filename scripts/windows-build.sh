#!/usr/bin/env bash
# Cross-builds Velmark.exe, Velcheck.exe and Tervox.exe with mingw-w64 into
# build/windows/bin, beside trellan.dll, which the first two load, and with
# libpcap built from Debian's source as wpcap.dll (windows-libpcap.sh) beside
# Tervox.exe. windows.sh tests them under wine,
# package.sh packs them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build windows
bash scripts/windows-libpcap.sh

echo "== cross-build"
cmake --preset windows >/dev/null
cmake --build build/windows -j"$(nproc)"
bin=build/windows/bin
ImportedDlls() {
  x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'
}
# Nothing may need a DLL beyond the system's own, except libtrellan for
# Velmark.exe and Velcheck.exe and libpcap for Tervox.exe.
for binary in $bin/Velmark.exe $bin/Velcheck.exe $bin/trellan.dll $bin/Tervox.exe \
  build/windows-libpcap/sdk/bin/wpcap.dll; do
  echo "$binary imports: $(ImportedDlls "$binary" | tr '\n' ' ')"
  allowed='kernel32|msvcrt|user32|advapi32|ws2_32|api-ms-win-crt-[a-z0-9-]+|ucrtbase'
  case "$binary" in
    $bin/Tervox.exe) allowed="$allowed|wpcap" ;;
    $bin/Velmark.exe | $bin/Velcheck.exe) allowed="$allowed|trellan" ;;
  esac
  unexpected=$(ImportedDlls "$binary" | grep -viE "^($allowed)\.dll$" || true)
  if [ -n "$unexpected" ]; then
    echo "$binary needs non-system DLLs: $unexpected" >&2
    exit 1
  fi
done
# Under wine the DLL must sit beside Tervox.exe under the name it imports.
if ! ImportedDlls $bin/Tervox.exe | grep -qix wpcap.dll; then
  echo "Tervox.exe does not import wpcap.dll" >&2
  exit 1
fi
cp build/windows-libpcap/sdk/bin/wpcap.dll $bin/
