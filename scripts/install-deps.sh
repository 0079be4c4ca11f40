#!/usr/bin/env bash
# Installs every Debian package the project needs to build, run and test.
# Safe to run again: it installs only what is missing. Works as root, or with sudo.
set -euo pipefail

packages=(
  # build
  g++ meson ninja-build pkg-config python3-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
  libcurl4-openssl-dev libfmt-dev libgtest-dev
  # runtime plugins
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
  gstreamer1.0-nice gstreamer1.0-x
  # test peers
  python3-venv python3-pip
  ffmpeg libgstrtspserver-1.0-dev xvfb iproute2 openssl ca-certificates python3-gi gir1.2-gstreamer-1.0
  gir1.2-gst-plugins-base-1.0 util-linux
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

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
