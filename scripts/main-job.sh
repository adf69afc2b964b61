#!/usr/bin/env bash
# The main job: capture one application's audio and show what was captured.
#
#   scripts/main-job.sh [SECONDS]
#
# Starts a private headless audio server when none is reachable (scripts/audio-server.sh), builds
# QorMacAudioCapture when it is missing, starts two tone players (copies of pw-cat named
# qor-tone-440 and qor-tone-1000), captures the 440 Hz player with --include-tree --pid for
# SECONDS (default 4), saves the audio as a WAV file and prints the dominant frequency and level
# it measured, with the other player's tone for comparison. Everything it started is stopped on
# exit.
#
# On macOS (Homebrew, after scripts/install-deps.sh) it builds, plays a 440 Hz tone with afplay,
# captures that player the same way and prints what it measured; a silent capture names what to
# check.
#
# Environment: QOR_BUILD_DIR (default build), QOR_MAIN_JOB_OUTPUT (default
# /tmp/qor-main-job) where capture.wav and the capture's stderr are kept.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-4}
build_dir=${QOR_BUILD_DIR:-$root/build}
output=${QOR_MAIN_JOB_OUTPUT:-/tmp/qor-main-job}
binary="$build_dir/tools/QorMacAudioCapture/QorMacAudioCapture"

work=$(mktemp -d /tmp/qor-main-job.XXXXXX)
players=()
server_started=no

cleanup() {
  for pid in ${players[@]+"${players[@]}"}; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in ${players[@]+"${players[@]}"}; do
    wait "$pid" 2>/dev/null || true
  done
  if [ "$server_started" = yes ]; then
    "$root/scripts/audio-server.sh" stop
  fi
  rm -rf "$work"
}
trap cleanup EXIT

say() { echo "main-job: $*"; }

configure_and_build() {
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    say "configuring $build_dir"
    if [ "$build_dir" = "$root/build" ]; then
      (cd "$root" && cmake --preset default >/dev/null)
    else
      cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
  fi
  say "building QorMacAudioCapture in $build_dir"
  cmake --build "$build_dir" --target QorMacAudioCapture -j2 >/dev/null
}

capture() {  # capture PID: float32 stereo into $work/capture.f32 for $seconds
  mkdir -p "$output"
  "$binary" --include-tree --pid "$1" >"$work/capture.f32" 2>"$output/capture.stderr" &
  local capture_pid=$!
  sleep "$seconds"
  kill -TERM "$capture_pid"
  local status=0
  wait "$capture_pid" || status=$?
  say "capture ended with status $status; its stderr is in $output/capture.stderr"
  [ "$status" -eq 0 ] || exit "$status"
  sox -q -t raw -r 48000 -e floating-point -b 32 -c 2 -L "$work/capture.f32" "$output/capture.wav"
  say "saved $(wc -c <"$work/capture.f32" | tr -d ' ') bytes of audio as $output/capture.wav"
}

if [ "$(uname -s)" = Darwin ]; then
  configure_and_build
  sox -q -n -r 48000 -c 2 -b 16 "$work/tone-440.wav" synth "$((seconds + 30))" sine 440 vol 0.5
  afplay "$work/tone-440.wav" &
  players+=("$!")
  sleep 0.5
  say "player: afplay (pid ${players[0]})"
  capture "${players[0]}"
  platform=macos
else
# 1. The audio server.
server_env=$("$root/scripts/audio-server.sh" start)
eval "$server_env"
if grep -q '^# started' <<<"$server_env"; then
  server_started=yes
  say "started a private audio server in $XDG_RUNTIME_DIR"
else
  say "using the audio server that is already running"
fi

# 2. The program: configured with the default preset when there is no build yet, brought up to
# date otherwise (a no-op when nothing changed).
configure_and_build

# 3. Two players, each its own client with its own pid and bundle identifier.
start_player() {
  local frequency=$1
  local name="qor-tone-$frequency"
  cp /usr/bin/pw-cat "$work/$name"
  sox -q -n -r 48000 -c 2 -b 16 "$work/$name.wav" synth "$((seconds + 30))" sine "$frequency" vol 0.5
  "$work/$name" -p "$work/$name.wav" &
  players+=("$!")
}
start_player 440
start_player 1000
target=${players[0]}
for _ in $(seq 50); do
  timeout -k 1 3 pw-dump 2>/dev/null | grep -q '"application.name": "qor-tone-1000"' && break
  sleep 0.1
done
say "players: qor-tone-440 (pid $target), qor-tone-1000 (pid ${players[1]})"

# 4. The capture: float32le stereo at 48000 frames per second on stdout, kept as a WAV file.
capture "$target"
platform=linux
fi

# 5. What it holds: the strongest frequency (FFT peak, refined by zero crossings) and levels.
python3 - "$work/capture.f32" "$platform" <<'EOF'
import array, math, sys

samples = array.array("f")
with open(sys.argv[1], "rb") as f:
    samples.frombytes(f.read())
if sys.byteorder != "little":
    samples.byteswap()
left = samples[0::2]
rate = 48000
window = left[-rate:] if len(left) > rate else left   # the last second
if len(window) < rate // 10:
    sys.exit("main-job: too little audio to measure")

def amplitude(x, frequency):
    w = 2 * math.pi * frequency / rate
    c = 2 * math.cos(w)
    s1 = s2 = 0.0
    n = len(x)
    total = 0.0
    for i, v in enumerate(x):
        h = 0.5 - 0.5 * math.cos(2 * math.pi * i / (n - 1))
        total += h
        s0 = v * h + c * s1 - s2
        s2, s1 = s1, s0
    return 2 * math.sqrt(max(s1 * s1 + s2 * s2 - c * s1 * s2, 0.0)) / total

def db(value):
    return 20 * math.log10(value) if value > 0 else float("-inf")

# Coarse scan on a short slice, then zero crossings over the whole second.
short = window[:4800]
coarse = max(range(50, 5000, 10), key=lambda f: amplitude(short, f))
crossings = [i - window[i] / (window[i + 1] - window[i])
             for i in range(len(window) - 1) if window[i] <= 0 < window[i + 1]]
if len(crossings) >= 2 and abs((crossings[-1] - crossings[0]) / (len(crossings) - 1)) > 0:
    frequency = rate * (len(crossings) - 1) / (crossings[-1] - crossings[0])
else:
    frequency = float(coarse)
rms = math.sqrt(sum(v * v for v in window) / len(window))
peak = max(abs(v) for v in window)
if peak == 0 and sys.argv[2] == "macos":
    sys.exit("main-job: the capture is silent. Check, in this order: that the terminal running\n"
             "main-job: this script may capture audio (System Settings > Privacy & Security >\n"
             "main-job: Screen & System Audio Recording, audio only), then quit and reopen it;\n"
             "main-job: then the aggregate device's composition (Audio MIDI Setup, or the\n"
             "main-job: start-up line in the capture's stderr): its tap must be the main sub-device.")
a440, a1000 = amplitude(window, 440), amplitude(window, 1000)
print(f"main-job: dominant frequency {frequency:.1f} Hz (FFT scan: {coarse} Hz)")
print(f"main-job: level {db(rms):.1f} dBFS RMS, {db(peak):.1f} dBFS peak")
print(f"main-job: 440 Hz at {db(a440):.1f} dBFS, 1000 Hz at {db(a1000):.1f} dBFS "
      f"({db(a1000) - db(a440):.1f} dB relative)")
EOF
