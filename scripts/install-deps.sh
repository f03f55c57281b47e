#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing
# when all of them are present.
set -euo pipefail

packages=(
  g++ cmake ninja-build make pkg-config
  qt6-base-dev qt6-qpa-plugins libssl-dev openssl
  libgtest-dev libbenchmark-dev libxxhash-dev
  python3 fonts-droid-fallback
  xvfb x11-utils xdotool imagemagick trayer
  tin slrn neomutt tmux
  clang-14 libclang-rt-14-dev
  dpkg-dev lintian systemd iproute2 adduser
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
