#!/bin/sh
# convert.sh - measures one whole-slide conversion: makes a synthetic slide of
# about 20000 x 15000 pixels with nvxmake, converts it with nvx2svs (four
# layers) and prints the wall time, CPU time, peak memory and output size.
#
# usage: bench/convert.sh [build folder] [WIDTHxHEIGHT]
set -eu

build=$(cd "${1:-build}" && pwd)
size=${2:-20000x15000}
work=$(mktemp -d "${TMPDIR:-/tmp}/nvx-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

for tool in "$build/nvxmake" "$build/nvx2svs" "$build/libNvxSlideLib.so"; do
    [ -e "$tool" ] || { echo "convert.sh: $tool is missing; build first" >&2; exit 2; }
done

echo "making a synthetic $size slide ..."
"$build/nvxmake" --synthetic "$size" "$work/slide.nvx" >/dev/null 2>"$work/nvxmake.log" \
    || { cat "$work/nvxmake.log" >&2; exit 2; }
echo "slide: $(du -h "$work/slide.nvx" | cut -f1)"

LC_ALL=C.UTF-8 LD_LIBRARY_PATH="$build" /usr/bin/time -v \
    "$build/nvx2svs" "$work/slide.nvx" "$work/out.tif" 4 >"$work/stdout" 2>"$work/time"
status=$?

awk -F': ' '
    /Elapsed \(wall clock\)/ { wall = $2 }
    /User time/              { user = $2 }
    /System time/            { sys = $2 }
    /Maximum resident/       { rss = $2 }
    END {
        printf "wall time:   %s\n", wall
        printf "CPU time:    %.2f s (user %s s, system %s s)\n", user + sys, user, sys
        printf "peak memory: %.1f MiB\n", rss / 1024
    }' "$work/time"
echo "output:      $(du -h "$work/out.tif" | cut -f1), exit status $status"
