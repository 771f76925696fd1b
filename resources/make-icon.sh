#!/usr/bin/env bash
# Draws the program's icon (a remittance page with shuffled lines) and
# writes program.ico with 16, 32 and 48 pixel images.  Needs ImageMagick.
# The .ico is committed; run this only to change the picture.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 48x48 xc:none \
  -fill white -stroke '#1f3a68' -strokewidth 2 -draw 'polygon 8,3 32,3 41,12 41,45 8,45' \
  -fill '#c8d3e6' -stroke '#1f3a68' -strokewidth 1 -draw 'polygon 32,3 32,12 41,12' \
  -stroke '#1f3a68' -strokewidth 2 -draw 'line 13,17 28,17' -draw 'line 13,23 36,23' \
  -stroke '#c0392b' -strokewidth 3 -draw 'line 13,30 36,40' -draw 'line 13,40 36,30' \
  -stroke '#1f3a68' -strokewidth 2 -draw 'line 13,35 20,35' \
  "$tmp/48.png"
for size in 32 16; do convert "$tmp/48.png" -resize ${size}x${size} "$tmp/$size.png"; done
convert "$tmp/16.png" "$tmp/32.png" "$tmp/48.png" program.ico
