#!/usr/bin/env bash
# Benchmarks: the libtrellan kernels (Google Benchmark); Velmark against objcopy
# and srec_cat on a 32 MiB image, then on inputs whose records come in other
# orders, with many segments and with -x; the same image as Intel HEX; Velcheck -a
# over a table whose entries overlap; a 32 MiB ELF patched, against cp; Tervox
# against the floor of a process that only opens a pcap dump. Never part of the
# test suite.
# BENCH_ROUNDS (default 5) rounds per table; BENCH_PEER_CAP (default 20) seconds
# after which a run is stopped and shown as "> N s".
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build bench
rounds=${BENCH_ROUNDS:-5}
cap=${BENCH_PEER_CAP:-20}
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DVELMARK_BUILD_TESTS=OFF \
  -DVELMARK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/bench -j"$(nproc)" >/dev/null
bin=$PWD/build/bench/bin
work=$PWD/build/bench/work
mkdir -p "$work"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"

# Each run is timed as a user sees it: wall time, nothing flushed before or after,
# so a run may pay for writing back what the runs before it left dirty.
declare -A seconds memory
# timed NAME COMMAND...: one run; records its wall seconds ("cap" if stopped) and peak KiB.
timed() {
  local name=$1 start end status=0 kib
  shift
  start=$(date +%s%N)
  /usr/bin/time -f "%M" -o "$work/time.txt" timeout "$cap" "$@" >/dev/null 2>&1 || status=$?
  end=$(date +%s%N)
  if [ "$status" -eq 124 ]; then
    seconds[$name]+="cap "
  elif [ "$status" -ne 0 ]; then
    echo "bench: '$*' failed with status $status" >&2
    exit 1
  else
    seconds[$name]+="$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }') "
  fi
  read -r kib < <(tail -1 "$work/time.txt")
  memory[$name]+="$kib "
}
# The median of a name's runs ("cap" sorts last), and the largest peak memory in MiB.
median() {
  echo "${seconds[$1]}" | tr ' ' '\n' | sed '/^$/d' | sed "s/^cap$/$cap.999/" | sort -g |
    awk -v cap="$cap" '{ v[NR] = $1 } END { m = v[int((NR + 1) / 2)]; print (m > cap ? "cap" : m) }'
}
peak() { echo "${memory[$1]}" | tr ' ' '\n' | sed '/^$/d' | sort -g | tail -1 | awk '{ printf "%.1f", $1 / 1024 }'; }
shown() { [ "$1" = cap ] && echo "> $cap" || echo "$1"; }
ratio() {
  if [ "$1" = cap ] || [ "$2" = cap ]; then echo "-"; else echo "$1 / $2" | bc -l | xargs printf '%.2f'; fi
}

echo "== kernels"
"$bin/bench_kernels" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.5

echo
echo "== end to end: 32 MiB image (16 + 8 + 8 MiB, S3 records of 32 bytes)"
"$bin/bench_make_image" "$work/big.srec"
echo "big.srec: $(( $(stat -c %s "$work/big.srec") / 1000000 )) MB of text"

# velmark replaces the output of the round before (as a rebuild does); velmark_new writes
# a new file, which mv_over then renames over the file it wrote the round before: what
# replacing may cost at most. Replacing by rename makes ext4 write the new file back at
# once, which the other tools, that truncate in place, do not pay for.
names=(velmark velmark_new mv_over velmark_x objcopy srec_cat)
commands=(
  "$bin/Velmark -a0B000000 $work/big.srec $work/out_velmark.srec"
  "$bin/Velmark -a0B000000 $work/big.srec $work/out_velmark_new.srec"
  "mv $work/out_velmark_new.srec $work/out_mv_over.srec"
  "$bin/Velmark -x08001000:08001FFF -a0B000000 $work/big.srec $work/out_velmark_x.srec"
  "objcopy -I srec -O srec $work/big.srec $work/out_objcopy.srec"
  "srec_cat $work/big.srec -crc16-l-e 0x0B000000 -broken -o $work/out_srec_cat.srec -obs=32"
)
for ((round = 0; round < rounds; round++)); do
  for index in "${!names[@]}"; do
    [ "${names[$index]}" != velmark_new ] || rm -f "$work/out_velmark_new.srec"
    # shellcheck disable=SC2086
    timed "${names[$index]}" ${commands[$index]}
  done
done
objcopy_median=$(median objcopy)
printf '\n%-12s %10s %12s %16s\n' tool "median s" "peak MiB" "objcopy / tool"
for name in "${names[@]}"; do
  printf '%-12s %10s %12s %16s\n' "$name" "$(shown "$(median "$name")")" "$(peak "$name")" \
    "$(ratio "$objcopy_median" "$(median "$name")")"
