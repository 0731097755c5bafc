#!/usr/bin/env bash
# The whole update cycle as a newcomer sees it: package Pellark 1.0.0 and a 1.1.0 release, install
# 1.0.0 into a temporary folder, start it (on the current display, or on a private Xvfb with
# openbox when there is none) and let the stand-in UI program update it through the request
# channel. Every step must succeed or the demo exits non-zero.
#
#   scripts/demo.sh [--short] BUILD BUNDLE
#
# --short (or PELLARK_DEMO_SHORT=1): no screenshots, short pauses, always a private X server;
# what ctest runs. PELLARK_DEMO_XVFB=1 uses a private X server even when a display is there.
# PELLARK_DEMO_KEEP=1 keeps the temporary folder for inspection.
set -uo pipefail

short=${PELLARK_DEMO_SHORT:-0}
if [ "${1:-}" = "--short" ]; then
  short=1
  shift
fi
if [ $# -ne 2 ]; then
  echo "usage: scripts/demo.sh [--short] BUILD BUNDLE" >&2
  exit 2
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
# From BUILD only the AppImage runtime is taken: the rest is in the bundle and under packaging/.
[ -d "$1" ] || { echo "demo: no build directory $1" >&2; exit 1; }
runtime=$(cd "$1" && pwd)/pellark-appimage-runtime
bundle=$(cd "$2" 2>/dev/null && pwd) || { echo "demo: no bundle directory $2 (run make demo)" >&2; exit 1; }
out=${PELLARK_DEMO_OUT:-$repo/out/demo}
old_version=1.0.0
new_version=1.1.0
started=$SECONDS

work=$(mktemp -d /tmp/pellark-demo.XXXXXX)
apps=$work/Applications
installed=$apps/Pellark.AppImage
report=$work/ui-report
log=$work/app.log
: >"$log"

xvfb_pid=
wm_pid=
app_pgid=
mounts_file=$work/mounts
: >"$mounts_file"
log_shown=0
quiet=0
step_no=0

say() { printf 'demo: %s\n' "$*"; }
step() {
  step_no=$((step_no + 1))
  printf 'demo: [%d] %s\n' "$step_no" "$*"
}
fail() {
  show_log
  printf 'demo: FAILED: %s\n' "$*" >&2
  exit 1
}

# Prints what the application wrote since the last call, indented under the current step.
show_log() {
  local total
  total=$(wc -l <"$log")
  if [ "$total" -gt "$log_shown" ]; then
    sed -n "$((log_shown + 1)),${total}p" "$log" | sed 's/^/       | /'
    log_shown=$total
  fi
}

# Processes of the application: the session started for it holds the AppImage runtime, the app,
# and the relaunched AppImage with its own runtime.
app_pids() {
  [ -n "$app_pgid" ] || return 0
  local stat rest
  for stat in /proc/[0-9]*/stat; do
    # The session id is the 4th field after the parenthesised command name.
    read -r rest 2>/dev/null <"$stat" || continue
    rest=${rest##*) }
    set -- $rest
    [ "${4:-}" = "$app_pgid" ] && { stat=${stat#/proc/}; echo "${stat%/stat}"; }
  done
  return 0
}

# Remembers every mount point our AppImage runtimes use, read from their own environment, so that
# cleanup unmounts exactly those and nothing of anyone else's.
note_mounts() {
  local pid dir
  for pid in $(app_pids); do
    dir=$(tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | sed -n 's/^APPDIR=//p' | head -n 1)
    if [ -n "$dir" ] && ! grep -qxF "$dir" "$mounts_file"; then
      echo "$dir" >>"$mounts_file"
    fi
  done
}

is_mounted() {
  awk -v d="$1" '$2 == d { found = 1 } END { exit !found }' /proc/self/mounts
}

stop_group() {
  local pids pid
  pids=$(app_pids)
  [ -n "$pids" ] || return 0
  # The app first, so each runtime sees its child end and unmounts by itself.
  for pid in $pids; do
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = pellark_app ] && kill -INT "$pid" 2>/dev/null
  done
  for _ in $(seq 30); do
    [ -n "$(app_pids)" ] || return 0
    sleep 0.1
  done
  for pid in $(app_pids); do kill -TERM "$pid" 2>/dev/null; done
  sleep 0.5
  for pid in $(app_pids); do kill -KILL "$pid" 2>/dev/null; done
}

cleanup() {
  local status=$? dir
  trap - EXIT INT TERM
  note_mounts
  stop_group
  while read -r dir; do
    [ -n "$dir" ] || continue
    if is_mounted "$dir"; then
      fusermount3 -u "$dir" 2>/dev/null || fusermount3 -uz "$dir" 2>/dev/null
    fi
    # A mount point or an extracted tree left by a killed runtime.
    case $dir in
      /tmp/.mount_*) is_mounted "$dir" || rmdir "$dir" 2>/dev/null ;;
      */.extract_*/root) rm -rf "${dir%/root}" ;;
    esac
  done <"$mounts_file"
  [ -n "$wm_pid" ] && kill -TERM "$wm_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill -TERM "$xvfb_pid" 2>/dev/null
  [ -n "$wm_pid" ] && wait "$wm_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && wait "$xvfb_pid" 2>/dev/null
  if [ "${PELLARK_DEMO_KEEP:-0}" = 1 ]; then
    say "kept $work"
  else
    rm -rf "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to $1 seconds for the command in the remaining arguments to succeed, showing the
# application's output meanwhile.
wait_for() {
  local limit=$1 deadline
  shift
  deadline=$((SECONDS + limit))
  until "$@"; do
    note_mounts
    [ "$quiet" = 1 ] || show_log
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
  note_mounts
  [ "$quiet" = 1 ] || show_log
}

report_value() {
  [ -f "$report" ] && sed -n "s/^$1=//p" "$report" | tail -n 1
}
# The report holds the identity answer the window shows, e.g. identity={"result":{...}}.
report_shows() {
  case $(report_value identity) in
    *"\"version\":\"$1\""*) return 0 ;;
  esac
  return 1
}
log_has() {
  grep -qF -- "$1" "$log"
}

# The visible window of the running pellark_app, by its _NET_WM_PID.
app_window() {
  local pid
  for pid in $(app_pids); do
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = pellark_app ] || continue
    DISPLAY=$display xdotool search --onlyvisible --pid "$pid" 2>/dev/null | head -n 1
  done
}

