#!/usr/bin/env bash
# Signs both helpers for shipping inside a host application (docs/capture-macos.md: Shipping
# inside an application), on a Mac with the signing identity in the keychain:
#
#   scripts/macos-sign.sh [--sandboxed-host] IDENTITY [CAPTURE BRIDGE]
#
# IDENTITY is a codesign identity, e.g. "Developer ID Application: Example Ltd (TEAMID1234)".
# CAPTURE and BRIDGE default to the macos-universal preset's programs; sign copies placed in the
# host's bundle the same way, before the host itself is signed. Each is signed with the hardened
# runtime, a secure timestamp and its identifier: the capture with the audio-input entitlement, the
# bridge with none. With --sandboxed-host both carry only the App Sandbox and inherit entitlements,
# as the helpers of a sandboxed host must (the host then carries the audio-input entitlement).
# Each is then verified with codesign --verify --strict.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
usage() {
  sed -n '5p' "$0" | sed 's/^# *//' >&2
  exit 2
}

sandboxed=no
if [ "${1:-}" = --sandboxed-host ]; then
  sandboxed=yes
  shift
fi
[ $# -eq 1 ] || [ $# -eq 3 ] || usage
identity=$1
capture=${2:-$root/build-macos-universal/tools/QorMacAudioCapture/QorMacAudioCapture}
bridge=${3:-$root/build-macos-universal/tools/model-bridge/QorModelBridge}

capture_entitlements=$root/tools/QorMacAudioCapture/Sources/Platform/macOS/QorMacAudioCapture.entitlements
bridge_entitlements=
if [ "$sandboxed" = yes ]; then
  capture_entitlements=$here/macos-sign/SandboxedHelper.entitlements
  bridge_entitlements=$capture_entitlements
fi

# sign PROGRAM IDENTIFIER [ENTITLEMENTS]
sign() {
  local program=$1 identifier=$2 entitlements=${3:-}
  if [ ! -f "$program" ]; then
    echo "macos-sign: $program does not exist (cmake --build --preset macos-universal)" >&2
    exit 1
  fi
  local options=(--force --timestamp --options runtime --identifier "$identifier"
    --sign "$identity")
  if [ -n "$entitlements" ]; then
    options+=(--entitlements "$entitlements")
  fi
  codesign "${options[@]}" "$program"
  codesign --verify --strict --verbose=2 "$program"
  codesign --display --entitlements - "$program"
}

sign "$capture" com.brinvale.qor.native-audio.capture "$capture_entitlements"
sign "$bridge" com.brinvale.qor.model-bridge "$bridge_entitlements"
