#!/usr/bin/env bash
# Builds everything and runs the whole test suite through ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build test
jobs=$(nproc)

echo "== release build: unit and end-to-end tests"
cmake --preset release >/dev/null
cmake --build build/release -j"$jobs"
ctest --preset release -j"$jobs"