done
echo "(median of $rounds alternating rounds; peak memory is the largest of the rounds)"
new_and_rename=$(echo "$(median velmark_new) + $(median mv_over)" | bc -l)
echo "replacing / (new + mv_over): $(ratio "$(median velmark)" "$new_and_rename") (goal: at most 1)"

echo
echo "== record order, many segments, -x: each input against its ascending (or no -x) twin"
for order in ascending descending shuffled; do
  [ -f "$work/big-$order.srec" ] || "$bin/bench_make_image" "$work/big-$order.srec" big "$order"
  [ -f "$work/many-$order.srec" ] || "$bin/bench_make_image" "$work/many-$order.srec" many "$order"
done
# The 300 000 segments lie 32 bytes apart from 0x08000000: this -x cuts all but the last.
cut_all_but_last="-x08000000:08927BDF"
inputs=(big-ascending big-descending big-shuffled many-ascending many-descending many-shuffled
  many-x)
twins=(big-ascending big-ascending big-ascending many-ascending many-ascending many-ascending
  many-ascending)
for ((round = 0; round < rounds; round++)); do
  for input in "${inputs[@]}"; do
    file=$work/${input/many-x/many-ascending}.srec
    out=$work/out-$input
    if [ "$input" = many-x ]; then
      timed "velmark $input" "$bin/Velmark" "$cut_all_but_last" -a0B000000 "$file" "$out-velmark.srec"
      timed "srec_cat $input" srec_cat "$file" -exclude 0x08000000 0x08927BE0 -crc16-l-e 0x0B000000 \
        -broken -o "$out-srec_cat.srec" -obs=32
    else
      timed "velmark $input" "$bin/Velmark" -a0B000000 "$file" "$out-velmark.srec"
      timed "srec_cat $input" srec_cat "$file" -crc16-l-e 0x0B000000 -broken \
        -o "$out-srec_cat.srec" -obs=32
      timed "objcopy $input" objcopy -I srec -O srec "$file" "$out-objcopy.srec"
    fi
  done
done
printf '\n%-16s %9s %6s %9s %9s %6s %9s %6s\n' input Velmark ratio "peak MiB" srec_cat ratio \
  objcopy ratio
for index in "${!inputs[@]}"; do
  input=${inputs[$index]}
  twin=${twins[$index]}
  row=$(printf '%-16s' "$input")
  for tool in velmark srec_cat objcopy; do
    if [ -z "${seconds["$tool $input"]:-}" ]; then
      row+=$(printf ' %9s %6s' - -)
    else
      time_median=$(median "$tool $input")
      row+=$(printf ' %9s %6s' "$(shown "$time_median")" "$(ratio "$time_median" "$(median "$tool $twin")")")
    fi
    [ "$tool" = velmark ] && row+=$(printf ' %9s' "$(peak "velmark $input")")
  done
  echo "$row"
done
echo "(seconds, median of $rounds alternating rounds; ratio: to the ascending twin, or to the run"
echo " without -x; many-x cuts all but one segment, srec_cat with -exclude, objcopy has no such cut)"

echo
echo "== Velcheck -a: a table of 100 000 entries, each naming nearly all of one 1 MiB segment"
"$bin/bench_make_overlap_table" "$work/overlap.srec"
# Every entry mismatches (exit 1); the floor run only loads the image and finds no table (exit 2).
expect_exit() { local code=$1 status=0; shift; "$@" >/dev/null || status=$?; [ "$status" -eq "$code" ]; }
for ((round = 0; round < rounds; round++)); do
  timed "velcheck overlap" bash -c "$(declare -f expect_exit); expect_exit 1 \"\$@\"" _ \
    "$bin/Velcheck" -a09000000 "$work/overlap.srec"
  timed "velcheck floor" bash -c "$(declare -f expect_exit); expect_exit 2 \"\$@\"" _ \
    "$bin/Velcheck" -a08000000 "$work/overlap.srec"
done
printf '%-34s %10s %12s\n' run "median s" "peak MiB"
printf '%-34s %10s %12s\n' "check of 100 000 entries (~100 GiB)" "$(shown "$(median "velcheck overlap")")" \
  "$(peak "velcheck overlap")"
printf '%-34s %10s %12s\n' "load only (no table at the address)" "$(shown "$(median "velcheck floor")")" \
  "$(peak "velcheck floor")"

echo
echo "== Intel HEX: the same 32 MiB image as 16-byte records, in three orders, each output a new file"
for order in ascending descending shuffled; do
  [ -f "$work/big-$order.hex" ] || "$bin/bench_make_image" "$work/big-$order.hex" big "$order" ihex
