#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need: only the missing ones,
# non-interactively. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtk-3-dev libgtk-3-bin nlohmann-json3-dev libexpat1-dev libzip-dev zlib1g-dev libssl-dev openssl
  googletest libgtest-dev libgmock-dev
  python3 zip unzip bzip2 binutils file
  squashfs-tools squashfuse fuse3
  xvfb openbox x11-utils xdotool imagemagick dbus-daemon
  libx11-dev
  clang libclang-rt-14-dev clang-16 libclang-rt-16-dev
  # A second, independent JSON parser: the request_json fuzz target checks ours against it.
  rapidjson-dev
  # exFAT through FUSE, for the file-system tests: a file system without hard links.
  exfat-fuse
  exfatprogs
  # Watches which descriptors the library opens, in the descriptor-hygiene test.
  strace
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: these Debian packages are missing: ${missing[*]}" >&2
  echo "install-deps: run as root (or: sudo apt-get install ${missing[*]})" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
