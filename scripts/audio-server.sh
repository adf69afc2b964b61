#!/usr/bin/env bash
# A private, headless PipeWire audio server for the tests, the benchmarks and the main job:
# a session bus, pipewire, wireplumber, PipeWire's PulseAudio server (when installed: browsers play
# through it) and a null sink, all under a private runtime directory.
#
#   scripts/audio-server.sh start    start one unless a server is already reachable; prints the
#                                    environment lines of `env`, preceded by the comment line
#                                    "# started" when this call started the server
#   scripts/audio-server.sh env      print `export ...` lines that point a shell at the private
#                                    server (nothing when this script did not start one)
#   scripts/audio-server.sh status   exit 0 when a server is reachable with the environment that
#                                    `env` gives (or the current one)
#   scripts/audio-server.sh stop     stop what `start` started, and nothing else
#
# Use it as:  eval "$(scripts/audio-server.sh start)"
#
# Start and stop are idempotent and serialised by a lock, so parallel test processes may all call
# start. Every wait is bounded, so a server that hangs makes the script
# fail instead of hanging with it. Environment: QOR_AUDIO_DIR (default /tmp/qor-audio-server-<uid>),
# QOR_SINK_NAME (default qor_null_sink).
set -euo pipefail

dir=${QOR_AUDIO_DIR:-${TMPDIR:-/tmp}/qor-audio-server-$(id -u)}
runtime="$dir/runtime"
state="$dir/state"
sink_name=${QOR_SINK_NAME:-qor_null_sink}

log() { echo "audio-server: $*" >&2; }

# True when a PipeWire server answers within 3 seconds with the current environment.
reachable() {
  [ -n "${XDG_RUNTIME_DIR:-}${PIPEWIRE_RUNTIME_DIR:-}${PIPEWIRE_REMOTE:-}" ] || return 1
  timeout -k 1 3 pw-cli info 0 >/dev/null 2>&1
}

# A process that has exited but is not reaped yet (our daemons are reaped by init) is not alive.
alive() {
  [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null || return 1
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

load_state() {
  dbus_pid='' pipewire_pid='' wireplumber_pid='' pulse_pid='' dbus_address=''
  # shellcheck disable=SC1090
  [ -f "$state" ] && . "$state"
  return 0
}

print_env() {
  printf 'export XDG_RUNTIME_DIR=%q\n' "$runtime"
  printf 'export DBUS_SESSION_BUS_ADDRESS=%q\n' "$dbus_address"
  printf 'unset PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR\n'
}

use_private_env() {
  export XDG_RUNTIME_DIR="$runtime" DBUS_SESSION_BUS_ADDRESS="$dbus_address"
  unset PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR
}

# Waits up to $1 tenths of a second for the command that follows to succeed.
wait_for() {
  local tenths=$1
  shift
  for ((i = 0; i < tenths; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

has_object() { timeout -k 1 3 pw-dump 2>/dev/null | grep -q "$1"; }

dead() { ! alive "$1"; }

pulse_wanted() { command -v pipewire-pulse >/dev/null 2>&1; }

stop_pid() {
  local pid=$1
  alive "$pid" || return 0
  kill -TERM "$pid" 2>/dev/null || true
  wait_for 50 dead "$pid" || kill -KILL "$pid" 2>/dev/null || true
}

do_stop() {
  load_state
  [ -f "$state" ] || return 0
  stop_pid "$pulse_pid"
  stop_pid "$wireplumber_pid"
  stop_pid "$pipewire_pid"
  stop_pid "$dbus_pid"
  rm -f "$state"
  rm -rf "$runtime"
}

do_start() {
  load_state
  if [ -f "$state" ] && alive "$pipewire_pid" && alive "$wireplumber_pid" &&
    { ! pulse_wanted || alive "$pulse_pid"; }; then
    use_private_env
    if reachable; then
      print_env
      return 0
    fi
  fi
  # A half-alive or stale private server: clear it before starting afresh.
  [ -f "$state" ] && do_stop
  if [ ! -f "$state" ] && reachable; then
    log "a PipeWire server is already reachable; not starting another"
    return 0
  fi

  mkdir -p "$dir"
  rm -rf "$runtime"
  mkdir -m 700 "$runtime"
  chmod 700 "$runtime"
  local bus_info
  bus_info=$(dbus-daemon --session --fork --print-address=1 --print-pid=1 9>&- \
    --address="unix:path=$runtime/bus")
  dbus_address=$(sed -n 1p <<<"$bus_info")
  dbus_pid=$(sed -n 2p <<<"$bus_info")
  use_private_env
  printf 'dbus_pid=%q\ndbus_address=%q\n' "$dbus_pid" "$dbus_address" >"$state"

  setsid pipewire </dev/null >"$dir/pipewire.log" 2>&1 9>&- &
  pipewire_pid=$!
  echo "pipewire_pid=$pipewire_pid" >>"$state"
  if ! wait_for 100 reachable; then
    log "pipewire did not come up (see $dir/pipewire.log)"
    do_stop
    return 1
  fi

  setsid wireplumber </dev/null >"$dir/wireplumber.log" 2>&1 9>&- &
  wireplumber_pid=$!
  echo "wireplumber_pid=$wireplumber_pid" >>"$state"
  if ! wait_for 100 has_object '"application.name": "WirePlumber"'; then
    log "wireplumber did not come up (see $dir/wireplumber.log)"
    do_stop
    return 1
  fi

  if pulse_wanted; then
    setsid pipewire-pulse </dev/null >"$dir/pipewire-pulse.log" 2>&1 9>&- &
    pulse_pid=$!
    echo "pulse_pid=$pulse_pid" >>"$state"
    if ! wait_for 100 test -S "$runtime/pulse/native"; then
      log "pipewire-pulse did not come up (see $dir/pipewire-pulse.log)"
      do_stop
      return 1
    fi
  fi

  timeout -k 1 5 pw-cli create-node adapter "{ factory.name=support.null-audio-sink
    node.name=$sink_name node.description=\"Qor null sink\" media.class=Audio/Sink
    object.linger=true audio.position=[FL FR] }" >/dev/null
  if ! wait_for 100 has_object "\"node.name\": \"$sink_name\""; then
    log "the null sink did not appear"
    do_stop
    return 1
  fi
  echo "# started"
  print_env
}

with_lock() {
  mkdir -p "$dir"
  exec 9>"$dir/lock"
  flock -w 60 9 || { log "could not take $dir/lock"; exit 1; }
  "$@"
}

case "${1:-}" in
  start) with_lock do_start ;;
  stop) with_lock do_stop ;;
  env)
    load_state
    if [ -f "$state" ]; then print_env; fi
    ;;
  status)
    load_state
    if [ -f "$state" ]; then use_private_env; fi
    reachable
    ;;
  *)
    echo "usage: $0 start|stop|env|status" >&2
    exit 2
    ;;
esac
