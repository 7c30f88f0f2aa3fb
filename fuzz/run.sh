#!/bin/sh
# Fuzzes the open-and-fetch path for SECONDS (default 600) on a working corpus
# in fuzz/corpus/ (git-ignored), seeded from fuzz/seeds/. Crash inputs land in
# build-fuzz/; copy each into fuzz/regressions/ so the tests replay it.
# Usage: fuzz/run.sh [SECONDS] [JOBS]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
jobs=${2:-1}
"$root/fuzz/build.sh" "$root/build-fuzz"
mkdir -p "$root/fuzz/corpus"
cd "$root/build-fuzz"
parallel=""
if [ "$jobs" -gt 1 ]; then parallel="-fork=$jobs"; fi
exec ./nvx_open_fetch_fuzzer -max_total_time="$seconds" -max_len=65536 -timeout=10 \
  -rss_limit_mb=2048 $parallel -print_final_stats=1 \
  "$root/fuzz/corpus" "$root/fuzz/seeds"
