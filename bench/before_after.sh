#!/usr/bin/env bash
# before_after.sh - two builds of the converter on the same slide, in turn.
#
# Runs every case RUNS times with each build, the builds alternating run by
# run so that a busy machine slows both alike; checks that both builds
# write the same bytes in each case; and prints, per case and build, the
# medians of wall time, CPU time (user + system) and peak memory (maximum
# resident set, /usr/bin/time).
#
# usage: bench/before_after.sh BEFORE_BUILD AFTER_BUILD SLIDE RUNS CASE...
# A CASE is NAME=ARGUMENTS, its arguments those after the output's name,
# led by any VARIABLE=VALUE settings for the converter's environment, e.g.
#   bench/before_after.sh /tmp/old/build build slide.nvx 5 whole=4 \
#       'pixels=NVX2SVS_PIXEL_ROUTE=1 4' 'region=9 40 0 0 40000 30000'
set -euo pipefail

[[ $# -ge 5 ]] || { sed -n '2,15p' "$0" >&2; exit 2; }
before=$(cd "$1" && pwd)
after=$(cd "$2" && pwd)
slide=$3
runs=$4
shift 4
for build in "$before" "$after"; do
    [[ -x "$build/nvx2svs" ]] || { echo "before_after.sh: $build/nvx2svs is missing" >&2; exit 2; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/nvx-before-after-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# One timed run of build $1 on case $2 ($3...: its arguments): appends
# "wall cpu rss_kib" to the case's record and leaves the output's checksum.
measure() {
    local build=$1 name=$2 side
    shift 2
    local settings=()
    while [[ $# -gt 0 && $1 == *=* ]]; do settings+=("$1"); shift; done
    side=$([[ $build == "$before" ]] && echo before || echo after)
    rm -f "$work/out.tif"
    if ! env "${settings[@]}" LC_ALL=C.UTF-8 /usr/bin/time -f "%e %U %S %M" -o "$work/time" \
        "$build/nvx2svs" "$slide" "$work/out.tif" "$@" >/dev/null 2>"$work/stderr"; then
        echo "before_after.sh: $name failed with $build:" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    awk '{ printf "%.2f %.2f %d\n", $1, $2 + $3, $4 }' "$work/time" >>"$work/$name.$side"
    md5sum <"$work/out.tif" | cut -d' ' -f1 >"$work/$name.$side.sum"
}

for ((run = 1; run <= runs; run++)); do
    echo "run $run of $runs ..."
    for case in "$@"; do
        name=${case%%=*}
        read -r -a arguments <<<"${case#*=}"
        # Which build goes first alternates too.
        if ((run % 2)); then order=("$before" "$after"); else order=("$after" "$before"); fi
        for build in "${order[@]}"; do measure "$build" "$name" "${arguments[@]}"; done
        cmp -s "$work/$name.before.sum" "$work/$name.after.sum" ||
            { echo "before_after.sh: $name: the builds wrote different bytes" >&2; exit 1; }
    done
done

median() {  # median of column $2 of file $1
    sort -n -k"$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'
}

printf "\n%-14s %-7s %9s %9s %10s\n" case build wall CPU "peak MiB"
for case in "$@"; do
    name=${case%%=*}
    for side in before after; do
        awk -v n="$name" -v s="$side" -v w="$(median "$work/$name.$side" 1)" \
            -v c="$(median "$work/$name.$side" 2)" -v r="$(median "$work/$name.$side" 3)" \
            'BEGIN { printf "%-14s %-7s %8.2fs %8.2fs %10.1f\n", n, s, w, c, r / 1024 }'
    done
    echo "  same bytes: $(cat "$work/$name.after.sum")"
done
