#!/usr/bin/env bash
# Serves a batch's output folder to a browser on this machine: the report and,
# for every converted slide, a zoomable viewer with its label, macro and a
# scale bar. Listens on 127.0.0.1 only; prints the address to open.
#   scripts/view.sh OUTPUT_DIR [--port N]     (default port 8017; Ctrl-C stops)
# From another machine: ssh -L 8017:127.0.0.1:8017 THIS_HOST, then open the address.
set -euo pipefail
# Installed as nvx2svs-view, the viewer is in PREFIX/share/nvx2svs.
here=$(cd "$(dirname "$(readlink -f -- "$0")")" && pwd)
if [[ -f $here/../share/nvx2svs/Snakefile ]]; then
  workflow=$here/../share/nvx2svs self=nvx2svs-view
else
  workflow=$here/../workflow self=scripts/view.sh
fi
usage() { sed -n '2,6s/^# \{0,1\}//p' "$0" | sed "s|scripts/view.sh|$self|"; }
if [[ ${1:-} == -h || ${1:-} == --help ]]; then usage; exit 0; fi
(($# >= 1)) || { usage >&2; exit 2; }
export PYTHONDONTWRITEBYTECODE=1
exec /usr/bin/python3 "$workflow/scripts/batch_viewer.py" "$@"
