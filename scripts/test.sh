#!/usr/bin/env bash
# Everything from a fresh Debian 12 machine to a passing test suite, as root:
#
#   scripts/test.sh [PRESET...]      (default: default)
#
# Installs the packages (scripts/install-deps.sh), builds the real model server the bridge is
# tested against once and caches it outside the clone (scripts/llama-server/build.sh), then for
# each CMake preset configures, builds and runs every test. The tests start what they need: a
# private headless PipeWire server, WebSocket servers and model servers on loopback.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(default)

bash scripts/install-deps.sh
bash scripts/llama-server/build.sh

jobs=$(nproc 2>/dev/null || echo 2)
for preset in "${presets[@]}"; do
  echo "== $preset: configure and build"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: test"
  ctest --preset "$preset" -j "$jobs"
done
