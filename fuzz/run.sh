#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each in turn:
#
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]     (default: 20 seconds, every target)
#
# Exits non-zero when any target finds a fault. The build lives in build-fuzz/ (or
# $QOR_FUZZ_BUILD_DIR); each target grows its own corpus in build-fuzz/fuzz/corpus/<target>/,
# started from the committed seeds in fuzz/corpus/<target>/, which it never writes. The input
# that shows a fault is kept in build-fuzz/fuzz/findings/<target>/ and the whole log in
# build-fuzz/fuzz/logs/<target>.log. Extra libFuzzer flags come from $QOR_FUZZ_FLAGS, e.g.
# QOR_FUZZ_FLAGS=-runs=10000000 for a run that stops at ten million executions. $QOR_FUZZ_SEED
# (a positive number) seeds every target's random generator; without it libFuzzer picks a seed.
# Either way each target's seed is printed, to replay a run with it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QOR_FUZZ_BUILD_DIR:-$root/build-fuzz}
all_targets=(cli_options websocket_url json_line consume bridge)

seconds=${1:-20}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
case "$seconds" in
  '' | *[!0-9]*)
    echo "usage: fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]" >&2
    exit 2
    ;;
esac
seed=${QOR_FUZZ_SEED:-}
case "$seed" in
  *[!0-9]* | 0)
    echo "fuzz/run.sh: QOR_FUZZ_SEED must be a positive number" >&2
    exit 2
    ;;
esac

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DQOR_FUZZ=ON \
  -DQOR_BUILD_TESTS=OFF -DQOR_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fuzz_targets=()
for target in "${targets[@]}"; do
  fuzz_targets+=("fuzz_$target")
done
cmake --build "$build" --target "${fuzz_targets[@]}" -j "${QOR_FUZZ_BUILD_JOBS:-2}"

# A small quarantine keeps several fuzzers within memory on a shared machine and costs little
# detection, as every input runs alone and short; short allocation stacks double the speed of the
# allocation-heavy targets. Replaying a finding with the target alone shows the full stacks.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16:max_malloc_fill_size=0:malloc_context_size=6:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

seed_of() { sed -n 's/^INFO: Seed: *//p' "$1" | head -n 1; }

failed=()
for target in "${targets[@]}"; do
  corpus=$build/fuzz/corpus/$target
  findings=$build/fuzz/findings/$target
  log=$build/fuzz/logs/$target.log
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  flags=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/")
  [ -f "$root/fuzz/dict/$target.dict" ] && flags+=(-dict="$root/fuzz/dict/$target.dict")
  [ -z "$seed" ] || flags+=(-seed="$seed")
  # shellcheck disable=SC2206  # the extra flags are meant to split on blanks
  flags+=(${QOR_FUZZ_FLAGS:-})

  if "$build/fuzz/fuzz_$target" "${flags[@]}" "$corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $target: ok, ${runs:-?} executions, seed $(seed_of "$log")"
  else
    echo "fuzz $target: FAULT, seed $(seed_of "$log"), log in $log, input in $findings/" >&2
    tail -n 40 "$log" >&2
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: faults in ${failed[*]}" >&2
  exit 1
fi
