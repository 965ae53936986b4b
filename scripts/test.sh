#!/usr/bin/env bash
# Sets up the machine, builds everything in Release and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

build=${TQ4_BUILD_DIR:-build}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}"
cmake --build "$build" --parallel "$(nproc)"
# The editor and host tests need a display; Xvfb gives them one.
xvfb-run -a -s "-screen 0 1600x1000x24" ctest --test-dir "$build" --output-on-failure --timeout 900
