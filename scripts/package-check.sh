#!/usr/bin/env bash
# The Debian package, checked as root on Debian 12 after a build of the default preset (.ci/run runs
# it after the test suite):
#
#   scripts/package-check.sh [BUILD_DIR]      (default: build/)
#
# Makes the package with `cpack -G DEB`, installs it with dpkg, checks that both programs are on
# PATH, that the installed capture answers --capabilities and finds its WebSocket module in the
# installed library folder, and that the bridge answers --ready; then removes the package again.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
package=qor-native-helpers

cd "$build"
rm -f "$package"_*.deb
cpack -G DEB
deb=$(echo "$build/$package"_*.deb)
echo "== $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends
dpkg-deb --contents "$deb"

if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q ' installed$'; then
  echo "package-check: $package is installed already; remove it first (dpkg -r $package)" >&2
  exit 1
fi
trap 'dpkg --purge "$package" >/dev/null' EXIT
dpkg -i "$deb"

# Nothing from the build folder: run from elsewhere, by PATH.
cd /
failures=0
fail() {
  echo "package-check: $*" >&2
  failures=$((failures + 1))
}
for program in QorMacAudioCapture QorModelBridge; do
  found=$(command -v "$program" || true)
  echo "$program: ${found:-not on PATH}"
  [ "$found" = "/usr/bin/$program" ] || fail "$program is not /usr/bin/$program"
done

capabilities=$(QorMacAudioCapture --capabilities) || fail "--capabilities exited with $?"
echo "QorMacAudioCapture --capabilities: $capabilities"
case "$capabilities" in
  '{'*'"success":true'*'}') ;;
  *) fail "--capabilities did not answer with a success line" ;;
esac

# The capture loads its WebSocket module by a path relative to its own folder, written into the
# program; that path must lead to the installed module.
module=$(tr '\0' '\n' </usr/bin/QorMacAudioCapture | grep -a -m 1 '/QorMacAudioCaptureWebSocket[.]so$' || true)
echo "QorMacAudioCapture loads its module from /usr/bin/$module"
if [ -z "$module" ] || [ ! -f "/usr/bin/$module" ]; then
  fail "the installed module is not at /usr/bin/$module"
fi

status=0
timeout 20 QorModelBridge --ready </dev/null || status=$?
echo "QorModelBridge --ready: status $status"
[ "$status" -eq 0 ] || [ "$status" -eq 2 ] || fail "QorModelBridge --ready exited with $status"

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "package-check: passed"
