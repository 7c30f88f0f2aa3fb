#!/usr/bin/env bash
# Cross-builds the Windows package with mingw-w64 on Debian 12, as root:
#   scripts/build-windows.sh [FOLDER]          (default build-windows/)
# gives FOLDER/nvx2svs-X.Y.Z-windows-x64/ (nvx2svs.exe, NvxSlideLib.dll, the
# licences and a user's README) and FOLDER/nvx2svs-X.Y.Z-windows-x64.zip.
# libjpeg-turbo and libtiff are built, static and with only what the
# converter uses, from Debian's own source packages of the versions the
# Linux build links; they are kept in FOLDER/deps, so a
# second build only builds the project.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mkdir -p "${1:-$top/build-windows}" && cd "${1:-$top/build-windows}" && pwd)
jobs=$(($(nproc) < 2 ? $(nproc) : 2))
triplet=x86_64-w64-mingw32
version=$("$top/scripts/project-version.sh")
package=nvx2svs-$version-windows-x64

tiff_upstream=4.5.0
jpeg_version=1:2.1.5-2

packages=(cmake make pkg-config nasm dpkg-dev zip g++-mingw-w64-x86-64-posix
  gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev libtiff-dev
  nlohmann-json3-dev)
"$top/scripts/install-packages.sh" build-windows "${packages[@]}"

deps=$dir/deps
prefix=$deps/prefix
# libtiff: the Debian revision the Linux build links, else another revision
# of the same upstream release that the archive still serves.
tiff_installed=$(dpkg-query -W -f='${Version}' libtiff-dev)
stamp="tiff ${tiff_installed}; libjpeg-turbo ${jpeg_version}; static, jpeg only"

fetch_sources() {
  # Source packages come from the same archive and suites as the binary ones.
  if ! apt-get source --print-uris -qq "libjpeg-turbo=$jpeg_version" >/dev/null 2>&1; then
    local list=/etc/apt/sources.list.d/debian.sources
    [[ -f $list ]] || { echo "build-windows: no $list to take the deb-src suites from" >&2; exit 1; }
    sed 's/^Types: deb$/Types: deb-src/' "$list" >/etc/apt/sources.list.d/nvx2svs-deb-src.sources
    apt-get update -qq
  fi
  rm -rf "$deps/src" && mkdir -p "$deps/src"
  (cd "$deps/src" && apt-get source -qq "libjpeg-turbo=$jpeg_version" >/dev/null 2>&1) || {
    echo "build-windows: apt-get source libjpeg-turbo=$jpeg_version failed" >&2
    exit 1
  }
  local candidates version
  candidates=$(printf '%s\n' "$tiff_installed"
    apt-cache showsrc tiff | sed -n "s/^Version: \(${tiff_upstream//./\\.}-.*\)/\1/p" | sort -rV)
  for version in $candidates; do
    if (cd "$deps/src" && apt-get source -qq "tiff=$version" >/dev/null 2>&1); then
      echo "build-windows: libtiff from Debian source tiff $version"
      echo "$version" >"$deps/src/tiff-version"
      return
    fi
  done
  echo "build-windows: no Debian source of tiff $tiff_upstream could be fetched" >&2
  exit 1
}

build_deps() {
  local toolchain=$top/scripts/windows-toolchain.cmake
  echo "== Windows dependencies: libjpeg-turbo, libtiff (static, into $prefix)"
  fetch_sources
  rm -rf "$prefix" "$deps/build"
  cmake -S "$deps/src/libjpeg-turbo-2.1.5" -B "$deps/build/jpeg" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DENABLE_SHARED=OFF \
    -DENABLE_STATIC=ON -DWITH_TURBOJPEG=ON -DWITH_JAVA=OFF -DWITH_ARITH_ENC=OFF \
    -DWITH_ARITH_DEC=OFF -DWITH_SIMD=ON -DREQUIRE_SIMD=ON >"$deps/jpeg-configure.log"
  cmake --build "$deps/build/jpeg" -j"$jobs" --target install >"$deps/jpeg-build.log"
  local tiff_src
  tiff_src=$(echo "$deps"/src/tiff-${tiff_upstream})
  NVX_WINDOWS_DEPS=$prefix cmake -S "$tiff_src" -B "$deps/build/tiff" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -Djpeg=ON -Dold-jpeg=OFF -Djpeg12=OFF -Dzlib=OFF -Dlibdeflate=OFF -Dpixarlog=OFF \
    -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Djbig=OFF -Dlerc=OFF -Dcxx=OFF -Dtiff-tools=OFF \
    -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF -Dtiff-opengl=OFF -Dccitt=OFF \
    -Dpackbits=OFF -Dlzw=OFF -Dthunder=OFF -Dnext=OFF -Dlogluv=OFF -Dmdi=OFF \
    -DJPEG_INCLUDE_DIR="$prefix/include" -DJPEG_LIBRARY="$prefix/lib/libjpeg.a" \
    >"$deps/tiff-configure.log"
  cmake --build "$deps/build/tiff" -j"$jobs" --target install >"$deps/tiff-build.log"
  rm -rf "$deps/build"
  echo "$stamp" >"$prefix/stamp"
}

start=$SECONDS
if [[ ! -f $prefix/stamp || $(cat "$prefix/stamp") != "$stamp" ]]; then
  build_deps
  echo "== dependencies built in $((SECONDS - start)) s"
fi

echo "== build $dir/project"
export NVX_WINDOWS_DEPS=$prefix
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig:/usr/$triplet/lib/pkgconfig
cmake -S "$top" -B "$dir/project" -DCMAKE_TOOLCHAIN_FILE="$top/scripts/windows-toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNVX_WERROR=ON >/dev/null
cmake --build "$dir/project" -j"$jobs"

# The package: the converter and our slide library, with every run-time
# library linked in, so a Windows machine needs nothing else.
# With them, as Windows text files: the licence, the licences of what is
# linked in, and a README for the user (not the developers' README.md).
out=$dir/$package
rm -rf "$dir"/nvx2svs-*windows-x64 "$dir"/nvx2svs-*windows-x64.zip
mkdir -p "$out"
for f in nvx2svs.exe NvxSlideLib.dll; do
  $triplet-strip -o "$out/$f" "$dir/project/$f"
done
sed 's/$/\r/' "$top/LICENSE" >"$out/LICENSE.txt"
sed 's/$/\r/' "$top/THIRD-PARTY-NOTICES" >"$out/THIRD-PARTY-NOTICES.txt"
sed "s/@VERSION@/$version/; s/\$/\r/" "$top/packaging/windows/README.txt" >"$out/README.txt"

# Every DLL the two files name must be a Windows system DLL or one of the package's own.
system_dlls='^(kernel32|user32|advapi32|shell32|ole32|ws2_32|msvcrt|ucrtbase|bcrypt|ntdll)\.dll$|^api-ms-win-'
bad=0
for f in "$out"/*.exe "$out"/*.dll; do
  while read -r name; do
    lower=${name,,}
    if [[ -f $out/$name ]] || [[ $lower =~ $system_dlls ]]; then continue; fi
    echo "build-windows: $(basename "$f") needs $name, which is neither a system DLL nor in the package" >&2
    bad=1
  done < <($triplet-objdump -p "$f" | sed -n 's/^\s*DLL Name: //p')
done
((bad == 0)) || exit 1
(cd "$dir" && zip -qr "$package.zip" "$package")
echo "== package: $out ($(ls "$out" | tr '\n' ' ')), $out.zip; $((SECONDS - start)) s"
