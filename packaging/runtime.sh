#!/bin/sh
# Pellark AppImage runtime. This script is padded to a fixed size and followed by a squashfs
# image: it mounts the image read-only with squashfuse at a fresh /tmp/.mount_XXXXXX, runs AppRun
# with APPIMAGE, APPDIR and ARGV0 set, unmounts when AppRun ends and exits with its status. Where
# FUSE cannot mount (or APPIMAGE_EXTRACT_AND_RUN=1), the image is extracted to a temporary
# directory instead and removed afterwards.
offset=@OFFSET@

case $0 in
/*) self=$0 ;;
*) self=$PWD/$0 ;;
esac
if command -v readlink >/dev/null 2>&1; then
  resolved=$(readlink -f -- "$self") && self=$resolved
fi

mnt=
extracted=
cleanup() {
  if [ -n "$mnt" ]; then
    fusermount3 -u "$mnt" 2>/dev/null || fusermount -u "$mnt" 2>/dev/null ||
      fusermount3 -uz "$mnt" 2>/dev/null || fusermount -uz "$mnt" 2>/dev/null
    rmdir "$mnt" 2>/dev/null
    mnt=
  fi
  if [ -n "$extracted" ]; then
    rm -rf "$extracted"
    extracted=
  fi
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

appdir=
if [ "${APPIMAGE_EXTRACT_AND_RUN:-}" != 1 ] && command -v squashfuse >/dev/null 2>&1; then
  mnt=$(mktemp -d /tmp/.mount_XXXXXX) || exit 127
  if squashfuse -o ro,offset="$offset" "$self" "$mnt" 2>/dev/null; then
    appdir=$mnt
  else
    rmdir "$mnt" 2>/dev/null
    mnt=
  fi
fi
if [ -z "$appdir" ]; then
  extracted=$(mktemp -d "${TMPDIR:-/tmp}/.extract_XXXXXX") || exit 127
  unsquashfs -q -n -o "$offset" -d "$extracted/root" "$self" >/dev/null 2>&1 || exit 127
  appdir=$extracted/root
fi

APPIMAGE=$self APPDIR=$appdir ARGV0=$0 "$appdir/AppRun" "$@"
status=$?
exit $status
