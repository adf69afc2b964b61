#!/usr/bin/env bash
# Installs everything the build, the tests and the README's main job need on Debian 12 (run as
# root), or on macOS with Homebrew. Idempotent: packages already present are left as they are.
set -euo pipefail

if [ "$(uname -s)" = Darwin ]; then
  # Build tools, header-only libraries and test libraries: the programs link only the system.
  brew install cmake ninja pkg-config boost nlohmann-json googletest google-benchmark sox \
    clang-format shellcheck
  exit 0
fi

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang clang-format
  # the fast lane (scripts/check.sh)
  shellcheck
  # the macOS cross-build check (docs/capture-macos.md: Checking the macOS build on Linux)
  clang-19 lld-19 llvm-19 libc++1-19 libc++abi1-19
  # libraries
  libboost-dev libboost-system-dev libssl-dev nlohmann-json3-dev liburiparser-dev
  libicu-dev libpipewire-0.3-dev libcurl4-openssl-dev libstb-dev libwebp-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # test peers and the private audio server
  pipewire pipewire-bin wireplumber dbus sox python3 python3-websockets
  gdb  # the stacks of a PipeWire test that hangs, before CTest ends it
  # a real browser playing through PipeWire's PulseAudio server (the browser's capture test)
  chromium pipewire-pulse
  util-linux  # flock and setsid for scripts/audio-server.sh
  ca-certificates openssl procps psmisc
  # the llama-server test peer: its source, build and tiny generated model (scripts/llama-server/)
  git python3-numpy python3-yaml
)
# npm unpacks the llama.cpp source from node-llama-cpp; a NodeSource nodejs already brings it.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: run as root (apt-get needs it)" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
