#!/usr/bin/env bash
# Request-channel figures: "prepare" of a 512 MiB package against `openssl dgst -sha256` on the
# same warm file (best of three, whole processes), the median "identity" call beside the median
# stat(2) of the AppImage in the same run, and the peak memory a "prepare" adds.
set -euo pipefail
build=${1:-build}
bundle=${2:-$build/install}
. "$(dirname "$0")/common.bash"
bench_tool channel
updater_library
bench_work channel
bin=$work/mnt/usr/bin
mkdir -p "$bin/lib" "$work/apps"
cp "$tool" "$bin/bench_channel"
cp "$lib" "$bin/lib/"
: >"$bin/UpdateNix"
printf '<package><metadata><id>com.pellark.Bench</id><version>1.0.0</version></metadata></package>' \
  >"$bin/sq.version"
printf '#!/bin/sh\n' >"$work/apps/Pellark.AppImage"
export APPIMAGE=$work/apps/Pellark.AppImage

package=$work/package.nupkg
head -c $((512 << 20)) /dev/urandom >"$package"
size=$(stat -c %s "$package")
digest=$(openssl dgst -sha256 -r "$package" | cut -c1-64)  # also warms the page cache
: >"$work/empty.nupkg"
empty="e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
warmup="{\"method\":\"prepare\",\"path\":\"$work/empty.nupkg\",\"release\":{\"artifact\":{\"byteLength\":0,\"sha256\":\"$empty\"}}}"
request="{\"method\":\"prepare\",\"path\":\"$package\",\"release\":{\"artifact\":{\"byteLength\":$size,\"sha256\":\"$digest\"}}}"

now() { date +%s%N; }
best_ours=0 best_ref=0 growth=0
for _ in 1 2 3; do
  t0=$(now); openssl dgst -sha256 "$package" >/dev/null; t1=$(now)
  ref=$((t1 - t0))
  t0=$(now); out=$("$bin/bench_channel" request "$warmup" "$request"); t1=$(now)
  ours=$((t1 - t0))
  [ "${out%%$'\t'*}" = '{"result":{}}' ] || { echo "channel.sh: prepare answered $out" >&2; exit 1; }
  kib=${out##*$'\t'}
  [ "$kib" -gt "$growth" ] && growth=$kib
  { [ "$best_ref" -eq 0 ] || [ "$ref" -lt "$best_ref" ]; } && best_ref=$ref
  { [ "$best_ours" -eq 0 ] || [ "$ours" -lt "$best_ours" ]; } && best_ours=$ours
done

read -r median_ns stat_ns < <("$bin/bench_channel" identity 5000)
[ -n "${stat_ns:-}" ] || { echo "channel.sh: identity failed" >&2; exit 1; }

ratio_row "prepare 512 MiB (warm cache)" "$(scaled "$best_ours" 1e9)" "$(scaled "$best_ref" 1e9)" s \
  "openssl dgst -sha256" "<=" 1.10
abs_row "identity, installed layout (median)" "$(scaled "$median_ns" 1e3)" "$(scaled "$stat_ns" 1e3)" \
  us "stat" "<=" 50
mem_row "prepare 512 MiB peak RSS growth" "$growth" 2048