has_window() {
  [ -n "$(app_window)" ]
}

# Only the Pellark window with its frame, never the rest of a desktop. No time chunks, so that
# an unchanged window gives the same file.
screenshot() {
  [ "$short" = 1 ] && return 0
  local window
  mkdir -p "$out"
  wait_for 10 has_window || true
  window=$(app_window)
  [ -n "$window" ] || fail "no Pellark window to take a screenshot of"
  # Let the window manager finish mapping and the first frame reach the screen.
  sleep 0.5
  import -display "$display" -frame -window "$window" -define png:exclude-chunks=date,time \
    "$out/$1" 2>/dev/null || fail "screenshot $1"
  say "     screenshot $out/$1"
}

for tool in make-appimage pack-release; do
  [ -x "$repo/packaging/$tool" ] || fail "packaging/$tool is missing"
done
for need in "$bundle/pellark_app" "$bundle/lib/libpellark_updater.so" "$runtime"; do
  [ -e "$need" ] || fail "$need is missing (run make demo)"
done
for cmd in Xvfb openbox xprop fusermount3 import xdotool setsid; do
  command -v "$cmd" >/dev/null || fail "$cmd is not installed (scripts/install-deps.sh)"
done

step "make the Pellark $old_version AppImage"
mkdir -p "$work/release" "$apps"
"$repo/packaging/make-appimage" --bundle "$bundle" --runtime "$runtime" --version "$old_version" \
  --output "$work/release/Pellark-$old_version.AppImage" >"$work/make-old.log" 2>&1 ||
  { cat "$work/make-old.log" >&2; fail "make-appimage $old_version"; }
say "     $work/release/Pellark-$old_version.AppImage"

step "make the Pellark $new_version AppImage and its release package"
"$repo/packaging/make-appimage" --bundle "$bundle" --runtime "$runtime" --version "$new_version" \
  --output "$work/release/Pellark-$new_version.AppImage" >"$work/make-new.log" 2>&1 ||
  { cat "$work/make-new.log" >&2; fail "make-appimage $new_version"; }
"$repo/packaging/pack-release" --appimage "$work/release/Pellark-$new_version.AppImage" \
  --output-dir "$work/release" >"$work/descriptor.json" 2>"$work/pack.log" ||
  { cat "$work/pack.log" >&2; fail "pack-release $new_version"; }
descriptor=$(tr -d '\n' <"$work/descriptor.json")
printf '[%s]\n' "$descriptor" >"$work/releases.json"
say "     descriptor $descriptor"

step "install $old_version into $apps"
cp "$work/release/Pellark-$old_version.AppImage" "$installed" || fail "copy the AppImage"
chmod 0755 "$installed" || fail "chmod the AppImage"

if [ "$short" != 1 ] && [ "${PELLARK_DEMO_XVFB:-0}" != 1 ] && [ -n "${DISPLAY:-}" ] &&
  xprop -root >/dev/null 2>&1; then
  step "use the current display"
  display=$DISPLAY
