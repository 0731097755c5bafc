#!/usr/bin/env bash
# Builds the fuzz targets with clang in BUILD_DIR and runs each for SECONDS seconds, starting from
# the committed seeds (new inputs go to a working corpus in BUILD_DIR, never into the tree).
# Seeds are read recursively: corpus/bundle/campaign holds the merged corpus of a long run.
# Prints one summary line per target; fails if any target found a crash or a broken property.
set -euo pipefail

build=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS}
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS}
here=$(cd "$(dirname "$0")" && pwd)
jobs=${JOBS:-2}

CC=clang-16 CXX=clang++-16 cmake -S "$here" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null

# Request texts stay short; archives and manifests get room for real structure.
declare -A max_len=([request]=4096 [request_json]=4096 [manifest]=16384 [bundle]=65536 [version]=512)
status=0
for target in request request_json manifest bundle version; do
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target/"
  mkdir -p "$work" "$artifacts"
  log="$build/$target.log"
  dict=()
  [ -f "$here/$target.dict" ] && dict=(-dict="$here/$target.dict")
  rc=0
  "$build/fuzz_$target" "${dict[@]}" -max_total_time="$seconds" -max_len="${max_len[$target]}" \
    -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts" \
    "$work" "$here/corpus/$target" >"$log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$rc" -eq 0 ]; then
    printf 'fuzz_%s\t%s executions in %ss\tok\n' "$target" "${runs:-0}" "$seconds"
  else
    printf 'fuzz_%s\tFAILED (status %s), see %s and %s\n' "$target" "$rc" "$log" "$artifacts"
    grep -m5 -E 'ERROR|property violated|SUMMARY' "$log" || true
    status=1
  fi
done
exit $status
