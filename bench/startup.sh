#!/usr/bin/env bash
# Start-up entry cost: median of one pellark_update_bootstrap call, in an installed layout
# without a hook argument and outside any installation. Reference column: the median of one
# stat(2) of the AppImage in the same run (a floor no start-up can beat); the targets are
# absolute, so "met" compares ours with the target.
set -euo pipefail
build=${1:-build}
bundle=${2:-$build/install}
. "$(dirname "$0")/common.bash"
bench_tool startup
updater_library
bench_work startup
bin="$work/mnt/usr/bin"
mkdir -p "$bin/lib" "$work/apps"
cp "$tool" "$bin/bench_startup"
cp "$lib" "$bin/lib/libpellark_updater.so"
printf '#!/bin/sh\nexit 0\n' >"$bin/UpdateNix"
printf '#!/bin/sh\nexit 0\n' >"$work/apps/Pellark.AppImage"
chmod 0755 "$bin/UpdateNix" "$work/apps/Pellark.AppImage"
cat >"$bin/sq.version" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<package><metadata><id>com.pellark.App</id><version>1.0.0</version><os>linux</os><machineArchitecture>x64</machineArchitecture></metadata></package>
XML

row() {  # figure ours_ns reference_ns target_us
  abs_row "$1" "$(scaled "$2" 1e3)" "$(scaled "$3" 1e3)" us stat "<=" "$4"
}

read -r ours ref < <(env -u VELOPACK_DEBUG APPIMAGE="$work/apps/Pellark.AppImage" \
  "$bin/bench_startup" "$bin/lib/libpellark_updater.so" 2000 "$work/apps/Pellark.AppImage")
[ -n "${ref:-}" ] && [ -d "$work/apps/.pellark-updates/bootstrap-empty" ] || { echo "startup.sh: bootstrap did not run" >&2; exit 1; }
row "bootstrap, installed, no hook argument (median)" "$ours" "$ref" 1000

read -r ours ref < <(env -u APPIMAGE -u VELOPACK_DEBUG \
  "$tool" "$lib" 20000 "$work/apps/Pellark.AppImage")
[ -n "${ref:-}" ] || { echo "startup.sh: bench_startup failed" >&2; exit 1; }
row "bootstrap, outside an installation (median)" "$ours" "$ref" 50
