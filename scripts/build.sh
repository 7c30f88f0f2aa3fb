#!/usr/bin/env bash
# Builds nvx2svs into build/ (or the folder given), with extra CMake options after it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build}
shift || true
cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNVX_WERROR=ON "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
