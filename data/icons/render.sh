#!/usr/bin/env bash
# Renders the icon's PNG sizes from natter-duo.svg (needs librsvg2-bin).
# Run after changing the SVG and commit the PNGs with it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
for size in 16 22 24 32 48 64 128 256; do
    mkdir -p "$size"
    rsvg-convert -w "$size" -h "$size" natter-duo.svg -o "$size/natter-duo.png"
done
