#!/usr/bin/env bash
# The macOS build, checked on Linux (as root on a fresh Debian 12 machine; .ci/run runs it):
#
#   scripts/macos-cross-check.sh
#
# Installs the packages, lays out the macOS SDK sysroot with ../shared/tools/macos-sdk (or the tool
# QOR_MACOS_SDK_TOOL names) under build-macos-sdk/, cross-builds the capture for arm64 and x86_64
# (presets macos-cross and macos-cross-x86_64) and the bridge for arm64, joins the capture's slices
# into build-macos-cross/universal/QorMacAudioCapture with llvm-lipo, and checks every slice of both
# programs: its architecture, minimum system 12.0, and every library it loads under /usr/lib/ or
# /System/Library/. Fails when anything does not compile, link or pass. About 4 minutes on two cores.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh

sdk_tool=${QOR_MACOS_SDK_TOOL:-$root/../shared/tools/macos-sdk}
if [ ! -x "$sdk_tool" ]; then
  echo "macos-cross-check: no macos-sdk tool at $sdk_tool" >&2
  exit 1
fi
# A sysroot of this clone's own: the tool lays it out afresh under TMPDIR.
mkdir -p build-macos-sdk
QOR_MACOS_SYSROOT=$(TMPDIR=$root/build-macos-sdk "$sdk_tool")
export QOR_MACOS_SYSROOT

jobs=$(nproc 2>/dev/null || echo 2)
for preset in macos-cross macos-cross-x86_64; do
  echo "== $preset: configure and build"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
done

capture=build-macos-cross/universal/QorMacAudioCapture
bridge=build-macos-cross/tools/model-bridge/QorModelBridge
mkdir -p "$(dirname "$capture")"
llvm-lipo-19 -create build-macos-cross/tools/QorMacAudioCapture/QorMacAudioCapture \
  build-macos-cross-x86_64/tools/QorMacAudioCapture/QorMacAudioCapture -output "$capture"

failures=0
fail() {
  echo "macos-cross-check: $*" >&2
  failures=$((failures + 1))
}

# check PROGRAM ARCH...: the program holds exactly these slices, each for macOS 12.0 and up, each
# loading nothing but the system.
check() {
  local program=$1
  shift
  echo "== $program"
  llvm-lipo-19 -info "$program"
  local archs
  archs=$(llvm-lipo-19 -archs "$program" | tr ' ' '\n' | sort | xargs)
  [ "$archs" = "$(printf '%s\n' "$@" | sort | xargs)" ] || fail "$program: slices '$archs', want '$*'"
  local arch minos dylibs
  for arch in "$@"; do
    minos=$(llvm-otool-19 -arch "$arch" -l "$program" |
      awk '$1 == "cmd" { cmd = $2 } cmd == "LC_BUILD_VERSION" && $1 == "minos" { print $2 }')
    echo "$arch: minos $minos"
    [ "$minos" = 12.0 ] || fail "$program ($arch): minos '$minos', want 12.0"
    dylibs=$(llvm-objdump-19 --macho --arch="$arch" --dylibs-used "$program" | tail -n +2 |
      awk '{ print $1 }')
    [ -n "$dylibs" ] || fail "$program ($arch): no load commands read"
    while read -r dylib; do
      echo "$arch: $dylib"
      case "$dylib" in
        /usr/lib/* | /System/Library/*) ;;
        *) fail "$program ($arch) loads $dylib, which is not the system's" ;;
      esac
    done <<<"$dylibs"
  done
}
check "$capture" arm64 x86_64
check "$bridge" arm64

if [ "$failures" -ne 0 ]; then
  echo "macos-cross-check: $failures failure(s)" >&2
  exit 1
fi
echo "macos-cross-check: passed"
