#!/usr/bin/env bash
# Installs the Debian packages that a task needs, if any are missing.
# Usage: scripts/setup.sh TASK...   TASK: build demo test fuzz bench windows target package firmware
set -euo pipefail

packages_for() {
  case "$1" in
    build) echo "cmake g++ make pkg-config libpcap-dev libacl1-dev" ;;
    demo) echo "tcpdump binutils binutils-arm-none-eabi" ;;
    test) echo "libgtest-dev python3 srecord binutils python3-intelhex tshark valgrind acl strace bindfs gcc-arm-none-eabi gcc-powerpc-linux-gnu gcc-riscv64-unknown-elf gcc-avr abigail-tools" ;;
    fuzz) echo "clang libclang-rt-14-dev" ;;
    bench) echo "libbenchmark-dev binutils srecord time bc" ;;
    windows) echo "g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 wine dpkg-dev flex bison" ;;
    target) echo "gcc-arm-none-eabi binutils gcc-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user gcc-powerpc-linux-gnu libc6-dev-powerpc-cross" ;;
    package) echo "dpkg-dev file binutils lintian unzip man-db" ;;
    firmware) echo "gcc-arm-none-eabi libnewlib-arm-none-eabi qemu-system-arm gdb-multiarch" ;;
    *) echo "setup.sh: unknown task '$1'" >&2; exit 2 ;;
  esac
}

wanted=""
for task in build "$@"; do
  wanted="$wanted $(packages_for "$task")"
done

missing=""
for package in $wanted; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    case " $missing " in *" $package "*) ;; *) missing="$missing $package" ;; esac
  fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:" >&2
  echo "  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends$missing" >&2
  exit 1
fi
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# apt's count of packages, download and disk space first, then one line per
# package as apt fetches it, as it is unpacked and as it is set up, so that a
# long install shows how far it has got. The last two come from
# apt's status descriptor (3 here), with the share of the work done.
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends -o APT::Status-Fd=3 $missing 3>&1 |
  awk '/^Get:/ || /newly installed/ || /^Need to get/ || /^After this operation/ { print "  " $0; fflush() }
       /^pmstatus:/ && match($0, /:[0-9.]+:(Unpacking|Configuring) /) {
         step = substr($0, RSTART + 1)
         split(step, percent, ":")
         printf "  [%3d%%] %s\n", percent[1], substr(step, index(step, ":") + 1); fflush()
       }'
