#!/usr/bin/env bash
# Builds everything and runs the whole test suite through ctest: a release
# build, the same suite under ASan+UBSan, the end-to-end tests under valgrind,
# every fuzz target for a bounded time (FUZZ_SECONDS, default 60), the
# firmware-side checker built for and run on targets, the example firmware
# booted under qemu-system-arm with the installed package, the Windows
# cross-build with Velmark.exe, Velcheck.exe and Tervox.exe under wine, and
# the .deb and .zip packages, installed and run on the samples.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build test fuzz windows target package firmware
jobs=$(nproc)

echo "== release build: unit, end-to-end and corpus replay tests"
cmake --preset release >/dev/null
cmake --build build/release -j"$jobs"
ctest --preset release -j"$jobs"

echo "== asan build: the same suite under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build build/asan -j"$jobs"
ctest --preset asan -j"$jobs"

echo "== valgrind: end-to-end tests of both tools, leak checking on"
valgrind="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite"
VELMARK_COMMAND="$valgrind $PWD/build/release/bin/Velmark" \
TERVOX_COMMAND="$valgrind $PWD/build/release/bin/Tervox" \
VELCHECK_COMMAND="$valgrind $PWD/build/release/bin/Velcheck" \
  ctest --preset release -L e2e -j"$jobs"

echo "== fuzzing: each target for ${FUZZ_SECONDS:-60} s under ASan + UBSan"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"

echo "== targets: the firmware-side checker on a Cortex-M0 build, under qemu-arm and qemu-ppc"
bash scripts/target.sh

echo "== firmware: the example firmware under qemu-system-arm, flash at 0x08000000 and at 0"
bash scripts/firmware.sh

echo "== windows: cross-build the tools, their end-to-end tests under wine"
bash scripts/windows.sh

echo "== packages: the .deb and the Windows .zip, checked, installed and run"
bash scripts/package.sh
bash scripts/package-check.sh

# What a run costs differs with each machine: the run reports its own.
echo "== all stages passed in $((SECONDS / 60)) min $((SECONDS % 60)) s; build/ holds $(du -sh build | cut -f1)"
