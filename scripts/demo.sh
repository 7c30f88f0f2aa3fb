#!/usr/bin/env bash
# Sets up, builds, makes a sample slide and converts it: the quick start.
#   scripts/demo.sh [WIDTHxHEIGHT]     (default 24000x16000)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
size=${1:-24000x16000}
"$top/scripts/setup.sh"
"$top/scripts/build.sh" "$top/build"

mkdir -p "$top/demo"
cd "$top/demo"
echo "== making a synthetic ${size} slide: demo/sample.nvx"
"$top/build/nvxmake" --synthetic "$size" sample.nvx
echo "== converting it: demo/sample.svs"
status=0
"$top/build/nvx2svs" sample.nvx sample.svs 4 || status=$?
echo
echo "== nvx2svs exit status: $status"
if [[ $status -eq 0 ]]; then
  echo "== what OpenSlide sees in demo/sample.svs:"
  openslide-show-properties sample.svs | grep -E 'openslide\.(vendor|level-count|level\[[0-9]+\]\.(width|height)|objective-power|mpp-x)|^associated' || true
  /usr/bin/python3 -c 'import openslide, sys; s = openslide.OpenSlide(sys.argv[1]); print("associated images:", ", ".join(f"{k} {v.size[0]}x{v.size[1]}" for k, v in s.associated_images.items()))' sample.svs || true
  vips copy sample.svs[level=2] sample-level2.png 2>/dev/null && echo "== level 2 as a picture: demo/sample-level2.png"
fi
exit "$status"
