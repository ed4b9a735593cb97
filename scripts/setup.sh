#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Safe to run again; needs root (or sudo).
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

PACKAGES=(
  build-essential cmake pkg-config git ca-certificates
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libcpp-httplib-dev curl
  libxml2-dev libzip-dev
  libasound2-dev alsa-utils
  pulseaudio pulseaudio-utils libasound2-plugins espeak-ng
  libmp3lame-dev lame libmpg123-dev mpg123 sox
  zlib1g-dev libpng-dev
  libcairo2-dev fonts-dejavu-core
  qt6-base-dev qt6-webengine-dev
  fonts-wqy-microhei
  haxe
  xvfb xauth
  wrk nginx-light
  squid
  desktop-file-utils debootstrap bubblewrap
  clang-14 libclang-rt-14-dev
)
# The machine's Node.js may come with its own npm; Debian's only when absent.
command -v npm >/dev/null 2>&1 || PACKAGES+=(nodejs npm)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
  # The proxy tests start squid themselves; the system service the package
  # starts under systemd is not wanted.
  if [[ " ${missing[*]} " == *" squid "* ]] && [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now squid || true
  fi
fi

# The Flash player (Ruffle) and the end-to-end test's DevTools client from
# npm, at the versions package-lock.json pins; again whenever the lock changes.
cd "$(dirname "$0")/.."
if [ ! -f node_modules/@ruffle-rs/ruffle/ruffle.js ] || [ ! -f node_modules/.package-lock.json ] ||
  [ package-lock.json -nt node_modules/.package-lock.json ]; then
  echo "setup: installing the Flash player and the test client from npm"
  if [ -f package-lock.json ]; then npm ci --no-audit --no-fund; else npm install --no-audit --no-fund; fi
fi
