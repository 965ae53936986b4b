#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the tools need. Safe to run again.
set -euo pipefail

packages=(
    build-essential cmake pkg-config ccache
    juce-modules-source
    libflac-dev libvorbis-dev libogg-dev libcurl4-openssl-dev
    libasound2-dev libjack-jackd2-dev libfreetype-dev libfontconfig1-dev
    libx11-dev libxrandr-dev libxinerama-dev libxcursor-dev libxext-dev libgl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth x11-utils
    lilv-utils sordi lv2-dev
    clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
