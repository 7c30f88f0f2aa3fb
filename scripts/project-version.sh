#!/usr/bin/env bash
# Prints the project's version, the one in the top CMakeLists.txt's project().
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
sed -n 's/^project(nvx2svs VERSION \([0-9][0-9.]*\) .*/\1/p' "$top/CMakeLists.txt"
