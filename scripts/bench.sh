#!/usr/bin/env bash
# Benchmarks: the libtrellan kernels (Google Benchmark); Velmark and Velcheck on a 32 MiB
# image and on 300 000 small segments, written as 16-byte records in ascending, descending
# and random order, as S-records and as Intel HEX, against dd copying the same text and
# objcopy; Velcheck -a over a table whose entries overlap; a 32 MiB ELF patched, against cp;
# Tervox against the floor of a process that only opens a pcap dump. Never part of the test
# suite.
# BENCH_ROUNDS (default 5) rounds per table; BENCH_PEER_CAP (default 20) seconds
# after which a run is stopped and shown as "> N s"; BENCH_SECTIONS (default "kernels images
# overlap elf tervox") the parts to run, in that order.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build bench
rounds=${BENCH_ROUNDS:-5}
cap=${BENCH_PEER_CAP:-20}
sections=${BENCH_SECTIONS:-kernels images overlap elf tervox}
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
# NUMERATOR / DENOMINATOR; a capped side makes it a bound, a missing one "-".
ratio() {
  if [ "$1" = - ] || [ "$2" = - ] || { [ "$1" = cap ] && [ "$2" = cap ]; }; then
    echo "-"
  elif [ "$1" = cap ]; then
    echo ">$(echo "$cap / $2" | bc -l | xargs printf '%.1f')"
  elif [ "$2" = cap ]; then
    echo "<$(echo "$1 / $cap" | bc -l | xargs printf '%.1f')"
  else
    echo "$1 / $2" | bc -l | xargs printf '%.2f'
  fi
}

bench_kernels() {
  echo "== kernels"
  "$bin/bench_kernels" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.5
}

