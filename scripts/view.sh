#!/usr/bin/env bash
# Serves a batch's output folder to a browser on this machine: the report and,
# for every converted slide, a zoomable viewer with its label, macro and a
# scale bar. Listens on 127.0.0.1 only; prints the address to open.
#   scripts/view.sh OUTPUT_DIR [--port N]     (default port 8017; Ctrl-C stops)
# From another machine: ssh -L 8017:127.0.0.1:8017 THIS_HOST, then open the address.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [[ ${1:-} == -h || ${1:-} == --help ]]; then sed -n '2,6s/^# \{0,1\}//p' "$0"; exit 0; fi
(($# >= 1)) || { sed -n '2,6s/^# \{0,1\}//p' "$0" >&2; exit 2; }
exec /usr/bin/python3 "$top/workflow/scripts/batch_viewer.py" "$@"
