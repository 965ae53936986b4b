#!/usr/bin/env bash
# Sets up the machine, builds everything in Release, runs the whole test suite, runs the tests that
# cross threads under ThreadSanitizer, then fuzzes the state restore for a bounded number of inputs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

build=${TQ4_BUILD_DIR:-build}
fuzz_build=${TQ4_FUZZ_BUILD_DIR:-build-fuzz}
fuzz_seconds=${TQ4_FUZZ_SECONDS:-300}
# A fixed seed and run count make the run repeatable: the same inputs on every machine.
fuzz_runs=${TQ4_FUZZ_RUNS:-150000}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}"
cmake --build "$build" --parallel "$(nproc)"
# The editor and host tests need a display; Xvfb gives them one.
xvfb-run -a -s "-screen 0 1600x1000x24" ctest --test-dir "$build" --output-on-failure --timeout 900

# The tests whose code crosses threads, again under ThreadSanitizer; only their target is built.
tsan_build=${TQ4_TSAN_BUILD_DIR:-build-tsan}
cmake -S . -B "$tsan_build" -DCMAKE_BUILD_TYPE=Release -DTQ4_SANITIZE=thread "${launcher[@]}"
cmake --build "$tsan_build" --parallel "$(nproc)" --target tq4_thread_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
    xvfb-run -a -s "-screen 0 1600x1000x24" "$tsan_build/tests/tq4_thread_tests"

# libFuzzer needs clang: a second, instrumented build of the core.
CC=clang CXX=clang++ cmake -S . -B "$fuzz_build" -DCMAKE_BUILD_TYPE=Release -DTQ4_FUZZ=ON "${launcher[@]}"
cmake --build "$fuzz_build" --parallel "$(nproc)" --target tq4_state_fuzzer
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
# Seed with a real saved state so the fuzzer starts from well-formed blocks.
render="$(cd "$build" && pwd)/tools/tq4-render/tq4-render"
(cd "$corpus" && "$render" --set source=Drum --set character=FET --state-out seed.state >/dev/null && rm -f tq4-demo.wav)
"$fuzz_build/tests/fuzz/tq4_state_fuzzer" -seed="${TQ4_FUZZ_SEED:-20261210}" -runs="$fuzz_runs" -max_total_time="$fuzz_seconds" \
    -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 "$corpus"
