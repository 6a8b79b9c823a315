#!/usr/bin/env bash
# Cross-builds Velmark.exe, Velcheck.exe and Tervox.exe with mingw-w64 and
# runs the three tools' end-to-end tests against them under wine. Tervox.exe
# runs against libpcap itself: Debian's libpcap source built as wpcap.dll by
# windows-libpcap.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build test windows
bash scripts/windows-libpcap.sh
jobs=$(nproc)

echo "== cross-build"
cmake --preset windows >/dev/null
cmake --build build/windows -j"$jobs"
bin=build/windows/bin
ImportedDlls() {
  x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'
}
# Nothing may need a DLL beyond the system's own, except libpcap for Tervox.exe.
for binary in $bin/Velmark.exe $bin/Velcheck.exe $bin/Tervox.exe build/windows-libpcap/sdk/bin/wpcap.dll; do
  echo "$binary imports: $(ImportedDlls "$binary" | tr '\n' ' ')"
  allowed='kernel32|msvcrt|user32|advapi32|ws2_32|api-ms-win-crt-[a-z0-9-]+|ucrtbase'
  [ "$binary" = $bin/Tervox.exe ] && allowed="$allowed|wpcap"
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

echo "== end-to-end tests against Velmark.exe, Velcheck.exe and Tervox.exe under wine"
cmake --preset release >/dev/null
cmake --build build/release -j"$jobs" --target velmark_e2e_tests velcheck_e2e_tests tervox_e2e_tests
# No Mono or Gecko: the prefix must come up without asking to download anything.
# Wine's builtin wpcap.dll lacks most of libpcap: load ours, beside Tervox.exe.
export WINEDEBUG=-all WINEPREFIX="$PWD/build/wineprefix" WINEDLLOVERRIDES="mscoree,mshtml=;wpcap=n"
wine="$(command -v wine64 || command -v wine)"
timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || true
VELMARK_COMMAND="$wine $PWD/$bin/Velmark.exe" VELCHECK_COMMAND="$wine $PWD/$bin/Velcheck.exe" \
  TERVOX_COMMAND="$wine $PWD/$bin/Tervox.exe" \
  TERVOX_ARGV0="$(timeout 60 "$wine" winepath -w "$PWD/$bin/Tervox.exe")" \
  ctest --test-dir build/release -R '^(Velmark|Velcheck|Tervox)' --output-on-failure -j"$jobs" --timeout 120
