#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Does nothing
# when they are all present, so a second run costs a second.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  libz-mingw-w64-dev nlohmann-json3-dev googletest
  wine wine64 xvfb
  python3 openssl ca-certificates curl
  g++ libssl-dev libcurl4-openssl-dev zlib1g-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi

# Node.js and npm for the blob storage emulator (scripts/services.sh installs
# it, pinned, into the build). Looked for as commands: a Node.js from
# elsewhere brings its own npm, which Debian's npm package would conflict with.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q nodejs npm
fi
