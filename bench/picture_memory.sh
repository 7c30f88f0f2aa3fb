#!/bin/sh
# picture_memory.sh - measures what a large label costs the converter: makes
# a small synthetic slide whose label is a WIDTHxHEIGHT JPEG (libvips), with
# nvxmake, converts it with nvx2svs as a TIFF and as DICOM, and prints the
# wall time and peak memory of each run. A picture is decoded and encoded a
# row at a time into either output, so the peak should stay near that of
# the same slide with a small label, whatever the label's area.
#
# usage: bench/picture_memory.sh [build folder] [WIDTHxHEIGHT]
set -eu

build=$(cd "${1:-build}" && pwd)
size=${2:-20000x20000}
width=${size%x*}
height=${size#*x}
work=$(mktemp -d "${TMPDIR:-/tmp}/nvx-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

for tool in "$build/nvxmake" "$build/nvx2svs" "$build/libNvxSlideLib.so"; do
    [ -e "$tool" ] || { echo "picture_memory.sh: $tool is missing; build first" >&2; exit 2; }
done
command -v vips >/dev/null || { echo "picture_memory.sh: needs vips (libvips-tools)" >&2; exit 2; }

# measure SLIDE WHAT [options]: the output goes to out.tif, or to the
# folder out.dcm with --format dicom.
measure() {
    slide=$1 what=$2
    shift 2
    rm -rf "$work/out.tif" "$work/out.dcm"
    case " $* " in *" dicom "*) out="$work/out.dcm" ;; *) out="$work/out.tif" ;; esac
    LC_ALL=C.UTF-8 LD_LIBRARY_PATH="$build" /usr/bin/time -f '%e %M' \
        "$build/nvx2svs" "$slide" "$out" 4 "$@" >/dev/null 2>"$work/time" ||
        { cat "$work/time" >&2; exit 2; }
    tail -n 1 "$work/time" | awk -v what="$what" '{ printf "%-36s wall %6.2f s, peak memory %7.1f MiB\n", what, $1, $2 / 1024 }'
}

echo "making a ${width}x${height} label and two 4000x3000 slides ..."
vips black "$work/label.jpg[Q=90]" "$width" "$height" --bands 3
vips black "$work/small.jpg[Q=90]" 600 400 --bands 3
for label in small label; do
    "$build/nvxmake" --synthetic 4000x3000 "$work/$label.nvx" --mpp 0.25 \
        --label "$work/$label.jpg" >/dev/null 2>"$work/nvxmake.log" ||
        { cat "$work/nvxmake.log" >&2; exit 2; }
done
dicom="--format dicom --section-thickness 4"
measure "$work/small.nvx" "label 600x400, TIFF:"
measure "$work/label.nvx" "label ${width}x${height}, TIFF:"
# shellcheck disable=SC2086 # the options are words
measure "$work/small.nvx" "label 600x400, DICOM:" $dicom
# shellcheck disable=SC2086
measure "$work/label.nvx" "label ${width}x${height}, DICOM:" $dicom
