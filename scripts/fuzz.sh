#!/usr/bin/env bash
# Runs every fuzz target for a bounded time under ASan+UBSan and prints how many
# inputs each executed. Usage: scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/setup.sh build test fuzz
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j"$(nproc)" --target \
  fuzz_srec_load fuzz_srec_round_trip fuzz_ihex_load fuzz_ihex_round_trip fuzz_ring_walk \
  fuzz_velmark_command_line fuzz_elf_load fuzz_elf_round_trip \
  fuzz_checksum_info_table >/dev/null

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
work=build/fuzz/work
failed=0
printf '%-24s %12s %8s\n' target executions result
for target in srec_load srec_round_trip ihex_load ihex_round_trip ring_walk velmark_command_line \
  checksum_info_table elf_load elf_round_trip; do
  # New inputs go to a scratch corpus; the seeds in the repository stay as they are.
  mkdir -p "$work/$target" "$work/artifacts"
  log="$work/$target.log"
  if "build/fuzz/bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" \
      "$work/$target" "Host/Tests/fuzz/corpus/$target" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    failed=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  printf '%-24s %12s %8s\n' "$target" "${runs:-?}" "$result"
  [ "$result" = ok ] || tail -40 "$log"
done
exit $failed
