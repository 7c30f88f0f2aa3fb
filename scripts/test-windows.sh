#!/usr/bin/env bash
# Builds the Windows package (scripts/build-windows.sh) and tests it under
# Wine, as root on Debian 12:
#   scripts/test-windows.sh [LINUX_BUILD]     (default build/)
# The console cases of the Linux console tests in code pages 65001 and 936,
# and conversions of a slide made by the Linux nvxmake, compared with the
# Linux build's output for the same arguments.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
linux=${1:-$top/build}
start=$SECONDS

packages=(wine wine64 python3-openslide python3-tifffile)
"$top/scripts/install-packages.sh" test-windows "${packages[@]}"

[[ -x $linux/nvxmake && -x $linux/nvx2svs ]] || "$top/scripts/build.sh" "$linux"
"$top/scripts/build-windows.sh" "$top/build-windows"
echo "== Windows package built in $((SECONDS - start)) s"

tests=$top/tests/windows
package=$top/build-windows/nvx2svs-$("$top/scripts/project-version.sh")-windows-x64
echo "== Windows zip: files, licences, version resources"
/usr/bin/python3 "$tests/windows_package_test.py" "$top/build-windows" "$top"
echo "== Wine: console runs"
/usr/bin/python3 "$tests/wine_console_runs_test.py" "$top/build-windows/project"
echo "== Wine: conversions"
/usr/bin/python3 "$tests/wine_conversion_test.py" "$package" "$linux"
echo "== Windows tests passed in $((SECONDS - start)) s"
