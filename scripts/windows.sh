#!/usr/bin/env bash
# Cross-builds Velmark.exe and Tervox.exe with mingw-w64 and runs Velmark's
# end-to-end tests against Velmark.exe under wine. Tervox.exe is compiled and
# linked against libpcap's headers and an import library for Npcap's wpcap.dll
# made here; it cannot run without Npcap, so it is not run. Velcheck.exe is
# built and tested like Velmark.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build test windows
jobs=$(nproc)

# A stand-in for the Npcap SDK: libpcap's own headers and an import library for wpcap.dll.
sdk=build/windows-pcap-sdk
mkdir -p "$sdk/Include" "$sdk/Lib/x64"
cp -r /usr/include/pcap /usr/include/pcap.h "$sdk/Include/"
x86_64-w64-mingw32-dlltool -d Host/Windows/wpcap.def -l "$sdk/Lib/x64/libwpcap.a"

echo "== cross-build"
cmake --preset windows >/dev/null
cmake --build build/windows -j"$jobs"
for exe in build/windows/bin/Velmark.exe build/windows/bin/Velcheck.exe build/windows/bin/Tervox.exe; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
  echo "$exe imports: $dlls"
done
# Velmark.exe and Velcheck.exe must need nothing beyond the system's own DLLs.
for exe in Velmark.exe Velcheck.exe; do
  unexpected=$(x86_64-w64-mingw32-objdump -p "build/windows/bin/$exe" | sed -n 's/^\s*DLL Name: //p' |
    grep -viE '^(kernel32|msvcrt|user32|advapi32|ws2_32|api-ms-win-crt-[a-z0-9-]+|ucrtbase)\.dll$' || true)
  if [ -n "$unexpected" ]; then
    echo "$exe needs non-system DLLs: $unexpected" >&2
    exit 1
  fi
done

echo "== Velmark end-to-end tests against Velmark.exe under wine"
cmake --preset release >/dev/null
cmake --build build/release -j"$jobs" --target velmark_e2e_tests velcheck_e2e_tests
# No Mono or Gecko: the prefix must come up without asking to download anything.
export WINEDEBUG=-all WINEPREFIX="$PWD/build/wineprefix" WINEDLLOVERRIDES="mscoree,mshtml="
wine="$(command -v wine64 || command -v wine)"
timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || true
VELMARK_COMMAND="$wine $PWD/build/windows/bin/Velmark.exe" \
  ctest --test-dir build/release -R '^Velmark' --output-on-failure -j"$jobs"
echo "== Velcheck end-to-end tests against Velcheck.exe under wine"
VELCHECK_COMMAND="$wine $PWD/build/windows/bin/Velcheck.exe" \
  ctest --test-dir build/release -R '^Velcheck' --output-on-failure -j"$jobs"
