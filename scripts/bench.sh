#!/usr/bin/env bash
# Benchmarks: the libtrellan kernels (Google Benchmark), then Velmark against
# objcopy and srec_cat on a 32 MiB image, and Tervox against the floor of a
# process that only opens a pcap dump. Never part of the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build bench
rounds=${BENCH_ROUNDS:-5}
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DVELMARK_BUILD_TESTS=OFF \
  -DVELMARK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/bench -j"$(nproc)" >/dev/null
bin=$PWD/build/bench/bin
work=$PWD/build/bench/work
mkdir -p "$work"

echo "== kernels"
"$bin/bench_kernels" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.5

echo
echo "== end to end: 32 MiB image (16 + 8 + 8 MiB, S3 records of 32 bytes)"
"$bin/bench_make_image" "$work/big.srec"
echo "big.srec: $(( $(stat -c %s "$work/big.srec") / 1000000 )) MB of text"

# velmark replaces the output of the round before (as a rebuild does); velmark_new writes
# a new file. Replacing by rename makes ext4 write the new file back at once, which the
# other tools, that truncate in place, do not pay for.
names=(velmark velmark_new velmark_x objcopy)
commands=(
  "$bin/Velmark -a0B000000 $work/big.srec $work/out_velmark.srec"
  "$bin/Velmark -a0B000000 $work/big.srec $work/out_velmark_new.srec"
  "$bin/Velmark -x08001000:08001FFF -a0B000000 $work/big.srec $work/out_velmark_x.srec"
  "objcopy -I srec -O srec $work/big.srec $work/out_objcopy.srec"
)
if command -v srec_cat >/dev/null; then
  names+=(srec_cat)
  commands+=("srec_cat $work/big.srec -crc16-l-e 0x0B000000 -broken -o $work/out_srec_cat.srec -obs=32")
fi

declare -A seconds memory
for ((round = 0; round < rounds; round++)); do
  for index in "${!names[@]}"; do
    rm -f "$work/out_velmark_new.srec"
    # Write back what earlier runs left dirty, so no run pays for another's output.
    sync
    # Wall time around the run; %M: peak resident set in KiB
    start=$(date +%s%N)
    /usr/bin/time -f "%M" -o "$work/time.txt" ${commands[$index]} >/dev/null 2>&1
    end=$(date +%s%N)
    elapsed=$(echo "scale=3; ($end - $start) / 1000000000" | bc)
    read -r kib < "$work/time.txt"
    seconds[${names[$index]}]+="$elapsed "
    memory[${names[$index]}]+="$kib "
  done
done

median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
objcopy_median=$(echo "${seconds[objcopy]}" | median)
printf '\n%-12s %10s %12s %16s\n' tool "median s" "peak MiB" "objcopy / tool"
for name in "${names[@]}"; do
  time_median=$(echo "${seconds[$name]}" | median)
  kib=$(echo "${memory[$name]}" | tr ' ' '\n' | sed '/^$/d' | sort -g | tail -1)
  printf '%-12s %10s %12.1f %16.2f\n' "$name" "$time_median" "$(echo "$kib / 1024" | bc -l)" \
    "$(echo "$objcopy_median / $time_median" | bc -l)"
done
echo "(median of $rounds alternating rounds; peak memory is the largest of the rounds)"

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
