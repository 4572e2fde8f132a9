#!/usr/bin/env bash
# Builds the fuzz targets (the `fuzz` preset), makes their seeds from files the
# veld program packs, and runs each target for a bounded time. A crash, a leak,
# a sanitizer report, a timeout or running out of memory fails the run, and the
# input that did it is left in build/fuzz/artifacts/<target>/: keep it under
# fuzz/regressions/<target>/ once the library is fixed, so `make test` replays it.
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET[=SECONDS]...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
declare -A time_of
targets=()
for arg in "$@"; do
  t=${arg%%=*}
  targets+=("$t")
  [[ $arg == *=* ]] && time_of[$t]=${arg#*=}
done
[[ ${#targets[@]} -gt 0 ]] || targets=(read_compressed layout_decode block_codec recover)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"
# The seeds come from the release build's program.
cmake --preset release >/dev/null
cmake --build --preset release --target veld_cli
work=build/fuzz/run
rm -rf "$work/seeds"
python3 fuzz/make_seeds.py build/release/bin/veld "$work/seeds" >/dev/null

status=0
for t in "${targets[@]}"; do
  mkdir -p "$work/corpus/$t" "build/fuzz/artifacts/$t"
  log="$work/$t.log"
  secs=${time_of[$t]:-$seconds}
  echo "== fuzz_$t for ${secs}s"
  if ! build/fuzz/bin/fuzz_$t -max_total_time="$secs" -rss_limit_mb=2560 -timeout=60 \
      -max_len=262144 -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$t/" \
      "$work/corpus/$t" "$work/seeds/$t" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz_$t FAILED: see $log and build/fuzz/artifacts/$t/"
    status=1
    continue
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  files=$(find "$work/corpus/$t" -type f | wc -l)
  bytes=$(du -sb "$work/corpus/$t" | cut -f1)
  rate="?"
  [[ $runs =~ ^[0-9]+$ ]] && rate=$((runs / secs))
  echo "fuzz_$t: ${secs}s, $runs executions ($rate/s), corpus $files files ($bytes bytes)"
done
exit $status
