#!/usr/bin/env bash
# Install figures: "install" of a 512 MiB package with a stored payload, from the call to the
# relaunch, against `openssl dgst -sha256` plus `cp` of the same bytes plus `sync -d` of the copy,
# on the same file system in the same run (best of five, page cache warm, dirty pages flushed
# before each run); and the peak resident memory the install adds (absolute target).
# The install also fsyncs the new AppImage, so the reference syncs its copy too. Beyond the
# reference, the install checks the CRC-32 in user space, where cp copies inside the kernel.
set -euo pipefail
build=${1:-build}
bundle=${2:-$build/install}
packaging=$(cd "$(dirname "$0")/../packaging" && pwd)
. "$(dirname "$0")/common.bash"
bench_tool install
updater_library
bench_work install
bin=$work/mnt/usr/bin
mkdir -p "$bin/lib" "$work/apps"
cp "$tool" "$bin/bench_install"
cp "$lib" "$bin/lib/"
printf '#!/bin/sh\nexit 0\n' >"$bin/UpdateNix"
printf '<package><metadata><id>com.pellark.Bench</id><version>1.0.0</version><os>linux</os><machineArchitecture>x64</machineArchitecture></metadata></package>' \
  >"$bin/sq.version"
installed=$work/apps/Pellark.AppImage
old=$work/old.AppImage
printf '#!/bin/sh\nexit 0\n# 1.0.0\n' >"$old"
chmod 0755 "$old"
export APPIMAGE=$installed

# The new "AppImage" exits at once when started; the bytes after its script are incompressible.
payload=$work/Pellark-1.1.0.AppImage
{ printf '#!/bin/sh\nexit 0\n'; head -c $(((512 << 20) - 17)) /dev/urandom; } >"$payload"
descriptor=$("$packaging/pack-release" --appimage "$payload" --id com.pellark.Bench \
  --version 1.1.0 --os linux --arch x64 --output-dir "$work")
package=$work/com.pellark.Bench-1.1.0-full.nupkg
rm -f "$payload"
request="{\"method\":\"install\",${descriptor#\{}"
warmup='{"method":"identity"}'
cat "$package" >/dev/null

now() { date +%s%N; }
best_ours=0 best_ref=0 growth=0
for _ in 1 2 3 4 5; do
  rm -f "$work/copy"
  sync
  t0=$(now)
  openssl dgst -sha256 "$package" >/dev/null
  cp "$package" "$work/copy"
  sync -d "$work/copy"
  t1=$(now)
  ref=$((t1 - t0))
  rm -f "$work/copy"

  cp "$old" "$installed.new" && mv "$installed.new" "$installed"
  sync
  out=$("$bin/bench_install" "$warmup" "$request")
  ours=${out%%$'\t'*}
  kib=${out##*$'\t'}
  cmp -s -n 17 "$installed" <(printf '#!/bin/sh\nexit 0\n') ||
    { echo "install.sh: the new AppImage is not in place" >&2; exit 1; }
  [ "$kib" -gt "$growth" ] && growth=$kib
  { [ "$best_ref" -eq 0 ] || [ "$ref" -lt "$best_ref" ]; } && best_ref=$ref
  { [ "$best_ours" -eq 0 ] || [ "$ours" -lt "$best_ours" ]; } && best_ours=$ours
done

ratio_row "install 512 MiB stored, up to the relaunch" "$(scaled "$best_ours" 1e9)" \
  "$(scaled "$best_ref" 1e9)" s "openssl dgst -sha256 + cp + sync -d" "<=" 1.15
mem_row "install 512 MiB peak RSS growth" "$growth" 4096
