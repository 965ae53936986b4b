#!/usr/bin/env bash
# Sets up the machine, builds the VST3, the LV2, the Standalone application and tq4-render in
# Release, installs TQ-4.vst3 into ~/.vst3 and TQ-4.lv2 into ~/.lv2, and renders the built-in demo to
# tq4-demo.wav.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

build=${TQ4_BUILD_DIR:-build}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}"
cmake --build "$build" --parallel "$(nproc)" \
    --target tq4_core_VST3 tq4_core_LV2 tq4_core_Standalone tq4-render

# Replaces an installed bundle of the same name with the one just built.
install_bundle() {
    local bundle=$1 folder=$2
    mkdir -p "$folder"
    rm -rf "$folder/$(basename "$bundle")"
    cp -R "$bundle" "$folder/"
    echo "Installed $folder/$(basename "$bundle")"
}
install_bundle "$(find "$build" -type d -name 'TQ-4.vst3' -path '*VST3*' | head -n 1)" "$HOME/.vst3"
install_bundle "$(find "$build" -type d -name 'TQ-4.lv2' -path '*LV2*' | head -n 1)" "$HOME/.lv2"
echo "Standalone: $(find "$build" -type f -name 'TQ-4' -path '*Standalone*' | head -n 1)"

"$build/tools/tq4-render/tq4-render"
