#!/usr/bin/env bash
# Builds the tools and runs them on the shipped samples in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build demo
cmake -S . -B build/demo-tools -DCMAKE_BUILD_TYPE=Release -DVELMARK_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo-tools -j"$(nproc)" >/dev/null
bin=build/demo-tools/bin
out=build/demo
mkdir -p "$out"

# Shows a command as it runs here, in the project folder, then what it returned.
Run() {
  echo "\$ $*"
  local status=0
  "$@" || status=$?
  echo "exit code $status"
  return "$status"
}

echo "Commands run in $PWD"
echo
echo "== Velmark: add a checksum info table to examples/demoprog.srec"
Run "$bin/Velmark" -a0800C000 examples/demoprog.srec "$out/demoprog_checksum.srec"
echo
echo "S-records that changed (the table sits in the free flash at 0800C000, the count record follows):"
diff examples/demoprog.srec "$out/demoprog_checksum.srec" | grep '^>' | sed 's/^> /  /' || true
echo
bash scripts/show_table.sh "$out/demoprog_checksum.srec" 0800C000

echo
echo "== Velmark: the same image with a placeholder for the table (256 bytes of 0xFF at 0800C000)"
echo "Without -x the table would cover bytes it checksums (exit 6):"
Run "$bin/Velmark" -a0800C000 examples/demoprog_placeholder.srec "$out/demoprog_placeholder_checksum.srec" || [ $? -eq 6 ]
echo
echo "With the placeholder left out of the checksums, the table goes into it:"
Run "$bin/Velmark" -a0800C000 -x0800C000:0800C0FF examples/demoprog_placeholder.srec "$out/demoprog_placeholder_checksum.srec"
echo
bash scripts/show_table.sh "$out/demoprog_placeholder_checksum.srec" 0800C000

echo
echo "== Velcheck: check the image against its table (exit 0: every segment matches)"
Run "$bin/Velcheck" "$out/demoprog_checksum.srec"
# A copy with the byte at 08001000 inverted, its record's checksum made right again.
line=$(grep '^S32508001000' "$out/demoprog_checksum.srec")
record=${line:2:74}
record=${record:0:10}$(printf '%02X' $((0x${record:10:2} ^ 0xFF)))${record:12}
sum=0
for ((index = 0; index < ${#record}; index += 2)); do sum=$((sum + 0x${record:index:2})); done
sed "s/^$line\$/S3$record$(printf '%02X' $((~sum & 0xFF)))/" "$out/demoprog_checksum.srec" >"$out/demoprog_changed.srec"
echo
echo "One byte changed at 08001000 (exit 1: a segment does not match):"
Run "$bin/Velcheck" "$out/demoprog_changed.srec" || [ $? -eq 1 ]

echo
echo "== Intel HEX: the same program as objcopy -O ihex writes it; Velmark's output stays Intel HEX"
objcopy -I srec -O ihex examples/demoprog.srec "$out/demoprog.hex"
Run "$bin/Velmark" -a0800C000 -x0800C000:0800C0FF "$out/demoprog.hex" "$out/demoprog_checksum.hex"
echo
echo "The table's records, then the start address (05) and the end (01):"
sed -n '/^:10C00000/,/^:..C02000/p' "$out/demoprog_checksum.hex" | sed 's/^/  /'
tail -n 2 "$out/demoprog_checksum.hex" | sed 's/^/  /'
echo
Run "$bin/Velcheck" "$out/demoprog_checksum.hex"
echo
echo "A raw read-back of the flash from 08000000, as a debugger saves it (here made with objcopy):"
objcopy -I ihex -O binary "$out/demoprog_checksum.hex" "$out/readback.bin"
Run "$bin/Velcheck" -b08000000 "$out/readback.bin"

echo
echo "== ELF: the table in the file a debugger flashes"
# The placeholder image as a linker would leave it: each S-record block becomes
# a section at its address, the placeholder the section .checksum_info_table.
arm-none-eabi-objcopy -I srec -O elf32-littlearm examples/demoprog_placeholder.srec "$out/demoprog.o"
cat >"$out/demoprog.ld" <<'SCRIPT'
SECTIONS
{
  .vectors 0x08000000 : { *(.sec1) }
  .text 0x08000200 : { *(.sec2) }
  .rodata 0x08002000 : { *(.sec3) }
  .checksum_info_table 0x0800C000 : { *(.sec4) }
}
SCRIPT
arm-none-eabi-ld -e 0x08000201 -T "$out/demoprog.ld" "$out/demoprog.o" -o "$out/demoprog.elf"
cp "$out/demoprog.elf" "$out/demoprog_unmarked.elf"
echo "Velmark writes the table into the ELF itself (output and input may be the same file):"
Run "$bin/Velmark" -a0800C000 -x0800C000:0800C0FF "$out/demoprog.elf" "$out/demoprog.elf"
echo
read -r tableOffset tableSize < <(arm-none-eabi-readelf -SW "$out/demoprog.elf" |
  awk '{ sub(/^.*\] /, "") } $1 == ".checksum_info_table" { print $4, $5 }')
echo "cmp -l of the ELF before and after: $(cmp -l "$out/demoprog_unmarked.elf" "$out/demoprog.elf" |
  awk 'NR == 1 { first = $1 - 1 } { last = $1 - 1 } END { printf "%d bytes differ, at file offsets %d to %d", NR, first, last }')"
echo ".checksum_info_table's file bytes: offsets $((16#$tableOffset)) to $((16#$tableOffset + 16#$tableSize - 1))"
echo
Run "$bin/Velcheck" "$out/demoprog.elf"
echo
echo "A table in free flash, where the ELF has no section to hold it (exit 6):"
Run "$bin/Velmark" -a0800D000 "$out/demoprog_unmarked.elf" "$out/demoprog_free.elf" || [ $? -eq 6 ]
echo
echo "With -t the ELF's table goes into S-records:"
Run "$bin/Velmark" -t -a0800C000 -x0800C000:0800C0FF "$out/demoprog_unmarked.elf" "$out/demoprog_table.srec"
sed 's/^/  /' "$out/demoprog_table.srec"

echo
echo "== Tervox: convert examples/demo.prb (4 KiB ring) into a pcap capture"
Run "$bin/Tervox" examples/demo.prb "$out/demo.pcap" 4 1700000000
if command -v tcpdump >/dev/null; then
  echo "Read back with tcpdump:"
  tcpdump -nn -tttt -r "$out/demo.pcap" 2>/dev/null
elif command -v tshark >/dev/null; then
  echo "Read back with tshark:"
  tshark -r "$out/demo.pcap" 2>/dev/null
fi
