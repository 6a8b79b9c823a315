#!/usr/bin/env bash
# Decodes the checksum info table at ADDRESS (hex) in an S3 S-record file written by Velmark.
# Usage: scripts/show_table.sh FILE ADDRESS
set -euo pipefail
file=$1
table=$((16#$2))

# Collect the data bytes of the S3 records from the table's address on, as one hex string.
hex=""
next=$table
while read -r line; do
  line=${line%$'\r'}
  [ "${line:0:2}" = "S3" ] || continue
  address=$((16#${line:4:8}))
  [ "$address" -eq "$next" ] || { [ -n "$hex" ] && break; continue; }
  data=${line:12:$(( ${#line} - 14 ))}
  hex+=$data
  next=$(( address + ${#data} / 2 ))
done < "$file"
[ -n "$hex" ] || { echo "no S3 records at 0x$2 in $file" >&2; exit 1; }

# Little-endian field of SIZE bytes at byte OFFSET of the table.
field() {
  local offset=$1 size=$2 value="" index
  for ((index = size - 1; index >= 0; index--)); do
    value+=${hex:$(( (offset + index) * 2 )):2}
  done
  echo "$value"
}

count=$((16#$(field 4 1)))
printf 'Checksum info table at 0x%08X:\n' "$table"
printf '  magic 0x%s, segment count %d, reserved 0x%s, list CRC 0x%s\n' \
  "$(field 0 4)" "$count" "$(field 5 3)" "$(field 8 2)"
for ((entry = 0; entry < count; entry++)); do
  base=$((10 + 10 * entry))
  printf '  segment %d: address 0x%s, length 0x%s, CRC 0x%s\n' \
    "$entry" "$(field "$base" 4)" "$(field $((base + 4)) 4)" "$(field $((base + 8)) 2)"
done
