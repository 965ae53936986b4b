#!/usr/bin/env bash
# Reads the built TQ-4.lv2 with the system's own LV2 tools, as Debian's lilv-based hosts (Ardour,
# Carla, Qtractor) would: with LV2_PATH at the build, lilv lists exactly TQ-4's URI and describes it
# as expected, and the Turtle satisfies the LV2 vocabularies apart from the liberties JUCE's writer
# takes that hosts accept.
set -euo pipefail

bundle=$(cd "${1:?usage: check_bundle.sh PATH_TO_TQ-4.lv2}" && pwd)
uri="https://veldrane.com/plugins/tq4"
specs=/usr/lib/lv2
export LV2_PATH="$(dirname "$bundle"):$specs"

fail() {
    echo "$*" >&2
    exit 1
}

listed=$(lv2ls)
[ "$listed" = "$uri" ] || fail "lv2ls lists '$listed', expected only $uri"

info=$(lv2info "$uri")
echo "$info" | sed -n '1,20p'
expect() {
    grep -Eq "$1" <<<"$info" || fail "lv2info does not show: $1"
}
expect "^[[:space:]]+Name:[[:space:]]+TQ-4$"
expect "^[[:space:]]+Class:[[:space:]]+Compressor"
expect "^[[:space:]]+Author:[[:space:]]+Veldrane$"
expect "^[[:space:]]+Has latency:[[:space:]]+yes"
expect "^[[:space:]]+Binary:[[:space:]]+file://.*/TQ-4\.lv2/libTQ-4\.so$"
expect "ui#X11UI$"
expect "^[[:space:]]+Extension Data:[[:space:]]+http://lv2plug.in/ns/ext/state#interface$"
[ "$(grep -c 'Symbol:[[:space:]]*audio_in_' <<<"$info")" -eq 2 ] || fail "not two audio inputs"
[ "$(grep -c 'Symbol:[[:space:]]*audio_out_' <<<"$info")" -eq 2 ] || fail "not two audio outputs"
! grep -q "preset" <<<"$info" || fail "a preset is published"

# JUCE's writer puts port properties on parameters and leaves the plug-in untyped as a doap:Project;
# its UI lists a feature as extension data and extension data as a feature. Hosts accept all four.
known='Subject not in domain <http://lv2plug.in/ns/lv2core#Port>[[:space:]]+'"$uri"':[A-Za-z]+[[:space:]]+http://lv2plug.in/ns/lv2core#portProperty'
known+='|Subject not in domain <http://usefulinc.com/ns/doap#Project>[[:space:]]+'"$uri"'[[:space:]]'
known+='|'"$uri"':UI[[:space:]]+http://lv2plug.in/ns/lv2core#extensionData[[:space:]]+http://lv2plug.in/ns/extensions/ui#noUserResize'
known+='|'"$uri"':UI[[:space:]]+http://lv2plug.in/ns/lv2core#optionalFeature[[:space:]]+http://lv2plug.in/ns/ext/options#interface'
# One line per finding: some findings put their triple on a second, indented line.
report=$(sord_validate -l $(find "$specs" -name '*.ttl' | sort) "$bundle"/*.ttl 2>&1 | sed -e ':a' -e 'N' -e '$!ba' -e 's/\n\t/\t/g' || true)
grep -q "^Found [0-9]* errors among" <<<"$report" || fail "sord_validate did not run: $report"
unexpected=$(grep -E "error|warning" <<<"$report" | grep -v "^Found " | grep -Ev "$known" || true)
[ -z "$unexpected" ] || fail "the Turtle does not validate:
$unexpected"
echo "lv2ls, lv2info and sord_validate agree with the bundle"
