#!/usr/bin/env bash
# How closely a capture keeps 48000 frames a second by the graph's clock while the graph's rate is
# forced 48000 → 44100 → 96000 → 48000: runs PipeWireCapture.TheGraphRateIsFollowedWhenItChanges
# RUNS times (default 50) on the private headless server, each time with a fresh capture, and
# prints each run's frames per second by the graph's clock, then the lowest, the highest and how
# many runs were more than 0.1 % and 0.5 % off. A run where the 440 Hz player left the graph says
# so, with what the player said. With --load, twice as many busy loops as cores run
# throughout.
#
#   bench/rate-switches.sh [RUNS] [--load]
#
# Environment: QOR_BUILD_DIR (default build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-50}
load=${2:-}
build_dir=${QOR_BUILD_DIR:-$root/build}
tests="$build_dir/tools/QorMacAudioCapture/Tests/QorCapturePipeWireTests"
[ -x "$tests" ] || { echo "bench: build QorCapturePipeWireTests first ($tests)" >&2; exit 1; }

# shellcheck source=bench/audio-setup.sh
. "$root/bench/audio-setup.sh"
bench_setup qor-rate-switches
work=$bench_work
if [ "$load" = --load ]; then bench_load; fi

for run in $(seq "$runs"); do
  "$tests" --gtest_filter='PipeWireCapture.TheGraphRateIsFollowedWhenItChanges' \
    --gtest_output="xml:$work/run.xml" >"$work/run.log" 2>&1 || true
  value=$(grep -o 'name="graphFramesPerSecond" value="[0-9.]*"' "$work/run.xml" | grep -o '[0-9][0-9.]*' || echo none)
  if grep -q 'name="playerLeft"' "$work/run.xml"; then
    echo "run $run: the player left and the switches ran again"
    grep -A20 'the player left' "$work/run.log" | sed 's/^/    /'
  fi
  echo "run $run: $value frames/s"
  echo "$value" >>"$work/values"
done
awk '$1 != "none" { n++; d = ($1 - 48000) / 480; if (d < 0) d = -d;
       if (n == 1 || $1 < lo) lo = $1; if (n == 1 || $1 > hi) hi = $1;
       if (d > 0.1) off1++; if (d > 0.5) off5++ }
     $1 == "none" { missing++ }
     END { printf "%d runs: %.2f to %.2f frames/s; over 0.1 %%: %d, over 0.5 %%: %d; no figure: %d\n",
           n, lo, hi, off1, off5, missing }' "$work/values"
