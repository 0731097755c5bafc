#!/usr/bin/env bash
# Package extraction: extract_entry of a 512 MiB incompressible entry, stored and DEFLATE, against
# references on the same bytes on the same file system in the same run (best of five, wall time,
# page cache warm, dirty pages flushed before each run); and the peak resident memory growth while
# extracting (absolute target).
# The stored reference is the least the extraction must do: a copy through one 64000-byte buffer
# with a CRC-32 of every chunk (bench_copy_crc). The DEFLATE reference is `unzip -p`.
set -euo pipefail
build=${1:-build}
for cmd in zip unzip python3; do
  command -v "$cmd" >/dev/null || { echo "framework_extract.sh: $cmd is missing" >&2; exit 1; }
done

. "$(dirname "$0")/common.bash"
bench_tool copy_crc
reference=$tool
bench_tool extract
bench_work extract
cd "$work"
head -c 512M /dev/urandom >Pellark.AppImage
printf '<package><metadata><id>com.pellark.App</id><version>2.0.0</version></metadata></package>\n' \
  >app.nuspec
zip -q -X -0 stored.zip app.nuspec Pellark.AppImage
# Info-ZIP would store incompressible data; zipfile keeps the DEFLATE method.
python3 - <<'PY'
import zipfile
with zipfile.ZipFile("deflate.zip", "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
    z.write("app.nuspec")
    z.write("Pellark.AppImage")
PY

now_ns() { date +%s%N; }
declare -A best  # per label: best wall time in ns
peak_kib=0
timed() {  # label command...
  local label=$1 start end
  shift
  rm -f out
  sync
  start=$(now_ns)
  "$@" >"$work/last"
  end=$(now_ns)
  local t=$((end - start))
  if [ -z "${best[$label]:-}" ] || [ "$t" -lt "${best[$label]}" ]; then best[$label]=$t; fi
  cmp -s out Pellark.AppImage || { echo "framework_extract.sh: $label wrote wrong bytes" >&2; exit 1; }
}
ours() {  # archive
  "$tool" "$1" Pellark.AppImage out
}
track_peak() {
  local kib
  kib=$(awk '{print $2}' "$work/last")
  [ "$kib" -gt "$peak_kib" ] && peak_kib=$kib
  return 0
}

for _ in 1 2 3 4 5; do
  timed copy_crc "$reference" Pellark.AppImage out
  timed stored ours stored.zip
  track_peak
  timed unzip sh -c 'unzip -p deflate.zip Pellark.AppImage >out'
  timed deflate ours deflate.zip
  track_peak
done

ratio_row "extract_entry 512 MiB stored" "$(scaled "${best[stored]}" 1e9)" \
  "$(scaled "${best[copy_crc]}" 1e9)" s "64000-byte copy + CRC-32" "<=" 1.25
ratio_row "extract_entry 512 MiB DEFLATE" "$(scaled "${best[deflate]}" 1e9)" \
  "$(scaled "${best[unzip]}" 1e9)" s "unzip -p" "<" 1
mem_row "extract_entry 512 MiB peak RSS growth" "$peak_kib" 4096
