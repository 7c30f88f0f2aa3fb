#!/usr/bin/env bash
# Converts every *.nvx under INPUT_DIR into OUTPUT_DIR (subfolders mirrored)
# through the Snakemake workflow in workflow/, and writes OUTPUT_DIR/report.html.
#   scripts/batch.sh INPUT_DIR OUTPUT_DIR [snakemake options]
#   scripts/batch.sh in out --profile workflow/profiles/slurm     # on Slurm
#   scripts/batch.sh in out --config layers=3 samples=sheet.csv  # workflow settings
# A run goes on past failed slides; a second run converts only what is
# missing or failed. The exit status is Snakemake's: non-zero if any failed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if (($# < 2)); then
  sed -n '2,8s/^# \{0,1\}//p' "$0" >&2
  exit 2
fi
[[ -d $1 ]] || { echo "batch: $1 is not a folder" >&2; exit 2; }
input=$(cd "$1" && pwd)
mkdir -p "$2"
output=$(cd "$2" && pwd)
shift 2
converter=${NVX2SVS:-$top/build/nvx2svs}  # NVX2SVS: another build's converter
[[ -x $converter ]] || { echo "batch: $converter is missing: run scripts/build.sh first" >&2; exit 2; }
converter=$(cd "$(dirname "$converter")" && pwd)/$(basename "$converter")

# Our settings and the caller's --config go into one --config, the caller's last.
config=("input=$input" "converter=$converter")
rest=()
cores_given=
while (($#)); do
  case $1 in
    --config | -C)
      shift
      while (($#)) && [[ $1 != -* ]]; do config+=("$1"); shift; done ;;
    --profile)
      # A profile of this repository works from any folder: --profile slurm too.
      cores_given=1; rest+=("$1"); shift
      if (($#)) && [[ ! -d $1 ]]; then
        for candidate in "$top/$1" "$top/workflow/profiles/$1"; do
          [[ -d $candidate ]] && { set -- "$candidate" "${@:2}"; break; }
        done
      fi ;;
    --cores | --cores=* | -c* | --jobs | --jobs=* | -j* | --profile=* | --slurm)
      cores_given=1; rest+=("$1"); shift ;;
    *) rest+=("$1"); shift ;;
  esac
done
# Locally every conversion takes all cores, so the jobs run one after another.
[[ -n $cores_given ]] || rest+=(--cores all)
# Snakemake's Slurm support needs USER.
export USER=${USER:-$(id -un)}

exec snakemake --snakefile "$top/workflow/Snakefile" --directory "$output" \
  --keep-going --rerun-incomplete "${rest[@]}" --config "${config[@]}"
