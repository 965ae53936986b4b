#!/usr/bin/env bash
# Starts the TQ-4 Standalone on the current X display with an empty home (no saved settings, and on a
# test machine no audio device), waits until its window shows the editor, then asks it to quit as
# Ctrl-C in a terminal does (SIGINT, which a JUCE application on Linux turns into a quit request).
# Passes when it exits with 0 within a few seconds, reports no leak or assertion, and has written
# its settings on the way out.
set -euo pipefail

app=${1:?usage: run_standalone.sh PATH_TO_STANDALONE}
if [ -z "${DISPLAY:-}" ]; then
    echo "no X display: run under xvfb-run" >&2
    exit 1
fi

home=$(mktemp -d)
log="$home/output.log"
pid=""
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; fi
    rm -rf "$home"
}
trap cleanup EXIT

HOME="$home" "$app" >"$log" 2>&1 &
pid=$!

# The window carries the plug-in's name; the editor sets its size (at least 720 x 405).
shown=""
for _ in $(seq 1 150); do
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "the Standalone exited before showing its window:" >&2
        cat "$log" >&2
        exit 1
    fi
    # The window list names windows by their UTF-8 title, which xwininfo -name does not match.
    id=$(xwininfo -root -tree 2>/dev/null | awk '$2 == "\"TQ-4\":" {print $1; exit}')
    if [ -n "$id" ] && info=$(xwininfo -id "$id" 2>/dev/null) && grep -q "Map State: IsViewable" <<<"$info"; then
        width=$(awk '/^ *Width:/ {print $2}' <<<"$info")
        height=$(awk '/^ *Height:/ {print $2}' <<<"$info")
        if [ "$width" -ge 720 ] && [ "$height" -ge 405 ]; then
            shown="${width}x${height}"
            break
        fi
    fi
    sleep 0.1
done
if [ -z "$shown" ]; then
    echo "no TQ-4 window with the editor within 15 s:" >&2
    xwininfo -root -tree >&2 || true
    cat "$log" >&2
    exit 1
fi
echo "window shown at $shown"

# Let it settle (timers, device scan) before asking it to quit.
sleep 1
start=$(date +%s%N)
kill -INT "$pid"
for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    echo "still running 10 s after the quit request" >&2
    cat "$log" >&2
    exit 1
fi
set +e
wait "$pid"
status=$?
set -e
pid=""
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
echo "quit after ${elapsed_ms} ms with exit code $status"
cat "$log"

failed=0
if [ "$status" -ne 0 ]; then
    echo "exit code $status, expected 0" >&2
    failed=1
fi
if [ "$elapsed_ms" -gt 5000 ]; then
    echo "took ${elapsed_ms} ms to quit, more than 5 s" >&2
    failed=1
fi
if grep -Eq "Leaked objects|JUCE Assertion|Sanitizer|Segmentation fault|terminate called" "$log"; then
    echo "the output reports a fault" >&2
    failed=1
fi
if [ ! -s "$home/.config/TQ-4.settings" ]; then
    echo "no settings written on the way out: the shutdown did not run" >&2
    failed=1
fi
exit "$failed"
