#!/usr/bin/env bash
# Builds llama.cpp's llama-server (the real local model server the bridge's "llama" test talks to)
# from the llama.cpp source that the npm package node-llama-cpp ships, and caches it outside the
# clone so that later runs skip the build. Also keeps the source's gguf-py next to the binary, which
# scripts/llama-server/make-tiny-model.py needs to write the test model.
#
#   scripts/llama-server/build.sh            build once, then print the cached binary's path
#
# Environment: QOR_LLAMA_CACHE (default /var/cache/qor/llama-server), QOR_BUILD_JOBS (default 2).
# Needs: npm, git, cmake, ninja, a C++ compiler. The npm package is only unpacked; its install
# scripts never run.
set -euo pipefail

version=3.21.1
cache_root=${QOR_LLAMA_CACHE:-/var/cache/qor/llama-server}
dest="$cache_root/node-llama-cpp-$version"
jobs=${QOR_BUILD_JOBS:-2}

cached() { [ -x "$dest/bin/llama-server" ] && [ -f "$dest/gguf-py/gguf/__init__.py" ]; }
if cached; then
  echo "$dest/bin/llama-server"
  exit 0
fi

mkdir -p "$cache_root"
# Two jobs starting at once build once: the second waits, then finds the cache filled.
exec 9>"$cache_root/.lock"
flock 9
if cached; then
  echo "$dest/bin/llama-server"
  exit 0
fi
work=$(mktemp -d "$cache_root/build.XXXXXX")
trap 'rm -rf "$work"' EXIT

cd "$work"
npm pack --silent "node-llama-cpp@$version" >/dev/null
tar -xzf "node-llama-cpp-$version.tgz" package/llama/gitRelease.bundle
git -c advice.detachedHead=false clone --quiet package/llama/gitRelease.bundle llama.cpp

cmake -S llama.cpp -B llama.cpp/build -G Ninja \
  -DCMAKE_BUILD_TYPE=Release \
  -DLLAMA_OPENSSL=OFF -DLLAMA_USE_PREBUILT_UI=OFF \
  -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF -DBUILD_SHARED_LIBS=OFF >/dev/null
cmake --build llama.cpp/build --target llama-server -j"$jobs" >/dev/null

# Publish atomically: a half-copied cache must never look complete.
stage="$work/stage"
mkdir -p "$stage/bin"
cp llama.cpp/build/bin/llama-server "$stage/bin/"
cp -r llama.cpp/gguf-py "$stage/gguf-py"
git -C llama.cpp describe --tags --always >"$stage/llama.cpp-version" 2>/dev/null || true
rm -rf "$dest"
mv "$stage" "$dest"
echo "$dest/bin/llama-server"
