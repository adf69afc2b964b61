# shellcheck shell=bash
# Sourced by the bench scripts: a scratch directory, the private headless audio server when none
# is reachable, and tone players; everything it made or started goes on exit.
#
#   bench_setup PREFIX          makes $bench_work (/tmp/PREFIX.XXXXXX) and starts the server
#   bench_load                  twice as many busy loops as cores, until exit
#   bench_tone NAME SECONDS     a 440 Hz player running as NAME (a copy of pw-cat, so that it is
#                               found by its process and nothing else); its pid in $bench_tone_pid
# Needs $root, the repository's root.
: "${root:?the repository root}"

bench_work=''
bench_players=()
bench_server_started=no

bench_cleanup() {
  local pid
  for pid in "${bench_players[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${bench_players[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ "$bench_server_started" = yes ]; then "$root/scripts/audio-server.sh" stop; fi
  if [ -n "$bench_work" ]; then rm -rf "$bench_work"; fi
}

bench_setup() {
  bench_work=$(mktemp -d "/tmp/$1.XXXXXX")
  trap bench_cleanup EXIT
  local server_env
  server_env=$("$root/scripts/audio-server.sh" start)
  eval "$server_env"
  if grep -q '^# started' <<<"$server_env"; then bench_server_started=yes; fi
}

bench_tone() {
  cp /usr/bin/pw-cat "$bench_work/$1"
  sox -q -n -r 48000 -c 2 -b 16 "$bench_work/$1.wav" synth "$2" sine 440 vol 0.5
  "$bench_work/$1" -p "$bench_work/$1.wav" &
  bench_tone_pid=$!
  bench_players+=("$bench_tone_pid")
}

bench_load() {
  local _
  for _ in $(seq $(($(nproc) * 2))); do
    (while :; do :; done) &
    bench_players+=($!)
  done
}
