#!/usr/bin/env bash
# Sets up the machine, builds the VST3 and tq4-render in Release, installs TQ-4.vst3 into ~/.vst3
# and renders the built-in demo to tq4-demo.wav.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

build=${TQ4_BUILD_DIR:-build}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}"
cmake --build "$build" --parallel "$(nproc)" --target tq4_core_VST3 tq4-render

bundle=$(find "$build" -type d -name 'TQ-4.vst3' -path '*VST3*' | head -n 1)
mkdir -p "$HOME/.vst3"
rm -rf "$HOME/.vst3/TQ-4.vst3"
cp -R "$bundle" "$HOME/.vst3/"
echo "Installed $HOME/.vst3/TQ-4.vst3"

"$build/tools/tq4-render/tq4-render"
