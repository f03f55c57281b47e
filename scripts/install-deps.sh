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
  tin slrn neomutt tmux strace
  clang-14 libclang-rt-14-dev
  dpkg-dev lintian systemd iproute2 adduser
  inn2
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
others=()
for p in "${missing[@]}"; do [ "$p" = inn2 ] || others+=("$p"); done
if [ ${#others[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${others[@]}"
fi
[ ${#others[@]} -eq ${#missing[@]} ] && exit 0

# INN is here only as a peer that the tests and benchmarks run privately, on
# ports of their own. Its configuration step gives up on a machine whose
# host name has no domain (a container's, say): it is then run again with an
# inn.conf that names one, given through INNCONF, so that no file of the
# system's INN is changed. The system instance that the installation may
# start is stopped and disabled: nobody asked for a news server on port 119.
inn_configured() {
  dpkg-query -W -f='${Status}' inn2 2>/dev/null | grep -q "install ok installed"
}
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends inn2 ||
  inn_configured || true
if ! inn_configured; then
  conf=$(mktemp)
  { cat /etc/news/inn.conf; echo "domain: invalid"; } >"$conf"
  chmod 644 "$conf"
  $SUDO env INNCONF="$conf" DEBIAN_FRONTEND=noninteractive dpkg --configure inn2 || true
  rm -f "$conf"
  if ! inn_configured; then
    echo "inn2 could not be configured" >&2
    exit 1
  fi
fi
if [ -d /run/systemd/system ]; then
  $SUDO systemctl disable --now inn2.service >/dev/null 2>&1 || true
else
  $SUDO invoke-rc.d inn2 stop >/dev/null 2>&1 || true
  $SUDO update-rc.d inn2 disable >/dev/null 2>&1 || true
  $SUDO systemctl disable inn2.service >/dev/null 2>&1 || true
fi
