#!/usr/bin/env bash
# Packs the tools into build/package/ with CPack, from the install rules: a .deb
# for Debian 12, whose dependencies dpkg-shlibdeps finds, and a .zip of the
# Windows cross-build (windows-build.sh), wpcap.dll beside Tervox.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build package
rm -rf build/package

echo "== .deb for Debian 12"
cmake --preset deb >/dev/null
cmake --build build/deb -j"$(nproc)"
cpack --preset deb

echo "== .zip of the Windows cross-build"
bash scripts/windows-build.sh
cpack --preset windows

# CPack stages in the package folder; only the packages belong there.
rm -rf build/package/_CPack_Packages
echo "== packages in build/package/"
ls -l build/package