else
  step "start a private X server with openbox"
  exec 3>"$work/display"
  Xvfb -displayfd 3 -screen 0 1400x900x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  exec 3>&-
  wait_for 10 test -s "$work/display" || fail "Xvfb did not start"
  display=:$(head -n 1 "$work/display")
  DISPLAY=$display openbox --sm-disable >"$work/openbox.log" 2>&1 &
  wm_pid=$!
  wait_for 10 sh -c "DISPLAY=$display xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window" ||
    fail "openbox did not start"
fi
say "     display $display"

step "start Pellark $old_version (the UI program updates it from the local feed)"
delay=${PELLARK_DEMO_DELAY_MS:-$([ "$short" = 1 ] && echo 300 || echo 2500)}
(
  cd "$work" || exit 1
  unset APPIMAGE APPDIR ARGV0 VELOPACK_DEBUG
  export DISPLAY=$display GDK_BACKEND=x11 NO_AT_BRIDGE=1
  export PELLARK_RELEASE_FEED=$work/releases.json PELLARK_UI_REPORT=$report
  export PELLARK_DEMO_DELAY_MS=$delay
  exec setsid "$installed" >>"$log" 2>&1 </dev/null
) &
app_pid=$!
app_pgid=$app_pid
# Its exchanges are shown under the next step.
quiet=1
wait_for 30 report_shows "$old_version" || fail "Pellark $old_version did not show its first frame"
quiet=0
say "     the window shows the identity answer $(report_value identity)"
screenshot before.png

step "the UI program sends identity, reads the release feed, sends prepare and install"
# The UI program prints a status line only when it stops without installing. The relaunched one
# prints its own after its identity request, so only a status before that one counts here.
old_ui_status() {
  awk '/^ui: request \{"method":"identity"\}/ { if (++n == 2) exit }
       n == 1 && sub(/^ui: status /, "") { print; exit }' "$log"
}
stopped() {
  ! kill -0 "$app_pid" 2>/dev/null || [ -n "$(old_ui_status)" ]
}
wait_for 60 stopped || fail "Pellark $old_version did not exit"
stopped_with=$(old_ui_status)
[ -z "$stopped_with" ] || fail "Pellark $old_version did not install $new_version: $stopped_with"
wait "$app_pid"
old_status=$?
[ "$old_status" -eq 0 ] || fail "Pellark $old_version exited with status $old_status"
say "     no answer to install: Pellark $old_version started the new AppImage and exited with status 0"

step "the relaunched AppImage shows its identity"
wait_for 30 report_shows "$new_version" || fail "the relaunched AppImage did not show $new_version"
# Its own update cycle finds nothing newer and says so on its output; then it is settled.
wait_for 30 log_has "ui: status up to date" || fail "the relaunched AppImage did not finish its check"
new_identity=$(report_value identity)
say "     the window shows the identity answer $new_identity"
case $new_identity in
  *"\"version\":\"$new_version\""*) ;;
  *) fail "identity answer does not name $new_version" ;;
esac
screenshot after.png

step "check what the install left on disk"
cmp -s "$installed" "$work/release/Pellark-$new_version.AppImage" ||
  fail "$installed is not the $new_version AppImage"
[ "$(stat -c %a "$installed")" = 755 ] || fail "$installed has mode $(stat -c %a "$installed")"
[ -d "$apps/.pellark-updates/VelopackTemp" ] || fail "VelopackTemp is missing"
leftover=$(find "$apps/.pellark-updates/VelopackTemp" -mindepth 1 -maxdepth 1 -name 'tmp_*' | head -n 1)
[ -z "$leftover" ] || fail "work directory $leftover was left behind"
[ -f "$work/release/Pellark-$new_version-full.nupkg" ] || fail "the downloaded package is gone"
for entry in pellark-install.lock bootstrap-empty; do
  [ -e "$apps/.pellark-updates/$entry" ] || fail ".pellark-updates/$entry is missing"
done
[ "$(stat -c %a "$apps/.pellark-updates")" = 700 ] || fail ".pellark-updates is not private"
say "     $installed is $new_version (mode 0755); no work directory left"
(cd "$apps" && find .pellark-updates -printf '%M %p\n' | sort -k2) | sed 's/^/       /'

step "close Pellark $new_version and clean up"
note_mounts
stop_group
show_log
while read -r dir; do
  if is_mounted "$dir"; then
    fusermount3 -u "$dir" 2>/dev/null || fail "could not unmount $dir"
  fi
done <"$mounts_file"
[ -z "$(app_pids)" ] || fail "processes of Pellark are still running: $(app_pids | tr '\n' ' ')"
say "     no Pellark process and none of its $(grep -c . "$mounts_file") mounts left"

elapsed=$((SECONDS - started))
if [ "$short" = 1 ]; then
  say "updated Pellark $old_version → $new_version in ${elapsed} s"
else
  say "updated Pellark $old_version → $new_version in ${elapsed} s (screenshots: $out/before.png, $out/after.png)"
fi
