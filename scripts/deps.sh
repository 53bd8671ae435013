#!/usr/bin/env bash
# Installs what building, running and testing the installer needs on a
# fresh Debian machine (as root, or through sudo).
set -euo pipefail
packages=(build-essential cmake pkg-config libgtk2.0-dev libgtk2.0-common libgail-common zlib1g-dev libgtest-dev libgmock-dev
          xvfb xauth xdotool x11-utils imagemagick fonts-dejavu-core procps gzip tar
          clang libclang-rt-dev man-db groff-base ansible-core libisal-dev
          zopfli p7zip-full libsodium-dev minisign bindfs fuse3 dosfstools
          at-spi2-core libatk-adaptor python3-pyatspi dbus-daemon
          isal libarchive-tools unzip zip e2fsprogs strace)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
