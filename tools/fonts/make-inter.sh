#!/usr/bin/env bash
# Regenerates the editor's fonts: Inter 4.001 at the 18pt optical size, Regular and Bold, as static
# TrueType instances of the variable font in the npm package inter-ui 4.1.1, plus its licence.
#
# Needs network access to the npm registry, npm, and Debian's python3-fonttools and python3-brotli
# (the .woff2 source is Brotli-compressed):
#   DEBIAN_FRONTEND=noninteractive apt-get install -y python3-fonttools python3-brotli
# The build itself only reads the committed files under resources/fonts.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="${1:-$here/../../resources/fonts}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

# Debian's interpreter carries the fonttools package; another python3 may come first on PATH.
python=/usr/bin/python3
if ! "$python" -c 'import fontTools, brotli' 2>/dev/null; then
    echo "make-inter.sh: $python lacks fontTools or brotli; install python3-fonttools python3-brotli" >&2
    exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd "$work" && npm pack --silent inter-ui@4.1.1 >/dev/null && tar xzf inter-ui-4.1.1.tgz)

"$python" - "$work/package/variable/InterVariable.woff2" "$out" <<'EOF'
import sys
from fontTools.ttLib import TTFont
from fontTools.varLib import instancer

source, out = sys.argv[1], sys.argv[2]

for style, weight in (("Regular", 400), ("Bold", 700)):
    font = TTFont(source, recalcTimestamp=False)
    version = font["name"].getDebugName(5)
    if not version.startswith("Version 4.001"):
        sys.exit(f"unexpected font version: {version}")

    font = instancer.instantiateVariableFont(font, {"wght": weight, "opsz": 18})
    font.flavor = None  # plain TrueType: FreeType and CoreText read it without a WOFF2 decoder

    # A static pair named like the desktop release, so the family reads "Inter" on every platform.
    names = font["name"]
    for nameId in (16, 17, 21, 22, 25):
        names.removeNames(nameID=nameId)
    for nameId, text in ((1, "Inter"), (2, style), (3, f"{version.split(';')[0][8:]};Inter-{style}"),
                         (4, f"Inter {style}"), (6, f"Inter-{style}")):
        names.setName(text, nameId, 3, 1, 0x409)
        names.setName(text, nameId, 1, 0, 0)

    bold = style == "Bold"
    os2 = font["OS/2"]
    os2.usWeightClass = weight
    os2.fsSelection = (os2.fsSelection & ~0b1100001) | (0b100000 if bold else 0b1000000)
    font["head"].macStyle = 1 if bold else 0

    # Keep the source's timestamp so regenerating gives identical files.
    font.save(f"{out}/Inter-{style}.ttf", reorderTables=True)
EOF

cp "$work/package/LICENSE.txt" "$out/LICENSE.txt"
echo "wrote $out/Inter-Regular.ttf, $out/Inter-Bold.ttf, $out/LICENSE.txt"
