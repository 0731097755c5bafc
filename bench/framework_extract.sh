#!/usr/bin/env bash
# Package extraction: extract_entry of a 512 MiB incompressible entry, stored and DEFLATE, against
# `cp` and `unzip -p` of the same bytes on the same file system in the same run (best of three,
# wall time, page cache warm, dirty pages flushed before each run); and the peak resident memory
# growth while extracting (absolute target).
set -euo pipefail
build=${1:-build}
tool="$build/bench/bench_extract"
[ -x "$tool" ] || { echo "framework_extract.sh: $tool is not built" >&2; exit 1; }
tool=$(realpath "$tool")
for cmd in zip unzip python3; do
  command -v "$cmd" >/dev/null || { echo "framework_extract.sh: $cmd is missing" >&2; exit 1; }
done

work=$(mktemp -d /var/tmp/pellark-bench-extract.XXXXXX)
trap 'rm -rf "$work"' EXIT
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

for _ in 1 2 3; do
  timed cp cp Pellark.AppImage out
  timed stored ours stored.zip
  track_peak
  timed unzip sh -c 'unzip -p deflate.zip Pellark.AppImage >out'
  timed deflate ours deflate.zip
  track_peak
done

ratio_row() {  # figure ours_ns ref_ns refname op target
  awk -v f="$1" -v o="$2" -v r="$3" -v n="$4" -v op="$5" -v t="$6" 'BEGIN {
    q = o / r
    met = (op == "<=" ? q <= t : q < t) ? "yes" : "no"
    printf "%s\t%.3f s\t%.3f s (%s)\t%.2f\t%s %s\t%s\n", f, o / 1e9, r / 1e9, n, q, op, t, met }'
}
ratio_row "extract_entry 512 MiB stored" "${best[stored]}" "${best[cp]}" "cp" "<=" 1.25
ratio_row "extract_entry 512 MiB DEFLATE" "${best[deflate]}" "${best[unzip]}" "unzip -p" "<" 1
awk -v k="$peak_kib" 'BEGIN {
  printf "extract_entry peak RSS growth (512 MiB)\t%d KiB\t4096 KiB (target)\t%.3f\t<= 4 MiB\t%s\n",
    k, k / 4096, (k <= 4096 ? "yes" : "no") }'
