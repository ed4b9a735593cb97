#!/usr/bin/env bash
# A private PulseAudio server without a sound card, for tests:
#   pulse-server.sh start DIR [PID]   start it with its state in DIR (created);
#                                     prints the PULSE_SERVER value for clients;
#                                     with PID, it also stops once that process
#                                     has ended (a test that crashed)
#   pulse-server.sh stop DIR          stop it and wait until it has gone
# Sinks: "speaker" (the default sink; record what is played with parec -d
# speaker.monitor) and "micsrc", whose monitor is remapped into the source
# "mic" (the default source; play a signal into it with paplay -d micsrc).
# No kernel module, no D-Bus, nothing outside DIR; runs as root and as any user.
set -euo pipefail

usage() {
  echo "usage: $0 start DIR [PID] | stop DIR" >&2
  exit 2
}
{ [ $# -eq 2 ] || { [ $# -eq 3 ] && [ "$1" = start ]; }; } && { [ "$1" = start ] || [ "$1" = stop ]; } || usage
cmd=$1
owner=${3:-}
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
[ "$cmd" = start ] && mkdir -p "$2"
[ -d "$2" ] || exit 0 # nothing to stop
dir=$(cd "$2" && pwd)
socket=$dir/native
pidfile=$dir/runtime/pulse/pid

# Everything the server and its clients would keep under HOME goes to DIR;
# pactl's output is read below, so in the C locale.
server_env() {
  env -u DBUS_SESSION_BUS_ADDRESS -u PULSE_RUNTIME_PATH -u PULSE_STATE_PATH LC_ALL=C \
    HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" XDG_CONFIG_HOME="$dir/config" \
    XDG_STATE_HOME="$dir/state" PULSE_SERVER="unix:$socket" "$@"
}

answers() { server_env pactl info >/dev/null 2>&1; }

case $cmd in
  start)
    if [ ${#socket} -ge 100 ]; then
      echo "pulse-server: $socket is too long for a socket path" >&2
      exit 1
    fi
    mkdir -p "$dir/home" "$dir/runtime" "$dir/config" "$dir/state"
    chmod 700 "$dir/runtime"
    cat >"$dir/server.pa" <<PA
load-module module-null-sink sink_name=speaker sink_properties=device.description=Speaker
load-module module-null-sink sink_name=micsrc sink_properties=device.description=Microphone-signal
load-module module-remap-source source_name=mic master=micsrc.monitor channels=1 source_properties=device.description=Microphone
set-default-sink speaker
set-default-source mic
# An idle null sink renders two seconds ahead, so a stream that starts on its
# monitor waits up to that long for data; a consumer asking for 30 ms keeps
# both paced the way a card's source and sink are.
load-module module-null-sink sink_name=pacer sink_properties=device.description=Pacer
load-module module-loopback source=micsrc.monitor sink=pacer latency_msec=30 source_dont_move=true sink_dont_move=true
load-module module-loopback source=speaker.monitor sink=pacer latency_msec=30 source_dont_move=true sink_dont_move=true
load-module module-native-protocol-unix auth-anonymous=1 socket=$socket
PA
    # As root the server warns that it is meant to run as a user; it runs all the same.
    server_env pulseaudio --daemonize=yes --use-pid-file=yes --exit-idle-time=-1 --realtime=no \
      --high-priority=no --disable-shm=yes -n -F "$dir/server.pa" --log-target="file:$dir/server.log" \
      >>"$dir/start.log" 2>&1 || {
      echo "pulse-server: the server did not start; $dir/server.log says:" >&2
      tail -n 20 "$dir/server.log" >&2 2>/dev/null || true
      exit 1
    }
    # Ready once it answers and the two null sinks no longer run ahead.
    for _ in $(seq 100); do
      if answers && [ "$(server_env pactl list sinks 2>/dev/null | awk '
          /Name: (speaker|micsrc)$/ { mine = 1 }
          mine && /Latency:/ { if ($2 < 50000) paced++; mine = 0 }
          END { print paced + 0 }')" = 2 ]; then
        if [ -n "$owner" ]; then
          setsid bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done; exec "$2" stop "$3"' \
            watchdog "$owner" "$self" "$dir" </dev/null >/dev/null 2>&1 &
        fi
        echo "unix:$socket"
        exit 0
      fi
      sleep 0.1
    done
    echo "pulse-server: not ready on $socket within 10 s" >&2
    exit 1
    ;;
  stop)
    pid=$(cat "$pidfile" 2>/dev/null || true)
    server_env pactl exit >/dev/null 2>&1 || true
    if [ -n "$pid" ]; then
      for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || exit 0
        sleep 0.1
      done
      kill -KILL "$pid" 2>/dev/null || true
    fi
    ;;
esac