bench_images() {
  echo "== 16-byte records, as many toolchains write them: the 32 MiB image (16 + 8 + 8 MiB) and"
  echo "   300 000 segments of 16 bytes, ascending, descending and random, as S3 records and Intel HEX"
  images=()
  for kind in big many; do
    for format in srec hex; do
      for order in ascending descending random; do
        images+=("$kind-$order.$format")
        # Made again whenever the generator is newer, so no image from an older layout is measured.
        [ "$work/$kind-$order.$format" -nt "$bin/bench_make_image" ] ||
          "$bin/bench_make_image" "$work/$kind-$order.$format" "$kind" "$order" "${format/hex/ihex}"
      done
      # Velcheck checks the same text with the table Velmark makes for the ascending twin added
      # before the last record (no count record follows it: none is required).
      "$bin/Velmark" -a0B000000 "$work/$kind-ascending.$format" "$work/table.$format"
      for order in ascending descending random; do
        {
          head -n -1 "$work/$kind-$order.$format"
          awk '/^S3[0-9A-F][0-9A-F]0B/ || /^:020000040B00EF$/ { on = 1 } on && !/^(S[5-9]|:00000001FF)/' \
            "$work/table.$format"
          tail -n 1 "$work/$kind-$order.$format"
        } >"$work/checked-$kind-$order.$format"
      done
    done
  done
  echo "big-ascending: $(($(stat -c %s "$work/big-ascending.srec") / 1000000)) MB of S-records," \
    "$(($(stat -c %s "$work/big-ascending.hex") / 1000000)) MB of Intel HEX" \
    "($(($(stat -c %s "$work/big-random.hex") / 1000000)) MB in random order, an 04 before nearly every record)"

  # Every run writes a new file (the last one's is removed first), except "replacing", which
  # rewrites the output of the run just before it, as a rebuild does (and "mv_over" then
  # renames it over the file it renamed the round before). A peer that hit the
  # cap once is not run again.
  cut_all_but_last="-x08000000:08927BDF" # the 300 000 segments lie 32 bytes apart from 0x08000000
  for ((round = 0; round < rounds; round++)); do
    for image in "${images[@]}"; do
      format=${image##*.}
      rm -f "$work"/out-*
      timed "velmark $image" "$bin/Velmark" -a0B000000 "$work/$image" "$work/out-velmark.$format"
      if [ "$image" = big-ascending.srec ]; then
        timed "replacing" "$bin/Velmark" -a0B000000 "$work/$image" "$work/out-velmark.$format"
        # What replacing may cost at most: a new file renamed over the one renamed the round before.
        timed "mv_over" mv "$work/out-velmark.$format" "$work/kept-mv-over.$format"
      fi
      timed "velcheck $image" "$bin/Velcheck" -a0B000000 "$work/checked-$image"
      timed "dd $image" dd if="$work/$image" of="$work/out-dd.$format" bs=1M status=none
      if [ "$format" = hex ] && [[ ${seconds["objcopy $image"]:-} != *cap* ]]; then
        timed "objcopy $image" objcopy -I ihex -O ihex "$work/$image" "$work/out-objcopy.hex"
      fi
    done
    timed "cut" "$bin/Velmark" "$cut_all_but_last" -a0B000000 "$work/many-ascending.srec" "$work/out-cut.srec"
    timed "objcopy srec" objcopy -I srec -O srec "$work/big-ascending.srec" "$work/out-objcopy.srec"
    if [[ ${seconds["srec_cat"]:-} != *cap* ]]; then
      timed "srec_cat" srec_cat "$work/big-ascending.srec" -crc16-l-e 0x0B000000 -broken \
        -o "$work/out-srec_cat.srec" -obs=16
    fi
  done
  rm -f "$work"/out-* "$work"/kept-mv-over.*

  printf '\n%-22s %8s %5s %5s %5s %9s %5s %5s %6s %8s %5s\n' image Velmark /asc MiB /dd Velcheck /asc MiB \
    dd objcopy /Vm
  for image in "${images[@]}"; do
    ascending=${image/descending/ascending}
    ascending=${ascending/random/ascending}
    velmark=$(median "velmark $image")
    velcheck=$(median "velcheck $image")
    objcopy=-
    [ -n "${seconds["objcopy $image"]:-}" ] && objcopy=$(median "objcopy $image")
    printf '%-22s %8s %5s %5s %5s %9s %5s %5s %6s %8s %5s\n' "$image" "$(shown "$velmark")" \
      "$(ratio "$velmark" "$(median "velmark $ascending")")" "$(peak "velmark $image")" \
      "$(ratio "$velmark" "$(median "dd $image")")" "$(shown "$velcheck")" \
      "$(ratio "$velcheck" "$(median "velcheck $ascending")")" "$(peak "velcheck $image")" \
      "$(median "dd $image")" "$(shown "$objcopy")" "$(ratio "$objcopy" "$velmark")"
  done
  echo "(seconds, median of $rounds alternating rounds; MiB: the largest peak resident memory;"
  echo " /asc: to the ascending twin; /dd: Velmark to dd bs=1M copying the same text; /Vm: objcopy"
  echo " -I ihex -O ihex to Velmark; a run stopped after $cap s shows as \"> $cap\", its ratio as a bound)"
  new=$(median "velmark big-ascending.srec")
  cut_twin=$(median "velmark many-ascending.srec")
  printf '%-60s %8s %6s\n' "big-ascending.srec:" seconds ratio
  printf '%-60s %8s %6s\n' "  replacing the output (to writing a new one)" "$(median replacing)" \
    "$(ratio "$(median replacing)" "$new")"
  printf '%-60s %8s %6s\n' "  replacing (to a new output plus mv over the last; goal: <= 1)" - \
    "$(ratio "$(median replacing)" "$(echo "$new + $(median mv_over)" | bc -l)")"
  printf '%-60s %8s %6s\n' "  objcopy -I srec -O srec (to Velmark)" "$(median "objcopy srec")" \
    "$(ratio "$(median "objcopy srec")" "$new")"
  printf '%-60s %8s %6s\n' "  srec_cat -crc16-l-e ... -obs=16 (to Velmark)" "$(shown "$(median srec_cat)")" \
    "$(ratio "$(median srec_cat)" "$new")"
  printf '%-60s %8s %6s\n' "many-ascending.srec, -x cutting all but the last (to no -x)" "$(median cut)" \
    "$(ratio "$(median cut)" "$cut_twin")"
}

bench_overlap() {
  echo "== Velcheck -a: a table of 100 000 entries, each naming nearly all of one 1 MiB segment"
  "$bin/bench_make_overlap_table" "$work/overlap.srec"
  # Every entry mismatches (exit 1); the floor run only loads the image and finds no table (exit 2).
  # shellcheck disable=SC2317 # run through declare -f in the timed bash
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
}

bench_elf() {
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
}

bench_tervox() {
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
}

for section in $sections; do
  echo
  "bench_$section"
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
