#!/usr/bin/env bash
# copy_levels.sh - --tiles copy against the default route, in the TIFF and
# in DICOM, on one slide.
#
# Runs four cases RUNS times each, in turn, so that a busy machine slows
# them alike:
#   tiff        nvx2svs SLIDE OUT 4
#   tiff_copy   nvx2svs SLIDE OUT 4 --tiles copy   (every stored level copied, checked)
#   dicom       nvx2svs SLIDE OUT 4 --format dicom --section-thickness 4
#   dicom_copy  the same with --tiles copy
# and prints the medians of wall time, CPU time (user + system) and peak
# memory, the load average before the runs and after them, and the ratios:
# each copy against its default route, and each DICOM run against the TIFF
# run of the same options.
#
# usage: bench/copy_levels.sh [build folder] SLIDE [RUNS]
# The slide is compare.sh's (the CMU sample mirrored out to 40000 x 30000,
# stored by nvxmake at quality 85; NVX_BENCH_SOURCE keeps it).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
slide=${2:?usage: bench/copy_levels.sh [build folder] SLIDE [RUNS]}
runs=${3:-5}
[[ -x "$build/nvx2svs" ]] || { echo "copy_levels.sh: $build/nvx2svs is missing" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/nvx-copy-levels-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

dicom=(--format dicom --section-thickness 4)
declare -A args=(
    [tiff]="4"
    [tiff_copy]="4 --tiles copy"
    [dicom]="4 ${dicom[*]}"
    [dicom_copy]="4 --tiles copy ${dicom[*]}"
)
cases=(tiff tiff_copy dicom dicom_copy)

# One timed run: appends "wall cpu rss_kib" to the case's record.
measure() {
    local name=$1
    rm -rf "$work/out"
    # shellcheck disable=SC2086 # the case's arguments are words
    if ! env LC_ALL=C.UTF-8 LD_LIBRARY_PATH="$build" /usr/bin/time -f "%e %U %S %M" \
        -o "$work/time" "$build/nvx2svs" "$slide" "$work/out" ${args[$name]} \
        >/dev/null 2>"$work/stderr"; then
        echo "copy_levels.sh: $name failed:" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    awk '{ printf "%.2f %.2f %d\n", $1, $2 + $3, $4 }' "$work/time" >>"$work/$name"
}

median() {  # median of column $2 of file $1
    sort -n -k"$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
for ((run = 1; run <= runs; ++run)); do
    for name in "${cases[@]}"; do measure "$name"; done
done
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"

declare -A wall
printf "%-11s %8s %8s %9s   (medians of %d runs)\n" case wall_s cpu_s peak_MiB "$runs"
for name in "${cases[@]}"; do
    wall[$name]=$(median "$work/$name" 1)
    printf "%-11s %8s %8s %9.1f\n" "$name" "${wall[$name]}" "$(median "$work/$name" 2)" \
        "$(awk -v k="$(median "$work/$name" 3)" 'BEGIN { print k / 1024 }')"
done
awk -v t="${wall[tiff]}" -v tc="${wall[tiff_copy]}" -v d="${wall[dicom]}" \
    -v dc="${wall[dicom_copy]}" 'BEGIN {
    printf "copy / default:  TIFF %.2fx, DICOM %.2fx (at most 0.4x)\n", tc / t, dc / d
    printf "DICOM / TIFF:    default %.2fx, copy %.2fx (at most 1.05x)\n", d / t, dc / tc
}'
