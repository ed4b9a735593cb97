#!/usr/bin/env bash
# Set-up, build, the demo product site on a free loopback port, and the
# program pointed at it. With a display the program opens its window; without
# one it runs offscreen and saves a screenshot.
#   scripts/run-demo.sh           the course from the demo site
#   scripts/run-demo.sh folder    the course from the build's copy, build/demo/copy
#   scripts/run-demo.sh zip       the course from build/demo/course.zip
#   scripts/run-demo.sh PATH      the course from any folder or .zip archive
# (with a copy, the program reads no course file from the demo site; the site
# still takes the uploads).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2

DEMO=${QUILLBY_DEMO_DIR:-$(mktemp -d /tmp/quillby-demo.XXXXXX)}
mkdir -p "$DEMO/uploads" "$DEMO/appdata" "$DEMO/work"
build/bin/demosite --root build/demo/site --store "$DEMO/uploads" --port 0 \
  --encoder build/bin/lame_enc.so > "$DEMO/site.log" 2>&1 &
SITE=$!
trap 'kill $SITE 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  PORT=$(sed -n 's|.*http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$DEMO/site.log" | head -n 1)
  [ -n "$PORT" ] && break
  sleep 0.1
done
[ -n "${PORT:-}" ] || { echo "demo site did not start:"; cat "$DEMO/site.log"; exit 1; }

export QUILLBY_BASE_URL="http://127.0.0.1:$PORT/"
case "${1:-}" in
  "") ;;
  folder) QUILLBY_BASE_URL="$ROOT/build/demo/copy" ;;
  zip) QUILLBY_BASE_URL="$ROOT/build/demo/course.zip" ;;
  *) QUILLBY_BASE_URL=$(realpath -m "$1") ;;
esac
export QUILLBY_UPLOAD_HOST="127.0.0.1:$PORT"
# The demo's cache, run log and recordings stay in the demo folder.
export APPDATA="$DEMO/appdata" WINDIR="$DEMO"
# Without a sound card or a sound server, record and play through a private
# PulseAudio server (its microphone hears silence; play a signal into it with
# PULSE_SERVER=... paplay -d micsrc FILE.wav).
if ! grep -q '[0-9]' /proc/asound/cards 2>/dev/null && [ -z "${PULSE_SERVER:-}" ] &&
  ! pactl info >/dev/null 2>&1; then
  PULSE_SERVER=$("$ROOT/tests/support/pulse-server.sh" start "$DEMO/pulse" $$)
  export PULSE_SERVER
  trap 'kill $SITE 2>/dev/null || true; "$ROOT/tests/support/pulse-server.sh" stop "$DEMO/pulse"' EXIT
  echo "sound through a private PulseAudio server: PULSE_SERVER=$PULSE_SERVER"
fi
echo "course from: $QUILLBY_BASE_URL (uploads listed at http://127.0.0.1:$PORT/uploads)"
cd "$DEMO/work"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  "$ROOT/build/bin/quillby"
else
  export QT_QPA_PLATFORM=offscreen QUILLBY_SCREENSHOT="$DEMO/screenshot.png"
  "$ROOT/build/bin/quillby"
  echo "no display: ran offscreen; screenshot saved to $DEMO/screenshot.png"
fi
