#!/usr/bin/env bash
# Draws the viewer's pictures: rtflogo.bmp (120 x 60, 24-bit: two remittance
# pages with lines changing places) and rtfabout.ico (32 x 32, 256 colours:
# a page with an "i").  Needs ImageMagick.  Both files are committed; run
# this only to change them.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 120x60 xc:'#94ac75' \
  -fill white -stroke '#1f3a68' -strokewidth 2 -draw 'polygon 8,6 36,6 44,14 44,54 8,54' \
  -draw 'polygon 76,6 104,6 112,14 112,54 76,54' \
  -stroke '#1f3a68' -strokewidth 2 -draw 'line 14,20 38,20' -draw 'line 14,30 30,30' \
  -draw 'line 14,40 38,40' -draw 'line 82,20 98,20' -draw 'line 82,30 106,30' \
  -draw 'line 82,40 106,40' \
  -stroke '#c0392b' -strokewidth 3 -draw 'line 50,24 68,24' -draw 'line 50,36 68,36' \
  -fill '#c0392b' -strokewidth 1 -draw 'polygon 68,19 74,24 68,29' -draw 'polygon 50,31 44,36 50,41' \
  -type TrueColor BMP3:rtflogo.bmp
convert -size 32x32 gradient:'#ffffff-#7fa6d8' "$tmp/shade.png"
convert -size 32x32 xc:none \
  -fill "$tmp/shade.png" -stroke '#1f3a68' -strokewidth 2 -draw 'polygon 5,2 21,2 27,8 27,30 5,30' \
  -fill '#1f3a68' -stroke none -draw 'circle 16,10 16,12' -draw 'rectangle 14,14 18,26' \
  "$tmp/32.png"
convert "$tmp/32.png" -background white -flatten -colors 256 -type Palette BMP3:"$tmp/32.bmp"
convert "$tmp/32.bmp" -colors 256 rtfabout.ico
