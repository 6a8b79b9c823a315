#!/usr/bin/env bash
# Proves the firmware-side checker on targets. Compiles it for a Cortex-M0 with
# arm-none-eabi-gcc, both CRC variants, and prints their code size (no data, no
# calls outside itself allowed); then runs a test driver under qemu-arm and,
# big-endian, qemu-ppc over the demo image that Velmark makes, over a copy
# with one byte changed (Velcheck must find the same CRC there) and over the
# demo moved to address 0, as on a part whose flash begins there.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build test target
checker=Target/Source/checksum-info-table
out=build/target
mkdir -p "$out"

echo "== Cortex-M0: $(arm-none-eabi-gcc --version | head -1)"
for variant in 0 1; do
  object="$out/checksum_info_table_crc_table_$variant.o"
  arm-none-eabi-gcc -std=c99 -pedantic -mcpu=cortex-m0 -mthumb -Os -ffreestanding \
    -Wall -Wextra -Werror -DCHECKSUM_INFO_TABLE_CRC_TABLE=$variant \
    -c "$checker/checksum_info_table.c" -o "$object"
  read -r text data bss _ < <(arm-none-eabi-size "$object" | tail -1)
  undefined=$(arm-none-eabi-nm -u "$object")
  if [ $((data + bss)) -ne 0 ] || [ -n "$undefined" ]; then
    echo "the checker must keep no data and call nothing: data $data, bss $bss, calls: $undefined" >&2
    exit 1
  fi
  echo "CHECKSUM_INFO_TABLE_CRC_TABLE=$variant: $text bytes of code and constants, no data"
done

echo "== the demo image, whole and with one byte of segment 1 changed"
cmake --preset release >/dev/null
cmake --build build/release -j"$(nproc)" --target Velmark Velcheck >/dev/null
bin=build/release/bin
"$bin/Velmark" -a0800C000 -x0800C000:0800C0FF examples/demoprog_placeholder.srec "$out/demoprog_checksum.srec"
objcopy -I srec -O binary --gap-fill 0xFF "$out/demoprog_checksum.srec" "$out/good.bin"
cp "$out/good.bin" "$out/bad.bin"
offset=$((0x08001000 - 0x08000000))
byte=$(od -An -tu1 -j"$offset" -N1 "$out/good.bin")
printf "\\x$(printf '%02x' $((byte ^ 0x40)))" | dd of="$out/bad.bin" bs=1 seek="$offset" conv=notrunc status=none
objcopy -I binary -O srec --change-addresses 0x08000000 "$out/bad.bin" "$out/bad.srec"
objcopy -I srec -O srec --change-addresses -0x08000000 examples/demoprog.srec "$out/demoprog_at_0.srec"
"$bin/Velmark" -a0000C000 -x0000C000:0000C0FF "$out/demoprog_at_0.srec" "$out/demoprog_at_0_checksum.srec"
objcopy -I srec -O binary --gap-fill 0xFF "$out/demoprog_at_0_checksum.srec" "$out/at0.bin"
hostCrc=$("$bin/Velcheck" "$out/bad.srec" | sed -n 's/^ *1 .*MISMATCH (image gives 0x\(....\))$/\1/p' || true)
[ -n "$hostCrc" ] || { echo "Velcheck did not report segment 1 of bad.srec" >&2; exit 1; }

failed=0
# Runs a driver over an image; its exit code and output line must be as expected.
expect() {
  local exitCode=$1 line=$2 output code=0
  shift 2
  output=$("$@") || code=$?
  if [ "$code" -eq "$exitCode" ] && [ "$output" = "$line" ]; then
    echo "ok     ${*: -4:1}: $output"
  else
    echo "FAILED ${*: -4:1}: exit $code, '$output', expected exit $exitCode, '$line'"
    failed=1
  fi
}
for target in "arm-linux-gnueabihf qemu-arm little" "powerpc-linux-gnu qemu-ppc big"; do
  read -r triplet emulator byteOrder <<<"$target"
  for variant in 0 1; do
    driver="$out/check_image_${emulator}_$variant"
    "$triplet-gcc" -std=c99 -O2 -static -Wall -Wextra -Werror -DCHECKSUM_INFO_TABLE_CRC_TABLE=$variant \
      -I"$checker" Target/Tests/check_image.c "$checker/checksum_info_table.c" -o "$driver"
    echo "-- $emulator, CHECKSUM_INFO_TABLE_CRC_TABLE=$variant"
    expect 0 "$byteOrder-endian: status 0, entry count 3, failed index 0, image CRC 0x0000" \
      "$emulator" "$driver" "$out/good.bin" 08000000 0800C000 100
    expect 1 "$byteOrder-endian: status 4, entry count 3, failed index 1, image CRC 0x$hostCrc" \
      "$emulator" "$driver" "$out/bad.bin" 08000000 0800C000 100
    expect 0 "$byteOrder-endian: status 0, entry count 3, failed index 0, image CRC 0x0000" \
      "$emulator" "$driver" "$out/at0.bin" 0 C000 100
  done
done
exit $failed
