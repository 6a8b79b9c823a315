#!/usr/bin/env bash
# Builds both tools and runs them on the shipped samples in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build demo
cmake -S . -B build/demo-tools -DCMAKE_BUILD_TYPE=Release -DVELMARK_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo-tools -j"$(nproc)" >/dev/null
bin=build/demo-tools/bin
out=build/demo
mkdir -p "$out"

echo "== Velmark: add a checksum info table to examples/demoprog.srec"
echo "\$ Velmark -a0800C000 -x0800C000:0800C0FF demoprog.srec demoprog_checksum.srec"
"$bin/Velmark" -a0800C000 -x0800C000:0800C0FF examples/demoprog.srec "$out/demoprog_checksum.srec"
echo "exit code $?; written to $out/demoprog_checksum.srec"
echo
echo "S-records that changed (the table sits at the start of the free area 0800C000):"
diff examples/demoprog.srec "$out/demoprog_checksum.srec" | grep '^>' | sed 's/^> /  /' || true
echo
bash scripts/show_table.sh "$out/demoprog_checksum.srec" 0800C000

echo
echo "== Tervox: convert examples/demo.prb (4 KiB ring) into a pcap capture"
"$bin/Tervox" examples/demo.prb "$out/demo.pcap" 4 1700000000
echo "exit code $?; written to $out/demo.pcap"
if command -v tcpdump >/dev/null; then
  tcpdump -nn -tttt -r "$out/demo.pcap" 2>/dev/null
elif command -v tshark >/dev/null; then
  tshark -r "$out/demo.pcap" 2>/dev/null
fi
