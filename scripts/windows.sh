#!/usr/bin/env bash
# Cross-builds Velmark.exe, Velcheck.exe and Tervox.exe (windows-build.sh) and
# runs the three tools' end-to-end tests against them under wine. Tervox.exe
# runs against libpcap itself: Debian's libpcap source built as wpcap.dll.
# Then a C program loads trellan.dll with LoadLibrary, marks the sample as
# Velmark does, and Velcheck.exe checks what it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build test windows
bash scripts/windows-build.sh
jobs=$(nproc)
bin=build/windows/bin

echo "== end-to-end tests against Velmark.exe, Velcheck.exe and Tervox.exe under wine"
cmake --preset release >/dev/null
cmake --build build/release -j"$jobs" --target velmark_e2e_tests velcheck_e2e_tests tervox_e2e_tests
source scripts/wine-env.sh
VELMARK_COMMAND="$wine $PWD/$bin/Velmark.exe" VELCHECK_COMMAND="$wine $PWD/$bin/Velcheck.exe" \
  TERVOX_COMMAND="$wine $PWD/$bin/Tervox.exe" \
  TERVOX_ARGV0="$(timeout 60 "$wine" winepath -w "$PWD/$bin/Tervox.exe")" \
  ctest --test-dir build/release -R '^(Velmark|Velcheck|Tervox)' --output-on-failure -j"$jobs" --timeout 120

echo "== trellan.dll loaded at run time: a C program marks the sample, Velcheck.exe checks it"
loader=build/windows/load_library
rm -rf "$loader" && mkdir -p "$loader"
x86_64-w64-mingw32-gcc -std=c99 -Wall -Wextra -Werror -O2 -static \
  -o "$loader/load_library.exe" Host/Tests/trellan/load_library.c
# Alone with the DLL: LoadLibrary finds it beside the program.
cp "$bin/trellan.dll" examples/demoprog_placeholder.srec "$loader/"
(cd "$loader" && "$wine" load_library.exe demoprog_placeholder.srec marked.srec 0800C000 0800C000 0800C0FF)
"$wine" "$bin/Velcheck.exe" -a0800C000 "$loader/marked.srec" | tee "$loader/check.txt"
grep -q '^OK: ' "$loader/check.txt"