done
echo "big-ascending.hex: $(( $(stat -c %s "$work/big-ascending.hex") / 1000000 )) MB of text"
hex_names=(velmark objcopy srec_cat velmark_descending velmark_shuffled)
hex_commands=(
  "$bin/Velmark -a0B000000 $work/big-ascending.hex $work/out_hex_velmark.hex"
  "objcopy -I ihex -O ihex $work/big-ascending.hex $work/out_hex_objcopy.hex"
  "srec_cat $work/big-ascending.hex -Intel -crc16-l-e 0x0B000000 -broken -o $work/out_hex_srec_cat.hex -Intel"
  "$bin/Velmark -a0B000000 $work/big-descending.hex $work/out_hex_velmark_descending.hex"
  "$bin/Velmark -a0B000000 $work/big-shuffled.hex $work/out_hex_velmark_shuffled.hex"
)
for ((round = 0; round < rounds; round++)); do
  for index in "${!hex_names[@]}"; do
    rm -f "$work"/out_hex_*.hex
    # shellcheck disable=SC2086
    timed "hex ${hex_names[$index]}" ${hex_commands[$index]}
  done
done
hex_objcopy=$(median "hex objcopy")
hex_ascending=$(median "hex velmark")
printf '\n%-20s %10s %12s %16s %14s\n' tool "median s" "peak MiB" "objcopy / tool" "/ ascending"
for name in "${hex_names[@]}"; do
  time_median=$(median "hex $name")
  against_ascending=-
  [[ $name == velmark* ]] && against_ascending=$(ratio "$time_median" "$hex_ascending")
  printf '%-20s %10s %12s %16s %14s\n' "$name" "$(shown "$time_median")" "$(peak "hex $name")" \
    "$(ratio "$hex_objcopy" "$time_median")" "$against_ascending"
done
echo "(median of $rounds alternating rounds; every run writes a new file)"

echo
echo "== ELF: Velmark patching a 32 MiB ELF in place of its placeholder, against cp and objcopy -O srec"
"$bin/bench_make_elf" "$work/big.elf"
elf_bytes=$(stat -c %s "$work/big.elf")
echo "big.elf: $elf_bytes bytes"
elf_names=(velmark cp objcopy)
elf_commands=(
  "$bin/Velmark -a0B000000 -x0B000000:0B0000FF $work/big.elf $work/out_elf_velmark.elf"
  "cp $work/big.elf $work/out_elf_cp.elf"
  "objcopy -O srec $work/big.elf $work/out_elf_objcopy.srec"
)
for ((round = 0; round < rounds; round++)); do
  for index in "${!elf_names[@]}"; do
    rm -f "$work"/out_elf_*
    # shellcheck disable=SC2086
    timed "elf ${elf_names[$index]}" ${elf_commands[$index]}
  done
done
printf '\n%-10s %10s %12s %14s %14s\n' tool "median s" "peak MiB" "/ cp" "objcopy / tool"
for name in "${elf_names[@]}"; do
  time_median=$(median "elf $name")
  printf '%-10s %10s %12s %14s %14s\n' "$name" "$(shown "$time_median")" "$(peak "elf $name")" \
    "$(ratio "$time_median" "$(median "elf cp")")" "$(ratio "$(median "elf objcopy")" "$time_median")"
done
echo "Velmark peak memory / file: $(echo "${memory["elf velmark"]}" | tr ' ' '\n' | sed '/^$/d' | sort -g |
  tail -1 | awk -v bytes="$elf_bytes" '{ printf "%.2f", $1 * 1024 / bytes }')"
echo "(median of $rounds alternating rounds; every run writes a new file)"

echo
echo "== Tervox: a full 16 KiB ring of 60-byte frames"
"$bin/bench_make_full_ring" "$work/full.prb"
runs=${TERVOX_RUNS:-300}
time_runs() {
  local start end
  start=$(date +%s%N)
  for ((run = 0; run < runs; run++)); do "$@" >/dev/null; done
  end=$(date +%s%N)
  echo $(( (end - start) / runs / 1000 ))
}
tervox_us=$(time_runs "$bin/Tervox" "$work/full.prb" "$work/full.pcap" 16 1700000000)
floor_us=$(time_runs "$bin/bench_pcap_floor" "$work/floor.pcap")
packets=$(( ($(stat -c %s "$work/full.pcap") - 24) / (16 + 60) ))
printf '%-12s %10s\n' program "µs per run"
printf '%-12s %10s   (%d packets)\n' Tervox "$tervox_us" "$packets"
printf '%-12s %10s\n' pcap_floor "$floor_us"
printf 'Tervox / floor: %.2f\n' "$(echo "$tervox_us / $floor_us" | bc -l)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
