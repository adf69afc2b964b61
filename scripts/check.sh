#!/usr/bin/env bash
# The fast lane, run before the long one (about two minutes once the packages are installed):
#
#   scripts/check.sh
#
# 1. clang-format (.clang-format) has nothing to change in any C++ or Objective-C++ file,
# 2. shellcheck finds nothing in any shell script (sourced files followed),
# 3. the tests labelled "unit" pass, built in the default preset's build/ (configured when it is
#    not yet), so the long run that follows reuses that build.
#
# Installs the packages first (scripts/install-deps.sh, which needs root and does nothing when
# they are there). Exits non-zero at the first step that fails.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

# Files the repository holds or will hold (tracked, or new and not ignored); outside a git work
# tree, every file but the build folders'.
repository_files() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files --cached --others --exclude-standard -- "$@"
  else
    local names=() pattern
    for pattern in "${@:-*}"; do names+=(-o -name "$pattern"); done
    find . \( -path './build' -o -path './build-*' -o -path './.git' \) -prune \
      -o -type f \( "${names[@]:1}" \) -print | sed 's|^\./||'
  fi | sort -u | while IFS= read -r file; do [ -f "$file" ] && printf '%s\n' "$file"; done
}

start=$SECONDS
mapfile -t sources < <(repository_files '*.cpp' '*.cc' '*.c' '*.h' '*.hpp' '*.mm' '*.m')
echo "== check: clang-format, ${#sources[@]} files"
clang-format --dry-run -Werror "${sources[@]}"

# Scripts are the *.sh files and whatever else starts with a shell's #! line.
mapfile -t scripts < <(
  repository_files | while IFS= read -r file; do
    case "$file" in
      *.sh) printf '%s\n' "$file" ;;
      *) head -n 1 "$file" | grep -qE '^#!.*\b(ba)?sh\b' && printf '%s\n' "$file" ;;
    esac
  done
)
echo "== check: shellcheck, ${#scripts[@]} scripts"
shellcheck -x "${scripts[@]}"

echo "== check: unit tests"
[ -f build/CMakeCache.txt ] || cmake --preset default
# The executables whose tests carry the "unit" label.
targets=(QorCaptureUnitTests QorCaptureAllocationTests)
if [ "$(uname -s)" != Darwin ]; then
  targets+=(QorCapturePipeWireUnitTests QorBridgeUnitTests)
fi
cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"
ctest --preset default -L unit -j "$(nproc 2>/dev/null || echo 2)"
echo "== check: passed in $((SECONDS - start)) s"
