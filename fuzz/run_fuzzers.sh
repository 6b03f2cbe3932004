#!/usr/bin/env bash
# run_fuzzers.sh -- runs every fuzz target of a fuzz build for a set time, all
# at once, each on its working corpus (fuzz/corpus-work/<target>, grown from
# the seeds in fuzz/corpus/<target>). Fails when any target finds a crash, a
# leak, a sanitizer report, a broken property or a hang.
# Usage: fuzz/run_fuzzers.sh BUILD_DIR SECONDS
set -uo pipefail
build=${1:?build directory}
seconds=${2:?seconds per target}
cd "$(dirname "$0")/.."
# Absolute paths: a target may change its working directory at set-up.
build=$(cd "$build" && pwd)
here=$(pwd)
mkdir -p "$build/fuzz-logs" "$build/fuzz-artifacts"

pids=()
targets=()
for fuzzer in "$build"/fuzz/*_fuzzer; do
  target=$(basename "$fuzzer" _fuzzer)
  mkdir -p "fuzz/corpus-work/$target"
  # -timeout: one input that takes 10 s is a hang; the whole-request target
  # gets longer inputs so that multipart uploads keep their shape.
  max_len=4096
  [ "$target" = whole_request ] && max_len=65536
  dict=()
  [ -f "fuzz/$target.dict" ] && dict=(-dict="$here/fuzz/$target.dict")
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len="$max_len" "${dict[@]}" \
    -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$target-" \
    "$here/fuzz/corpus-work/$target" "$here/fuzz/corpus/$target" >"$build/fuzz-logs/$target.log" 2>&1 &
  pids+=($!)
  targets+=("$target")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in $build/fuzz" >&2
  exit 1
fi

failed=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  log="$build/fuzz-logs/$target.log"
  if wait "${pids[$i]}"; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $target: ${execs:-?} executions in ${seconds} s, no finding"
  else
    failed=$((failed + 1))
    echo "fuzz $target: FINDING (log $log, inputs $build/fuzz-artifacts/$target-*)"
    grep -m 20 -E "ERROR|SUMMARY|property broken|runtime error|Test unit written" "$log" || tail -n 30 "$log"
  fi
done
echo "${#targets[@]} fuzz targets: $(( ${#targets[@]} - failed )) passed, $failed failed"
[ "$failed" -eq 0 ]
