#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Safe to run again; needs root (or sudo).
#   scripts/setup.sh                 everything, and the npm packages
#   scripts/setup.sh package-build   only what building the Debian package needs
#   scripts/setup.sh package-check   only Debian's checks of the package
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# The program, its encoder and socket libraries, and the package (CPack
# reads the installed files' types with file(1) to find their libraries).
PACKAGE_BUILD=(
  build-essential cmake pkg-config ca-certificates ccache file
  libcurl4-openssl-dev libxml2-dev libzip-dev zlib1g-dev
  libasound2-dev libmp3lame-dev libcairo2-dev
  qt6-base-dev qt6-webengine-dev
)
# Debian's own checks of the package.
PACKAGE_CHECK=(lintian desktop-file-utils appstream)
# The tests, the demo, the benchmarks and the package test's Debian roots.
PACKAGES=(
  "${PACKAGE_BUILD[@]}" "${PACKAGE_CHECK[@]}"
  git googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcpp-httplib-dev curl
  alsa-utils pulseaudio pulseaudio-utils libasound2-plugins espeak-ng
  lame libmpg123-dev mpg123 sox
  libpng-dev fonts-dejavu-core
  fonts-wqy-microhei
  haxe
  xvfb xauth
  wrk nginx-light
  squid
  debootstrap bubblewrap
  clang-14 libclang-rt-14-dev
)
case ${1:-} in
  package-build) PACKAGES=("${PACKAGE_BUILD[@]}") ;;
  package-check) PACKAGES=("${PACKAGE_CHECK[@]}") ;;
  "")
    # The machine's Node.js may come with its own npm; Debian's only when absent.
    command -v npm >/dev/null 2>&1 || PACKAGES+=(nodejs npm)
    ;;
  *)
    echo "usage: scripts/setup.sh [package-build | package-check]" >&2
    exit 2
    ;;
esac

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
[ -z "${1:-}" ] || exit 0

# The Flash player (Ruffle) and the end-to-end test's DevTools client from
# npm, at the versions package-lock.json pins; again whenever the lock changes.
cd "$(dirname "$0")/.."
if [ ! -f node_modules/@ruffle-rs/ruffle/ruffle.js ] || [ ! -f node_modules/.package-lock.json ] ||
  [ package-lock.json -nt node_modules/.package-lock.json ]; then
  echo "setup: installing the Flash player and the test client from npm"
  if [ -f package-lock.json ]; then npm ci --no-audit --no-fund; else npm install --no-audit --no-fund; fi
fi
