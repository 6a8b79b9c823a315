#!/usr/bin/env bash
# Cross-builds Velmark.exe, Velcheck.exe and Tervox.exe (windows-build.sh) and
# runs the three tools' end-to-end tests against them under wine. Tervox.exe
# runs against libpcap itself: Debian's libpcap source built as wpcap.dll.
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
