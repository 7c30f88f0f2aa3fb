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
#   nvx2svs --tiles copy SLIDE OUT 4             (the stored tiles copied)
#   nvx2svs --chroma 420 SLIDE OUT 4             (YCbCr 4:2:0)
#   nvx2svs --quality 90 SLIDE OUT 4             (every level at 90)
#   nvx2svs --threads 1 SLIDE OUT 4              (one CPU)
#   nvx2svs --format dicom SLIDE OUT 4           (a folder of DICOM instances)
#   OrthancWSIDicomizer on the whole case's TIFF  (the two-step DICOM route)
#   vips tiffsave SOURCE ... --Q 60 --rgbjpeg    (RGB JPEG, like ours)
#   vips tiffsave SOURCE ... --Q 60              (its default, YCbCr 4:2:0)
# and prints the medians of wall time, CPU time, cores busy (CPU / wall) and
# peak memory, the size of the last run's file (or folder) and its PSNR
# against the source (first directory, a 4096 x 4096 area in the middle;
# not measured for the DICOM folders), and the
# ratios the converter is held to. The option cases run when the
# converter has the option.
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

# One timed run: appends "wall cpu rss_kib" to the case's record; the
# case's output stays as "$work/NAME.tif" until its next run.
measure() {
    local name=$1; shift
    local out="$work/$name.tif"
    rm -rf "$out"
    if ! env LC_ALL=C.UTF-8 /usr/bin/time -f "%e %U %S %M" -o "$work/time" "${@//@OUT@/$out}" \
        >/dev/null 2>"$work/stderr"; then
        echo "compare.sh: $name failed:" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    awk '{ printf "%.2f %.2f %d\n", $1, $2 + $3, $4 }' "$work/time" >>"$work/$name"
}

# The options this converter has: a case of an option it lacks is left out.
has_option() { "$build/nvx2svs" --help 2>/dev/null | grep -q -- "$1"; }

cases=(whole whole_pixels region)
has_option "--tiles" && cases+=(copy)
has_option "--chroma" && cases+=(chroma420)
has_option "--quality" && cases+=(quality90)
has_option "--threads" && cases+=(threads1)
# The DICOM cases: ours in one pass, and Orthanc's dicomizer after the TIFF.
if has_option "--format dicom"; then
    cases+=(dicom)
    command -v OrthancWSIDicomizer >/dev/null && cases+=(dicomizer)
fi
cases+=(vips_rgb vips_default)
for ((run = 1; run <= runs; run++)); do
    echo "run $run of $runs ..."
    for name in "${cases[@]}"; do
        case $name in
        whole) measure whole "$build/nvx2svs" "$source/slide.nvx" @OUT@ 4 ;;
        whole_pixels) measure whole_pixels env NVX2SVS_PIXEL_ROUTE=1 "$build/nvx2svs" \
            "$source/slide.nvx" @OUT@ 4 ;;
        region) measure region "$build/nvx2svs" "$source/slide.nvx" @OUT@ 9 40 0 0 "$width" \
            "$height" ;;
        copy) measure copy "$build/nvx2svs" --tiles copy "$source/slide.nvx" @OUT@ 4 ;;
        chroma420) measure chroma420 "$build/nvx2svs" --chroma 420 "$source/slide.nvx" @OUT@ 4 ;;
        quality90) measure quality90 "$build/nvx2svs" --quality 90 "$source/slide.nvx" @OUT@ 4 ;;
        threads1) measure threads1 "$build/nvx2svs" --threads 1 "$source/slide.nvx" @OUT@ 4 ;;
        dicom) measure dicom "$build/nvx2svs" --format dicom --section-thickness 4 \
            "$source/slide.nvx" @OUT@ 4 ;;
        dicomizer)
            measure dicomizer bash -c 'mkdir -p "$1" && exec OrthancWSIDicomizer --threads=2 \
                --folder="$1" "$2"' dicomizer @OUT@ "$work/whole.tif" ;;
        vips_rgb) measure vips_rgb vips tiffsave "$source/source.tif" @OUT@ --tile \
            --tile-width 256 --tile-height 256 --pyramid --compression jpeg --Q 60 --rgbjpeg ;;
        vips_default) measure vips_default vips tiffsave "$source/source.tif" @OUT@ --tile \
            --tile-width 256 --tile-height 256 --pyramid --compression jpeg --Q 60 ;;
        esac
    done
done

median() {  # median of column $2 of file $1
    sort -n -k"$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'
}

