#!/usr/bin/env bash
# compare.sh - nvx2svs against libvips on the same pixels.
#
# Makes the source once: the CMU sample scan mirrored out to WIDTHxHEIGHT
# (default 40000x30000) with libvips, saved as a tiled JPEG TIFF of quality
# 85, then stored as an nvx slide with nvxmake at the same quality (40x,
# 0.25 um/px). Then runs, RUNS times each in turn (default 3):
#   nvx2svs SLIDE OUT 4                          (whole slide)
#   the same with NVX2SVS_PIXEL_ROUTE=1          (stored tiles decoded and encoded)
#   nvx2svs SLIDE OUT 9 40 0 0 WIDTH HEIGHT      (the same area as a region)
#   vips tiffsave SOURCE ... --Q 60 --rgbjpeg    (RGB JPEG, like ours)
#   vips tiffsave SOURCE ... --Q 60              (its default, YCbCr 4:2:0)
# and prints the medians of wall time, CPU time, cores busy (CPU / wall) and
# peak memory, and the ratios the converter is held to.
#
# usage: bench/compare.sh [build folder] [WIDTHxHEIGHT] [RUNS]
# With NVX_BENCH_SOURCE=FOLDER the source is kept in FOLDER and reused by
# later runs of the same size.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
size=${2:-40000x30000}
runs=${3:-3}
width=${size%x*}
height=${size#*x}
work=$(mktemp -d "${TMPDIR:-/tmp}/nvx-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

for tool in "$build/nvxmake" "$build/nvx2svs" "$build/libNvxSlideLib.so"; do
    [[ -e "$tool" ]] || { echo "compare.sh: $tool is missing; build first" >&2; exit 2; }
done
command -v vips >/dev/null || { echo "compare.sh: vips is missing (libvips-tools)" >&2; exit 2; }

source=${NVX_BENCH_SOURCE:-$work}/$size
mkdir -p "$source"
if [[ ! -s "$source/slide.nvx" ]]; then
    echo "making the source: the CMU sample mirrored to ${width}x${height} ..."
    vips embed "$top/tests/data/CMU-1-Small-Region.svs" "$source/source.v" 0 0 "$width" \
        "$height" --extend mirror
    vips tiffsave "$source/source.v" "$source/source.tif" --tile --tile-width 256 \
        --tile-height 256 --compression jpeg --Q 85
    rm -f "$source/source.v"
    "$build/nvxmake" --from "$source/source.tif" "$source/slide.nvx.part" --quality 85 --mag 40 \
        --mpp 0.25 >/dev/null 2>"$work/nvxmake.log" || { cat "$work/nvxmake.log" >&2; exit 2; }
    mv "$source/slide.nvx.part" "$source/slide.nvx"
fi
echo "source: $(du -h "$source/source.tif" | cut -f1) tiled TIFF, $(du -h "$source/slide.nvx" | cut -f1) nvx"

# One timed run: appends "wall cpu rss_kib" to the case's record.
measure() {
    local name=$1; shift
    rm -f "$work/out.tif"
    if ! env LC_ALL=C.UTF-8 /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" \
        >/dev/null 2>"$work/stderr"; then
        echo "compare.sh: $name failed:" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    awk '{ printf "%.2f %.2f %d\n", $1, $2 + $3, $4 }' "$work/time" >>"$work/$name"
}

cases=(whole whole_pixels region vips_rgb vips_default)
for ((run = 1; run <= runs; run++)); do
    echo "run $run of $runs ..."
    measure whole "$build/nvx2svs" "$source/slide.nvx" "$work/out.tif" 4
    measure whole_pixels env NVX2SVS_PIXEL_ROUTE=1 "$build/nvx2svs" "$source/slide.nvx" \
        "$work/out.tif" 4
    measure region "$build/nvx2svs" "$source/slide.nvx" "$work/out.tif" 9 40 0 0 "$width" "$height"
    measure vips_rgb vips tiffsave "$source/source.tif" "$work/out.tif" --tile --tile-width 256 \
        --tile-height 256 --pyramid --compression jpeg --Q 60 --rgbjpeg
    measure vips_default vips tiffsave "$source/source.tif" "$work/out.tif" --tile \
        --tile-width 256 --tile-height 256 --pyramid --compression jpeg --Q 60
done

median() {  # median of column $2 of file $1
    sort -n -k"$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'
}

printf "\n%-14s %9s %9s %7s %10s\n" case wall CPU cores "peak MiB"
declare -A wall cpu
for name in "${cases[@]}"; do
    wall[$name]=$(median "$work/$name" 1)
    cpu[$name]=$(median "$work/$name" 2)
    rss=$(median "$work/$name" 3)
    awk -v n="$name" -v w="${wall[$name]}" -v c="${cpu[$name]}" -v r="$rss" \
        'BEGIN { printf "%-14s %8.2fs %8.2fs %7.2f %10.1f\n", n, w, c, c / w, r / 1024 }'
done
awk -v w="${wall[whole]}" -v p="${wall[whole_pixels]}" -v r="${wall[region]}" \
    -v vr="${wall[vips_rgb]}" -v vd="${wall[vips_default]}" 'BEGIN {
        printf "\nwhole / vips --rgbjpeg:  %.2f  (target <= 0.26)\n", w / vr
        printf "whole / vips default:    %.2f  (target <= 0.47)\n", w / vd
        printf "whole / pixel route:     %.2f  (target <= 0.75)\n", w / p
        printf "pixel route / vips --rgbjpeg: %.2f, / vips default: %.2f\n", p / vr, p / vd
        printf "region / whole:          %.2f\n", r / w
    }'
