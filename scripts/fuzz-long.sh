#!/usr/bin/env bash
# Long libFuzzer runs, one harness after another at low priority. Each runs
# on a scratch copy of its seeds; afterwards only the inputs that add
# coverage are merged back into fuzz/corpus/<name>/. Not part of ./test.sh.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
root=$PWD

usage() {
  cat <<'EOF'
usage: scripts/fuzz-long.sh [options] [harness ...]
  Builds the fuzz harnesses (clang, ASan+UBSan) and runs every one of them,
  or the ones named (e.g. inifile or fuzz_inifile), then merges the inputs
  that add coverage into fuzz/corpus/<name>/.
options:
  --build DIR     build folder (default build-asan), configured as ./test.sh does
  --time SECONDS  run time per harness (default 600 unless --runs is given)
  --runs N        executions per harness (with --time: whichever comes first)
  --merge-max-len N  cap the length of the inputs merged into the seeds
  --merge-edges   merge by new edges only, not hit counts (far fewer files)
  --no-merge      leave fuzz/corpus untouched
  --no-build      run the harnesses as they are built
  --results DIR   crash/timeout/leak artifacts and logs (default <build>/fuzz-results/<date-time>)
  -h, --help      this text
Prints one line per harness; exits 1 when any harness found a crash.
EOF
}

build=build-asan time="" runs="" results="" merge=1 merge_max="" build_it=1
names=() merge_opts=()
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=${2:?}; shift ;;
    --time) time=${2:?}; shift ;;
    --runs) runs=${2:?}; shift ;;
    --results) results=${2:?}; shift ;;
    --merge-max-len) merge_max=${2:?}; shift ;;
    --merge-edges) merge_opts+=(-use_counters=0) ;;
    --no-merge) merge=0 ;;
    --no-build) build_it=0 ;;
    -h|--help) usage; exit 0 ;;
    -*) echo "unknown option $1" >&2; usage >&2; exit 2 ;;
    *) names+=("${1#fuzz_}") ;;
  esac
  shift
done
[ -z "$time$runs" ] && time=600
case $build in /*) ;; *) build=$root/$build ;; esac
results=${results:-$build/fuzz-results/$(date +%Y%m%d-%H%M%S)}

# Inputs longer than the parser can ever look at only slow the search down.
max_len_of() {
  case $1 in
    modbus_address) echo 32 ;;
    buslink_types) echo 256 ;;
    modbus_rtu_frame|modbus_tcp_response) echo 320 ;;
    modbus_xbee_frame) echo 2048 ;;
    backup_file) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

if [ ${#names[@]} -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do n=${f#fuzz/fuzz_}; names+=("${n%.cpp}"); done
fi
for n in "${names[@]}"; do
  [ -f "fuzz/fuzz_$n.cpp" ] || { echo "no harness fuzz/fuzz_$n.cpp" >&2; exit 2; }
done

if [ "$build_it" = 1 ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DPLEXORD_GUI=OFF -DPLEXORD_SANITIZE=ON -DPLEXORD_FUZZ=ON >/dev/null || exit 2
  # The configuration harness loads the network plug-ins of the build tree.
  targets=$(printf 'fuzz_%s ' "${names[@]}")
  targets+=$(cmake --build "$build" --target help | sed -n 's/^\([A-Za-z0-9_-]*-plugin\):.*/\1/p' | tr '\n' ' ')
  # shellcheck disable=SC2086
  nice -n 19 cmake --build "$build" -j "$(nproc)" --target $targets >/dev/null ||
    { echo " ! build failed" >&2; exit 2; }
fi

stat_of() { sed -n "s/^stat::$1: *//p" "$2" | tail -1; }

failed=0
for n in "${names[@]}"; do
  bin=$build/fuzz/fuzz_$n
  seeds=$root/fuzz/corpus/$n
  out=$results/$n
  work=$out/work
  rm -rf "$work"; mkdir -p "$work" "$seeds"
  cp -r "$seeds"/. "$work"/
  max=$(max_len_of "$n")
  limits=(-max_len="$max" -timeout=10)
  [ -n "$time" ] && limits+=(-max_total_time="$time")
  [ -n "$runs" ] && limits+=(-runs="$runs")
  before=$(find "$seeds" -type f | wc -l)
  nice -n 19 "$bin" "${limits[@]}" -print_final_stats=1 -artifact_prefix="$out/" "$work" >"$out/fuzz.log" 2>&1
  rc=$?
  crashes=$(find "$out" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'timeout-*' -o -name 'leak-*' \
                                             -o -name 'oom-*' \) | wc -l)
  [ "$rc" -ne 0 ] && [ "$crashes" -eq 0 ] && crashes="?(exit $rc)"
  [ "$crashes" != 0 ] && failed=1
  if [ "$merge" = 1 ]; then
    nice -n 19 "$bin" -merge=1 -max_len="${merge_max:-$max}" -timeout=10 "${merge_opts[@]}" "$seeds" "$work" \
      >"$out/merge.log" 2>&1 ||
      echo " ! $n: merge failed, see $out/merge.log" >&2
  fi
  after=$(find "$seeds" -type f | wc -l)
  printf '%-20s runs %s  exec/s %s  new units %s  corpus %s -> %s  crashes %s\n' "$n" \
    "$(stat_of number_of_executed_units "$out/fuzz.log")" "$(stat_of average_exec_per_sec "$out/fuzz.log")" \
    "$(stat_of new_units_added "$out/fuzz.log")" "$before" "$after" "$crashes"
  rm -rf "$work"
done
exit $failed
