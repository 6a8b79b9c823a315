#!/usr/bin/env bash
# Boots the example firmware (examples/firmware/) under qemu-system-arm on a
# board with flash at 0x08000000 and one with flash at 0. The firmware is built
# with the installed package only: the project is installed into
# build/firmware/prefix first. Each board must report its marked image valid,
# the image with one byte changed in a segment as failing that segment's entry,
# its unmarked image as having no valid table, and an image marked in the gap
# the placeholder leaves (no -x) valid too; the ELF the build marks itself must
# boot valid with -kernel on both boards and once through gdb-multiarch's load.
# A table over checksummed bytes must fail the build with Velmark's message,
# again on the next build, and velmark_add_checksum_table() the configure step
# on arguments Velmark could not take. Prints each board's code size and the
# instructions the check takes at boot, both CRC variants.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build firmware
out=$PWD/build/firmware
prefix=$out/prefix
example=$out/example
qemuSeconds=30

echo "== the host tools, installed into $prefix"
cmake --preset deb >/dev/null
cmake --build build/deb -j"$(nproc)" >/dev/null
rm -rf "$out"
mkdir -p "$out"
cmake --install build/deb --prefix "$prefix" >/dev/null
config=$(find "$prefix" -name VelmarkTervoxConfig.cmake)
if [ -z "$config" ]; then
  echo "FAILED: the install holds no VelmarkTervoxConfig.cmake"
  exit 1
fi
# Named by its folder: a cross build does not search a multiarch lib folder
# (lib/x86_64-linux-gnu/cmake/) under CMAKE_PREFIX_PATH.
package=(-DVelmarkTervox_DIR="$(dirname "$config")"
  -DCMAKE_TOOLCHAIN_FILE="$PWD/examples/firmware/arm-none-eabi.cmake")

# Velmark writes the format it reads: both outputs are built and booted.
echo "== the example firmware, Velmark output as S-records and Intel HEX: $(arm-none-eabi-gcc --version | head -1)"
cmake -S examples/firmware -B "$example" -DCMAKE_BUILD_TYPE=MinSizeRel \
  "${package[@]}" -DFIRMWARE_FORMATS="srec;ihex" >/dev/null
cmake --build "$example" -j"$(nproc)" >"$out/example-build.log" ||
  { cat "$out/example-build.log"; exit 1; }

boards=("stm32vldiscovery 0x08000000" "lm3s6965evb 0x00000000")
failed=0

# Runs MACHINE with semihosting and the further qemu options given (what to
# load among them); bounded in time.
boot() {
  local machine=$1
  shift
  timeout "$qemuSeconds" qemu-system-arm -M "$machine" -display none -monitor none \
    -serial none -semihosting-config enable=on,target=native "$@"
}

