#!/usr/bin/env bash
# Builds libpcap 1.10 for 64-bit Windows from Debian's source package as
# wpcap.dll, the name Npcap gives it, with its import library and headers in
# build/windows-libpcap/sdk, laid out like the Npcap SDK (Include/, Lib/x64/)
# plus bin/wpcap.dll. Only the savefile code matters to Tervox, so every
# capture module is off. libpcap's licence, which must go with its binaries,
# lands beside the DLL as libpcap-LICENSE.txt. Skipped when both are there.
set -euo pipefail
cd "$(dirname "$0")/.."
work="$PWD/build/windows-libpcap"
sdk="$work/sdk"
[ -f "$sdk/bin/wpcap.dll" ] && [ -f "$sdk/bin/libpcap-LICENSE.txt" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "windows-libpcap.sh: fetching libpcap's source needs apt-get as root; run it as root" >&2
  exit 1
fi
bash scripts/setup.sh windows

# Debian's source package, fetched through a deb-src entry that lives only for the fetch.
sourceList=/etc/apt/sources.list.d/tervox-libpcap-source-$$
RemoveSourceEntry() {
  rm -f "$sourceList.sources" "$sourceList.list"
  apt-get update -qq -o DPkg::Lock::Timeout=300 || true
}
rm -rf "$work"
mkdir -p "$work/fetch"
trap RemoveSourceEntry EXIT
trap 'exit 1' INT TERM HUP  # so that the EXIT trap runs on these too
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  awk 'BEGIN { RS = ""; ORS = "\n\n" }
       /(^|\n)Types:[ \t]*([^\n]*[ \t])?deb([ \t]|\n|$)/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
    /etc/apt/sources.list.d/debian.sources >"$sourceList.sources"
fi
if [ -f /etc/apt/sources.list ]; then
  sed -n 's/^[ \t]*deb\([ \t]\)/deb-src\1/p' /etc/apt/sources.list >"$sourceList.list"
fi
apt-get update -qq -o DPkg::Lock::Timeout=300
# apt's download user must be able to write there, or apt warns and downloads as root.
chown _apt "$work/fetch" 2>/dev/null || true
(cd "$work/fetch" && apt-get source -qq libpcap >/dev/null)
RemoveSourceEntry
trap - EXIT INT TERM HUP
source=$(find "$work/fetch" -mindepth 1 -maxdepth 1 -type d -name 'libpcap-1.10*' | head -n 1)
if [ -z "$source" ]; then
  echo "windows-libpcap.sh: Debian's libpcap source is not version 1.10:" "$work"/fetch/* >&2
  exit 1
fi

# Named wpcap.dll as Npcap's is, so that Tervox.exe imports the same DLL on both.
# Static libgcc and winpthread: the DLL must need only the system's own DLLs.
# Configured from inside the build folder: for Windows, libpcap's configure step
# sends a flex header to "NUL:", which on Linux is a file in the current folder.
toolchain="$PWD/cmake/mingw-w64-x86_64.cmake"
mkdir -p "$work/build"
(cd "$work/build" && cmake -S "$source" -B . -Wno-dev -Wno-deprecated \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DLIBRARY_NAME=wpcap -DCMAKE_SHARED_LINKER_FLAGS="-static" \
  -DPCAP_TYPE=null -DENABLE_REMOTE=OFF -DDISABLE_DBUS=ON -DDISABLE_RDMA=ON \
  -DDISABLE_BLUETOOTH=ON -DDISABLE_NETMAP=ON -DDISABLE_DPDK=ON >/dev/null)
cmake --build "$work/build" -j"$(nproc)" --target wpcap
mkdir -p "$sdk/Include" "$sdk/Lib/x64" "$sdk/bin"
cp -r "$source/pcap" "$source/pcap.h" "$sdk/Include/"
cp "$work/build/libwpcap.dll.a" "$sdk/Lib/x64/"
cp "$work/build/run/wpcap.dll" "$sdk/bin/"
cp "$source/LICENSE" "$sdk/bin/libpcap-LICENSE.txt"
