#!/usr/bin/env bash
# Starts a capture STARTS times (default 1000) while twice as many busy loops as cores load the
# machine, and counts the starts that gave no start-up line within 5 seconds: a start that hangs.
# Each hung capture's threads are printed with gdb (when installed), then it is killed. Each start
# runs `--output-loopback` to /dev/null and is ended with SIGTERM after its first line.
#
#   bench/start-storm.sh [STARTS]
#
# Environment: QOR_BUILD_DIR (default build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
starts=${1:-1000}
build_dir=${QOR_BUILD_DIR:-$root/build}
binary="$build_dir/tools/QorMacAudioCapture/QorMacAudioCapture"
[ -x "$binary" ] || { echo "bench: build QorMacAudioCapture first ($binary)" >&2; exit 1; }

# shellcheck source=bench/audio-setup.sh
. "$root/bench/audio-setup.sh"
bench_setup qor-start-storm
bench_load

hung=0
for start in $(seq "$starts"); do
  : >"$bench_work/err"
  "$binary" --output-loopback >/dev/null 2>"$bench_work/err" &
  pid=$!
  for _ in $(seq 50); do
    [ -s "$bench_work/err" ] && break
    sleep 0.1
  done
  if [ ! -s "$bench_work/err" ]; then
    hung=$((hung + 1))
    echo "start $start: no line within 5 s"
    if command -v gdb >/dev/null; then gdb -p "$pid" -batch -ex 'thread apply all bt' 2>/dev/null | grep '^#' || true; fi
    kill -KILL "$pid" 2>/dev/null || true
  else
    kill -TERM "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
done
echo "$starts starts, $hung hung"
