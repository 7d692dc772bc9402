#!/bin/sh
# Renders the console's pictures from their SVG sources into the PNGs that icons.qrc lists. The
# PNGs are committed, so building never needs the renderer; run this after changing an SVG.
# Needs rsvg-convert (Debian package librsvg2-bin).
set -eu
cd "$(dirname "$0")"
for name in log-done log-info log-error tray-start tray-stop user-disconnect user-follow; do
    for size in 16 32; do
        rsvg-convert -w "$size" -h "$size" -o "$name-$size.png" "$name.svg"
    done
done
for size in 16 32 48 128 256; do
    rsvg-convert -w "$size" -h "$size" -o "oskserver-$size.png" oskserver.svg
done