# PSNR of the first directory of $1 against the source, over a 4096 x 4096
# area in the middle (the whole image would not fit in memory as numbers;
# the source is one tissue sample mirrored, so the middle stands for it).
psnr() {
    local side=4096 left=$(((width - 4096) / 2)) top=$(((height - 4096) / 2))
    ((width < 4096 || height < 4096)) && { side=$((width < height ? width : height)); left=0; top=0; }
    # libvips opens ours through OpenSlide (its first level) and its own as a TIFF (the first page).
    local first="$1[page=0]"
    [[ $(vipsheader -f vips-loader "$1") == openslideload ]] && first="$1[level=0]"
    vips crop "$first" "$work/a.v" "$left" "$top" "$side" "$side"
    vips crop "$source/source.tif" "$work/b.v" "$left" "$top" "$side" "$side"
    vips extract_band "$work/a.v" "$work/a3.v" 0 --n 3
    vips extract_band "$work/b.v" "$work/b3.v" 0 --n 3
    vips rawsave "$work/a3.v" "$work/a.raw"
    vips rawsave "$work/b3.v" "$work/b.raw"
    local python=python3
    [[ -x /usr/bin/python3 ]] && python=/usr/bin/python3  # Debian's, with numpy
    "$python" - "$work/a.raw" "$work/b.raw" <<'PY' || { echo "compare.sh: the PSNR of $1 could not be measured" >&2; return 1; }
import sys
import numpy as np
a = np.fromfile(sys.argv[1], np.uint8).astype(np.float64)
b = np.fromfile(sys.argv[2], np.uint8).astype(np.float64)
mse = np.mean((a - b) ** 2)
print(f"{10 * np.log10(255 ** 2 / mse):.2f}" if mse > 0 else "inf")
PY
    rm -f "$work"/a.v "$work"/b.v "$work"/a3.v "$work"/b3.v "$work"/a.raw "$work"/b.raw
}
[[ -x /usr/bin/python3 ]] || command -v python3 >/dev/null ||
    { echo "compare.sh: python3 with numpy is missing" >&2; exit 2; }

printf "\n%-14s %9s %9s %7s %10s %9s %8s\n" case wall CPU cores "peak MiB" "size MB" "PSNR dB"
declare -A wall cpu size quality
for name in "${cases[@]}"; do
    wall[$name]=$(median "$work/$name" 1)
    cpu[$name]=$(median "$work/$name" 2)
    rss=$(median "$work/$name" 3)
    if [[ -d $work/$name.tif ]]; then
        size[$name]=$(du -sb "$work/$name.tif" | cut -f1)
        quality[$name]=-
    else
        size[$name]=$(stat -c %s "$work/$name.tif")
        quality[$name]=$(psnr "$work/$name.tif")
    fi
    awk -v n="$name" -v w="${wall[$name]}" -v c="${cpu[$name]}" -v r="$rss" \
        -v s="${size[$name]}" -v q="${quality[$name]}" \
        'BEGIN { printf "%-14s %8.2fs %8.2fs %7.2f %10.1f %9.1f %8s\n", n, w, c, c / w, r / 1024,
                 s / 1e6, q }'
done
awk -v w="${wall[whole]}" -v p="${wall[whole_pixels]}" -v r="${wall[region]}" \
    -v vr="${wall[vips_rgb]}" -v vd="${wall[vips_default]}" 'BEGIN {
        printf "\nwhole / vips --rgbjpeg:  %.2f  (target <= 0.26)\n", w / vr
        printf "whole / vips default:    %.2f  (target <= 0.47)\n", w / vd
        printf "whole / pixel route:     %.2f  (target <= 0.75)\n", w / p
        printf "pixel route / vips --rgbjpeg: %.2f, / vips default: %.2f\n", p / vr, p / vd
        printf "region / whole:          %.2f\n", r / w
    }'
if [[ -n ${wall[copy]:-} ]]; then
    awk -v c="${wall[copy]}" -v w="${wall[whole]}" -v vr="${wall[vips_rgb]}" 'BEGIN {
        printf "copy / vips --rgbjpeg:   %.2f  (target <= 0.05)\n", c / vr
        printf "copy / whole:            %.2f  (target <= 0.10)\n", c / w
    }'
fi
if [[ -n ${wall[chroma420]:-} ]]; then
    awk -v c="${wall[chroma420]}" -v vd="${wall[vips_default]}" -v s="${size[chroma420]}" \
        -v vs="${size[vips_default]}" -v q="${quality[chroma420]}" -v vq="${quality[vips_default]}" \
        'BEGIN {
        printf "4:2:0 / vips default:    %.2f  (target <= 0.50)\n", c / vd
        printf "4:2:0 size / vips default size: %.2f  (target <= 1.10)\n", s / vs
        printf "4:2:0 PSNR - vips default PSNR: %+.2f dB  (target >= 0)\n", q - vq
    }'
fi
if [[ -n ${wall[dicom]:-} ]]; then
    awk -v d="${wall[dicom]}" -v w="${wall[whole]}" -v z="${wall[dicomizer]:-}" 'BEGIN {
        printf "dicom / whole:           %.2f  (target <= 1.10)\n", d / w
        if (z != "") printf "dicom / (whole + dicomizer): %.2f  (target < 1)\n", d / (w + z)
    }'
fi
