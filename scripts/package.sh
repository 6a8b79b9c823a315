#!/usr/bin/env bash
# Packs the tools into build/package/ with CPack, from the install rules: for
# Debian 12 the .debs velmark-tervox (the tools; dpkg-shlibdeps finds their
# dependencies, libtrellan1 among them), libtrellan1 (the shared library) and
# libtrellan-dev (its header, link, archive and pkg-config file, the CMake
# package, the checker's sources), built with Debian's flags; and a .zip of the
# Windows cross-build (windows-build.sh) with all three, trellan.dll beside
# the .exe files, wpcap.dll and libpcap's licence beside Tervox.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build package
rm -rf build/package

echo "== .debs for Debian 12"
# Afresh: the install folders and build flags follow the preset, not an older cache.
cmake --preset deb --fresh >/dev/null
cmake --build build/deb -j"$(nproc)"
cpack --preset deb

echo "== .zip of the Windows cross-build"
bash scripts/windows-build.sh
cpack --preset windows

# CPack stages in the package folder; only the packages belong there.
rm -rf build/package/_CPack_Packages
echo "== packages in build/package/"
ls -l build/package
