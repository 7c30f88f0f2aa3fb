#!/bin/sh
# Builds the slide library's fuzz target with clang's libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer into build-fuzz/ (not part of the default
# g++ build). Usage: fuzz/build.sh [BUILD_DIR]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-fuzz}
mkdir -p "$out"
CXX=${CXX:-clang++-14}
$CXX -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -DFUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION \
  -I"$root/nvxlib" \
  "$root"/nvxlib/nvx_format.cpp "$root"/nvxlib/jpeg_codec.cpp "$root"/nvxlib/slide_file.cpp \
  "$root"/nvxlib/tile_cache.cpp "$root"/nvxlib/scale_mapping.cpp \
  "$root"/nvxlib/region_sampler.cpp "$root"/nvxlib/slide_reader.cpp \
  "$root"/nvxlib/handle_table.cpp "$root"/nvxlib/nvx_slide_lib.cpp \
  "$root/fuzz/nvx_open_fetch_fuzzer.cpp" \
  $(pkg-config --cflags --libs libturbojpeg zlib) -lpthread \
  -o "$out/nvx_open_fetch_fuzzer"
echo "built $out/nvx_open_fetch_fuzzer"
