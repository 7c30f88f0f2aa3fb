#!/bin/sh
# slide_fetch.sh - throughput of the slide library: makes a synthetic slide
# (default 20000 x 15000) and one from the real scan in tests/data, then
# prints tile-fetch (tiles/s) and region-fetch (megapixels/s) figures with 1
# and 64 threads on one handle, and the peak memory.
#
# usage: bench/slide_fetch.sh [build folder] [WIDTHxHEIGHT]
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
size=${2:-20000x15000}
work=$(mktemp -d "${TMPDIR:-/tmp}/nvx-fetch-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

for f in "$build/nvxmake" "$build/libNvxSlideLib.so"; do
    [ -e "$f" ] || { echo "slide_fetch.sh: $f is missing; build first" >&2; exit 2; }
done

# The benchmark is a target of the build itself (NVX_BUILD_BENCH).
cmake -S "$root" -B "$build" -DNVX_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target slide_fetch_bench >/dev/null

echo "making a synthetic $size slide ..."
start=$(date +%s.%N)
"$build/nvxmake" --synthetic "$size" "$work/synthetic.nvx" 2>/dev/null
end=$(date +%s.%N)
echo "nvxmake: $(awk "BEGIN { printf \"%.1f\", $end - $start }") s, $(du -h "$work/synthetic.nvx" | cut -f1)"
"$build/slide_fetch_bench" "$work/synthetic.nvx" 1 64

scan="$root/tests/data/CMU-1-Small-Region.svs"
if [ -e "$scan" ]; then
    echo
    echo "making a slide from $(basename "$scan") (all tissue) ..."
    "$build/nvxmake" --from "$scan" --tile 240 "$work/scan.nvx" 2>/dev/null
    "$build/slide_fetch_bench" "$work/scan.nvx" 1 64
fi