# Runs ELF on MACHINE as a debugger puts it there: qemu waits on its gdb stub
# (loopback, a port nobody listens on), gdb-multiarch loads the ELF into flash,
# resets the board so that the core takes its stack and entry from the flash
# just written (the reset a debugger does after a load), and continues.
# Returns qemu's exit status.
bootThroughGdb() {
  local machine=$1 elf=$2 port=$((20000 + RANDOM % 20000)) qemu code=0
  while (: <>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  boot "$machine" -gdb "tcp:127.0.0.1:$port" -S &
  qemu=$!
  timeout "$qemuSeconds" gdb-multiarch -nx -batch -ex "set tcp connect-timeout $qemuSeconds" \
    -ex "target remote 127.0.0.1:$port" -ex load -ex "monitor system_reset" -ex continue \
    "$elf" || true
  wait "$qemu" || code=$?
  return "$code"
}

# Index, address and length of each entry Velcheck lists (its arguments as given).
tableEntries() {
  "$prefix/bin/Velcheck" "$@" | awk '$1 ~ /^[0-9]+$/ && $2 ~ /^0x/ { print $1, $2, $3 }'
}

# Boots IMAGE on MACHINE, whose flash starts at FLASH: an ELF as qemu's
# -kernel loads it (by its program headers), or with LOADER gdb through
# gdb-multiarch; S-records and Intel HEX as a raw flash image. The run's exit
# status and the firmware's report must be as expected.
expect() {
  local machine=$1 flash=$2 image=$3 exitCode=$4 line=$5 what=$6 loader=${7:-} binary format
  local output code=0 log=$out/${image##*/}.$machine${loader:+.$loader}.log
  if [ "$loader" = gdb ]; then
    bootThroughGdb "$machine" "$image" >"$log" 2>&1 || code=$?
  elif [[ $image == *.elf ]]; then
    boot "$machine" -kernel "$image" >"$log" 2>&1 || code=$?
  else
    binary=$out/${image##*/}.bin
    format=srec
    [[ $image == *.hex ]] && format=ihex
    arm-none-eabi-objcopy -I $format -O binary --gap-fill 0xFF "$image" "$binary"
    boot "$machine" -device loader,file="$binary",addr="$flash",force-raw=on >"$log" 2>&1 ||
      code=$?
  fi
  output=$(grep ': checksum info table at ' "$log" || true)
  if [ "$code" -eq "$exitCode" ] && [ "$output" = "$line" ]; then
    echo "ok     $machine, $what: $output"
  else
    echo "FAILED $machine, $what: exit $code, '$output', expected exit $exitCode, '$line'"
    failed=1
  fi
}

# Copies the S-record IMAGE to COPY with bit 5 of the byte at ADDRESS flipped.
changeByte() {
  local image=$1 copy=$2 address=$3 flash=$4 byte
  arm-none-eabi-objcopy -I srec -O binary --gap-fill 0xFF "$image" "$copy.bin"
  byte=$(od -An -tu1 -j$((address - flash)) -N1 "$copy.bin")
  printf "\\x$(printf '%02x' $((byte ^ 0x20)))" |
    dd of="$copy.bin" bs=1 seek=$((address - flash)) conv=notrunc status=none
  arm-none-eabi-objcopy -I binary -O srec --change-addresses "$flash" "$copy.bin" "$copy"
}

# Address of SYMBOL in ELF, in decimal.
symbolAddress() {
  echo $((16#$(arm-none-eabi-nm "$1" | awk -v name="$2" '$3 == name { print $1 }')))
}

# Instructions the check takes at boot: qemu runs one instruction per
# translation block (-singlestep) and logs every block it runs (-d exec with
# chaining off), so the log has a line per instruction executed. Counted from
# the entry of CheckChecksumInfoTable to the first instruction back in main.
countCheckInstructions() {
  local machine=$1 flash=$2 elf=$3 binary=$4 start mainStart mainEnd
  start=$(printf %08x "$(symbolAddress "$elf" CheckChecksumInfoTable)")
  read -r mainStart mainEnd < <(arm-none-eabi-nm -S "$elf" |
    awk '$4 == "main" { print $1, $2 }')
  mainEnd=$(printf %08x $((16#$mainStart + 16#$mainEnd)))
  boot "$machine" -device loader,file="$binary",addr="$flash",force-raw=on \
    -singlestep -d exec,nochain -D "$out/$machine.trace" >/dev/null 2>&1
  # Trace lines read "Trace 0: host [flags/pc/flags/cflags]"; pc is 8 hex digits.
  awk -F'[][/]' -v start="x$start" -v mainStart="x$mainStart" -v mainEnd="x$mainEnd" '
    /^Trace/ {
      pc = "x" $3
      if (!counting && pc == start) counting = 1
      else if (counting && pc >= mainStart && pc < mainEnd) { print count; exit }
      if (counting) count++
    }' "$out/$machine.trace"
  rm -f "$out/$machine.trace"
}

sizes=""
# Adds to sizes the flash the firmware of MACHINE built in EXAMPLE takes, the
# checker's share of it, and the instructions the check takes at boot, in all
# and per byte of the segments it checks.
measure() {
  local machine=$1 flash=$2 example=$3 variant=$4 elf flashBytes checkerBytes imageBytes instructions
  elf=$example/firmware_$machine.elf
  flashBytes=$(arm-none-eabi-size -A "$elf" |
    awk '$1 == ".text" || $1 == ".rodata" || $1 == ".ARM.exidx" || $1 == ".data" { sum += $2 }
         END { print sum }')
  checkerBytes=$(arm-none-eabi-size "$(find "$example" -path "*firmware_$machine.dir*" \
    -name 'checksum_info_table.c.obj')" | awk 'NR == 2 { print $1 + $2 }')
  arm-none-eabi-objcopy -I srec -O binary --gap-fill 0xFF "$example/firmware_$machine.srec" \
    "$out/measured.bin"
  instructions=$(countCheckInstructions "$machine" "$flash" "$elf" "$out/measured.bin")
  if [ -z "$instructions" ]; then
    echo "FAILED $machine, $variant: the trace shows no complete check"
    failed=1
    instructions=0
  fi
  imageBytes=0
  while read -r _ _ length; do
    imageBytes=$((imageBytes + length))
  done < <(tableEntries "$example/firmware_$machine.srec")
  sizes="$sizes$(printf '%-17s %-12s %6s %8s %13s %15s' "$machine" "$variant" "$flashBytes" \
    "$checkerBytes" "$instructions" \
    "$(awk -v i="$instructions" -v b="$imageBytes" 'BEGIN { printf "%.1f", i / b }')")"$'\n'
}

for board in "${boards[@]}"; do
  read -r machine flash <<<"$board"
  elf=$example/firmware_$machine.elf
  marked=$example/firmware_$machine.srec
  tableAddress=$(printf %X $((flash + 0x1000)))
  table=$(printf 'checksum info table at 0x%08X' $((flash + 0x1000)))
  echo "-- $machine, flash at $flash"
  expect "$machine" "$flash" "$marked" 0 "$machine: $table: valid, 2 entries match the flash" \
    "marked over its placeholder (-x)"
  expect "$machine" "$flash" "${marked%.srec}.hex" 0 \
    "$machine: $table: valid, 2 entries match the flash" "marked as Intel HEX"

  # A byte the firmware does not need before it reports: a reserved vector,
  # and the first letter of the board's name, which sits after the table and
  # turns upper-case in the report.
  nameAddress=$(symbolAddress "$elf" boardName)
  harmless="$(($(symbolAddress "$elf" vectorTable) + 7 * 4)) $nameAddress"
  entries=$(tableEntries -a"$tableAddress" "$marked")
  [ "$(wc -l <<<"$entries")" -eq 2 ] || { echo "FAILED $machine: table entries '$entries'"; failed=1; }
  while read -r index address length; do
    changed=""
    for candidate in $harmless; do
      if [ "$candidate" -ge $((address)) ] && [ "$candidate" -lt $((address + length)) ]; then
        changed=$candidate
        break
      fi
    done
    if [ -z "$changed" ]; then
      echo "FAILED $machine: no byte to change in entry $index ($address, $length bytes)"
      failed=1
      continue
    fi
    copy=$out/${machine}_changed_$index.srec
    changeByte "$marked" "$copy" "$changed" "$flash"
    # The CRC the firmware finds must be the one Velcheck finds on the host.
    hostCrc=$("$prefix/bin/Velcheck" -a"$tableAddress" "$copy" |
      sed -n "s/^ *$index .*MISMATCH (image gives \(0x....\))$/\1/p" || true)
    name=$machine
    [ "$changed" -eq "$nameAddress" ] && name=${machine^}
    expect "$machine" "$flash" "$copy" $((16 + index)) \
      "$name: $table: entry $index of 2 fails: CRC wrong (flash gives ${hostCrc:-no CRC from Velcheck})" \
      "byte $(printf '0x%08X' "$changed") changed"
  done <<<"$entries"

  expect "$machine" "$flash" "$example/firmware_${machine}_unmarked.srec" 2 \
    "$machine: $table: no valid table (magic wrong)" "unmarked"

  # The same firmware without its placeholder's bytes: the table goes into the
  # gap they leave, with no range to exclude.
  arm-none-eabi-objcopy -O srec --remove-section=.checksum_info_table "$elf" "$out/${machine}_gap.srec"
  "$prefix/bin/Velmark" -a"$tableAddress" "$out/${machine}_gap.srec" "$out/${machine}_gap_marked.srec"
  expect "$machine" "$flash" "$out/${machine}_gap_marked.srec" 0 \
    "$machine: $table: valid, 2 entries match the flash" "marked in the placeholder's gap"

  measure "$machine" "$flash" "$example" "bitwise CRC"
done

echo "-- a table over checksummed bytes fails the build with Velmark's message, the next build too"
# The S-record step is a target of its own; the ELF's is the last step of the link.
while read -r format target; do
  build=$out/refused-$format
  cmake -S examples/firmware -B "$build" -DCMAKE_BUILD_TYPE=MinSizeRel \
    "${package[@]}" -DFIRMWARE_EXCLUDE_PLACEHOLDER=OFF -DFIRMWARE_FORMATS=$format >/dev/null
  for attempt in first next; do
    if cmake --build "$build" --target "$target" >"$build.log" 2>&1 ||
      ! grep -q '^\[ERROR\] Could not add the checksum info table data\.$' "$build.log" ||
      [ -e "$build/firmware_lm3s6965evb.$format" ]; then
      echo "FAILED $format, $attempt build: it did not fail with Velmark's message, or left an output"
      cat "$build.log"
      failed=1
    else
      echo "ok     $format, $attempt build failed with: $(grep '^\[ERROR\]' "$build.log")"
    fi
  done
done <<'FORMATS'
srec firmware_lm3s6965evb_checksum_table_srec
elf firmware_lm3s6965evb
FORMATS

echo "-- velmark_add_checksum_table() refuses arguments Velmark could not take"
mkdir -p "$out/arguments"
printf 'int main(void) { return 0; }\n' >"$out/arguments/main.c"
printf '%s\n' 'cmake_minimum_required(VERSION 3.20)' 'project(arguments C)' \
  'find_package(VelmarkTervox CONFIG REQUIRED)' 'add_executable(image main.c)' \
  'velmark_add_checksum_table(image ${ARGUMENTS})' >"$out/arguments/CMakeLists.txt"
# CMake wraps its messages: compared with the lines joined.
while IFS='|' read -r arguments message; do
  if cmake -S "$out/arguments" -B "$out/arguments/build" "${package[@]}" \
    -DARGUMENTS="$arguments" >"$out/arguments.log" 2>&1 ||
    ! tr -s '\n ' '  ' <"$out/arguments.log" | grep -qF "$message"; then
    echo "FAILED arguments '$arguments': expected the configure step to fail with '$message'"
    failed=1
  else
    echo "ok     arguments '$arguments': $message"
  fi
  rm -rf "$out/arguments/build"
done <<'CASES'
EXCLUDE;0x1000:0x10FF|ADDRESS is required
ADDRESS;0x123456789|'0x123456789' does not fit in 32 bits
ADDRESS;0x1000;EXCLUDE;0x1000-0x10FF|EXCLUDE '0x1000-0x10FF' is not <start>:<end>
ADDRESS;0x1000;EXCLUDE;0x1000:0x10G0|EXCLUDE end '0x10G0' is not a hexadecimal address
ADDRESS;0x3000;EXCLUDE;0x3000:12351|EXCLUDE end '12351' has no 0x: it could be decimal
ADDRESS;0x1000;EXCLUDE;0x10FF:0x10FF|EXCLUDE '0x10FF:0x10FF' does not start below its end
ADDRESS;0x1000;FORMAT;coff|FORMAT 'coff' is neither srec, ihex nor elf
ADDRESS;0x1000;FORMAT;elf;OUTPUT;image.out|OUTPUT does not apply
CASES
# Leading zeros go, the zeros inside an address stay.
cmake -S "$out/arguments" -B "$out/arguments/build" "${package[@]}" \
  -DARGUMENTS="ADDRESS;0x08001000;EXCLUDE;0x0800C000:0x0800C0FF" >"$out/arguments.log" 2>&1 ||
  { cat "$out/arguments.log"; exit 1; }
if grep -rqF -- '-a8001000 -x800C000:800C0FF ' "$out/arguments/build/CMakeFiles"; then
  echo "ok     addresses with zeros reach Velmark as -a8001000 -x800C000:800C0FF"
else
  echo "FAILED: addresses with zeros do not reach Velmark as -a8001000 -x800C000:800C0FF"
  failed=1
fi
rm -rf "$out/arguments/build"

echo "-- the CRC table variant boots valid too"
cmake -S examples/firmware -B "$out/crc-table" -DCMAKE_BUILD_TYPE=MinSizeRel \
  "${package[@]}" -DFIRMWARE_CRC_TABLE=ON >/dev/null
cmake --build "$out/crc-table" -j"$(nproc)" >"$out/crc-table-build.log" ||
  { cat "$out/crc-table-build.log"; exit 1; }
for board in "${boards[@]}"; do
  read -r machine flash <<<"$board"
  expect "$machine" "$flash" "$out/crc-table/firmware_$machine.srec" 0 \
    "$(printf '%s: checksum info table at 0x%08X' "$machine" $((flash + 0x1000))): valid, 2 entries match the flash" \
    "CRC table variant"
  measure "$machine" "$flash" "$out/crc-table" "CRC table"
done

echo "-- the ELF the build marks itself (FORMAT elf), loaded as qemu's -kernel and a debugger load it"
cmake -S examples/firmware -B "$out/elf" -DCMAKE_BUILD_TYPE=MinSizeRel \
  "${package[@]}" -DFIRMWARE_FORMATS="elf;srec" >/dev/null
cmake --build "$out/elf" -j"$(nproc)" >"$out/elf-build.log" ||
  { cat "$out/elf-build.log"; exit 1; }
for board in "${boards[@]}"; do
  read -r machine flash <<<"$board"
  valid="$(printf '%s: checksum info table at 0x%08X' "$machine" $((flash + 0x1000))): valid, 2 entries match the flash"
  expect "$machine" "$flash" "$out/elf/firmware_$machine.elf" 0 "$valid" "marked ELF, qemu -kernel"
  # S-records made from the marked ELF are those the S-record step makes alone.
  if cmp -s "$out/elf/firmware_$machine.srec" "$example/firmware_$machine.srec"; then
    echo "ok     $machine, the S-records made from the marked ELF are the S-record step's"
  else
    echo "FAILED $machine: the S-records made from the marked ELF differ from the S-record step's"
    failed=1
  fi
done
expect stm32vldiscovery 0x08000000 "$out/elf/firmware_stm32vldiscovery.elf" 0 \
  "stm32vldiscovery: checksum info table at 0x08001000: valid, 2 entries match the flash" \
  "marked ELF, gdb-multiarch load and continue" gdb

echo "== code size (bytes in flash, the checker's share) and the check at boot"
printf '%-17s %-12s %6s %8s %13s %15s\n' board variant flash checker instructions "per flash byte"
printf '%s' "$sizes"
exit $failed
