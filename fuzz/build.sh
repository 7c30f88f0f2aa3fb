#!/bin/sh
# Builds the slide library's fuzz target with clang's libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer into build-fuzz/ (not part of the default
# g++ build, which builds the same target with a plain main when
# NVX_BUILD_FUZZ is on). Usage: fuzz/build.sh [BUILD_DIR]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-fuzz}
cmake -S "$root" -B "$out" -DCMAKE_C_COMPILER="${CC:-clang-14}" \
  -DCMAKE_CXX_COMPILER="${CXX:-clang++-14}" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DNVX_SANITIZE=address,undefined -DNVX_BUILD_FUZZ=ON >/dev/null
cmake --build "$out" --target nvx_open_fetch_fuzzer -j"$(nproc)"
echo "built $out/nvx_open_fetch_fuzzer"
