#!/usr/bin/env bash
# Installs what nvx2svs needs to build and test on Debian 12, as root.
set -euo pipefail

# The batch workflow and its tests also need Snakemake, a single-node Slurm
# cluster (slurmctld, slurmd, munge) and a browser for the report (chromium);
# the DICOM tests the standard's validator (dicom3tools), dcmtk's dcmdump, a
# PACS with its whole-slide viewer (orthanc, orthanc-wsi) and, for the
# batch's STOW-RS uploads, its DICOMweb plugin (orthanc-dicomweb).
packages=(
  build-essential cmake pkg-config git
  libtiff-dev libjpeg-dev libturbojpeg0-dev libopenslide-dev libgtest-dev nlohmann-json3-dev
  libssl-dev
  python3 python3-openslide python3-tifffile python3-numpy python3-jsonschema python3-pil
  python3-pydicom
  openslide-tools libtiff-tools libvips-tools
  locales time clang-format clang-tidy gdal-bin man-db lintian acl
  snakemake slurmctld slurmd slurm-client munge chromium orthanc-wsi
  orthanc-dicomweb dicom3tools dcmtk
)
# And every program the tests call (scripts/test-programs.txt).
while read -r program package _; do
  [[ -z $program || $program == \#* ]] || packages+=("$package")
done <"$(dirname "$0")/test-programs.txt"
"$(dirname "$0")/install-packages.sh" setup "${packages[@]}"

# The console tests print in a GBK console too.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.gbk$'; then
  localedef -i zh_CN -f GBK zh_CN.GBK
fi

# The batch viewer's OpenSeadragon (npm), kept in workflow/viewer/node_modules,
# and the DICOM viewer test's dicom-microscopy-viewer, in
# tests/dicom/microscopy_viewer/node_modules.
command -v npm >/dev/null || "$(dirname "$0")/install-packages.sh" setup npm
viewer=$(cd "$(dirname "$0")/../workflow/viewer" && pwd)
[[ -f $viewer/node_modules/openseadragon/build/openseadragon/openseadragon.min.js ]] ||
  npm ci --prefix "$viewer" --no-audit --no-fund --loglevel=error
microscopy=$(cd "$(dirname "$0")/../tests/dicom/microscopy_viewer" && pwd)
[[ -f $microscopy/node_modules/dicom-microscopy-viewer/dist/dynamic-import/dataLoader.worker.min.js ]] ||
  npm ci --prefix "$microscopy" --no-audit --no-fund --loglevel=error
