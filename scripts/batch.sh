#!/usr/bin/env bash
# Converts every *.nvx under INPUT_DIR into OUTPUT_DIR (subfolders mirrored)
# through the Snakemake workflow, and writes OUTPUT_DIR/report.html and report.csv.
#   scripts/batch.sh INPUT_DIR OUTPUT_DIR [options] [snakemake options]
#   scripts/batch.sh in out --profile slurm                      # on Slurm
#   scripts/batch.sh in out --config layers=3 samples=sheet.csv  # settings
# Settings (--config KEY=VALUE): layers (1-9), samples (a CSV sample sheet,
# relative to the current folder), mpp (as nvx2svs --mpp), no_label and
# no_macro (true or false, as nvx2svs --no-label / --no-macro), threads (1 or
# more), tiles (copy), quality (1-100), chroma (420), format (tiff or dicom:
# NAME.dicom, a folder of DICOM instances), dicom_metadata (a JSON file) and
# section_thickness (microns, which DICOM output needs) as nvx2svs's options
# of those names, deidentify (true: no label and no
# macro in the outputs, the report, the logs or the viewer), pacs
# (http://HOST:PORT: every DICOM slide uploaded there), pacs_api (orthanc, the
# default, or stowrs), dicomweb_root (STOW-RS's path, /dicom-web) and
# pacs_timeout (seconds one slide's whole upload may take, 3600),
# converter, python, and on Slurm cpus and mem_mb (the cluster's node size).
# A run goes on past failed slides; a second run converts only what is
# missing or failed, also after a killed run. It ends with a line that counts
# the slides; the status is 1 if any failed. scripts/view.sh OUTPUT_DIR shows the result.
# Needs Snakemake 7 (Debian 12 has 7.21).
set -euo pipefail
# Installed (nvx2svs-batch in PREFIX/bin) the workflow is in PREFIX/share/nvx2svs
# and the converter beside this program; in a checkout they are workflow/
# and build/nvx2svs.
here=$(cd "$(dirname "$(readlink -f -- "$0")")" && pwd)
if [[ -f $here/../share/nvx2svs/Snakefile ]]; then
  workflow=$(cd "$here/../share/nvx2svs" && pwd)
  built=$here/nvx2svs
  self=nvx2svs-batch view=nvx2svs-view
else
  workflow=$(cd "$here/../workflow" && pwd)
  built=$(cd "$here/.." && pwd)/build/nvx2svs
  self=scripts/batch.sh view=scripts/view.sh
fi
usage() { sed -n '2,22s/^# \{0,1\}//p' "$0" | sed "s|scripts/batch.sh|$self|; s|scripts/view.sh|$view|"; }
[[ ${1:-} == -h || ${1:-} == --help ]] && { usage; exit 0; }
if (($# < 2)); then
  usage >&2
  exit 2
fi
[[ -d $1 ]] || { echo "batch: $1 is not a folder" >&2; exit 2; }
input=$(cd -- "$1" && pwd)
mkdir -p -- "$2"
output=$(cd -- "$2" && pwd)
shift 2
caller=$PWD
converter=${NVX2SVS:-$built}  # NVX2SVS: another build's converter
[[ -x $converter ]] || { echo "batch: $converter is missing: run scripts/build.sh first" >&2; exit 2; }
converter=$(cd -- "$(dirname -- "$converter")" && pwd)/$(basename -- "$converter")

# Every setting reaches the workflow through the environment, as data: a
# folder named "Batch #2" or "in: x" is never read as YAML.
export NVX_BATCH_INPUT=$input NVX_BATCH_CONVERTER=$converter NVX_BATCH_VIEW=$view
# Nothing written beside the installed scripts.
export PYTHONDONTWRITEBYTECODE=1
# The converter's options the batch can set come from the workflow's own
# table (batch_plan.py), which checks their values before any work.
read -ra option_settings < <(/usr/bin/python3 "$workflow/scripts/batch_plan.py" --option-settings)
setting() {
  local key=${1%%=*} value=${1#*=} known
  [[ $1 == *=* ]] || { echo "batch: --config needs KEY=VALUE, not '$1'" >&2; exit 2; }
  case $key in
    samples | dicom_metadata) [[ -z $value || $value == /* ]] || value=$caller/$value ;;
    layers | deidentify | converter | python | cpus | mem_mb | pacs | pacs_api | dicomweb_root | pacs_timeout) ;;
    *) for known in "${option_settings[@]}"; do [[ $key == "$known" ]] && break; done
       if [[ $key != "${known:-}" ]]; then
         known="layers, samples, ${option_settings[*]/%/,} deidentify, converter, python,"
         known+=" pacs, pacs_api, dicomweb_root, pacs_timeout, cpus, mem_mb"
         echo "batch: unknown setting '$key' ($known)" >&2
         exit 2
       fi ;;
  esac
  export "NVX_BATCH_${key^^}=$value"
}
rest=()
cores_given=
slurm=
while (($#)); do
  case $1 in
    --config | -C)
      shift
      while (($#)) && [[ $1 != -* ]]; do setting "$1"; shift; done ;;
    --profile)
      # The workflow's profiles work from any folder: --profile slurm.
      cores_given=1; rest+=("$1"); shift
      if (($#)) && [[ ! -d $1 ]]; then
        for candidate in "$workflow/profiles/$1" "$workflow/$1" "$workflow/../$1"; do
          [[ -d $candidate ]] && { set -- "$candidate" "${@:2}"; break; }
        done
      fi
      if (($#)) && grep -qs '^slurm: *true' "$1/config.yaml"; then slurm=1; fi ;;
    --slurm) cores_given=1; slurm=1; rest+=("$1"); shift ;;
    --cores | --cores=* | -c* | --jobs | --jobs=* | -j* | --profile=*)
      cores_given=1; rest+=("$1"); shift ;;
    *) rest+=("$1"); shift ;;
  esac
done
# The Snakefile and the profiles are for Snakemake 7 (Debian 12 has 7.21):
# Snakemake 8 moved Slurm to an executor plugin and changed the options.
if ! snakemake_version=$(snakemake --version 2>/dev/null); then
  echo "batch: Snakemake is not installed: install Debian's snakemake package" >&2
  exit 2
fi
if [[ ! $snakemake_version =~ ^7\. ]]; then
  echo "batch: Snakemake $snakemake_version is not supported: the workflow and its profiles are for Snakemake 7 (Debian 12 has 7.21)" >&2
  exit 2
fi
# Locally every conversion takes all cores, so the jobs run one after another.
[[ -n $cores_given ]] || rest+=(--cores all)
# Snakemake's Slurm support needs USER.
export USER=${USER:-$(id -un)}

# A sheet or setting that cannot be used at all stops here, with its reason.
/usr/bin/python3 "$workflow/scripts/batch_plan.py" || exit 2

mkdir -p "$output/.snakemake"
# One batch of an output folder at a time. The lock goes with the process (a
# killed batch frees it), so a batch that finds Snakemake's own lock left
# behind by a killed run, with no batch of this folder running, removes it.
exec {guard}>"$output/.snakemake/batch.lock"
if ! flock -n "$guard"; then
  echo "batch: another batch of $output is running; wait for it or stop it first" >&2
  exit 2
fi
cd -- "$output"
if [[ -n $(ls -A .snakemake/locks 2>/dev/null) ]]; then
  echo "batch: removing the lock a stopped run of $output left behind" >&2
  snakemake --snakefile "$workflow/Snakefile" --directory "$output" --unlock \
    --cores 1 >/dev/null 2>&1 || rm -f .snakemake/locks/*
fi

if [[ -n $slurm ]]; then
  # Snakemake hands this folder to sbatch unquoted.
  if [[ ! $output =~ ^[A-Za-z0-9/._+-]+$ ]]; then
    echo "batch: on Slurm the output folder's path may hold only letters, digits and / . _ + -;" \
      "'$output' has others: choose another output folder" >&2
    exit 2
  fi
  sizes=$(/usr/bin/python3 "$workflow/scripts/slurm_size.py") || exit 2
  read -r NVX_BATCH_CPUS NVX_BATCH_MEM_MB <<<"$sizes"
  export NVX_BATCH_CPUS NVX_BATCH_MEM_MB
  # Jobs the cluster can never start are reported and cancelled, not waited on.
  /usr/bin/python3 "$workflow/scripts/slurm_size.py" --watch $$ </dev/null >/dev/null {guard}>&- &
fi

command=(snakemake --snakefile "$workflow/Snakefile" --directory "$output"
  --keep-going --rerun-incomplete "${rest[@]}")
# The batch ends on a line of its own that counts the slides of this run's
# plan (which Snakemake writes afresh once it has read the Snakefile), with
# status 1 when any failed; a run that never got that far ends with
# Snakemake's status.
rm -f "$output/.snakemake/nvx-batch-plan.json"
summarise() {
  /usr/bin/python3 "$workflow/scripts/batch_report.py" --summary "$output" "$1"
}
if [[ -z $slurm ]]; then
  status=0
  "${command[@]}" || status=$?
  summarise "$status" || exit
  exit 0
fi

# On Slurm, Snakemake does not stop its jobs when interrupted, nor always
# itself: Ctrl-C or a TERM cancels this folder's jobs, stops Snakemake and
# writes the report.
"${command[@]}" &
snakemake=$!
interrupted() {
  trap '' INT TERM
  /usr/bin/python3 "$workflow/scripts/slurm_size.py" --cancel
  kill -TERM "$snakemake" 2>/dev/null || true
  for _ in $(seq 20); do kill -0 "$snakemake" 2>/dev/null || break; sleep 0.5; done
  kill -KILL "$snakemake" 2>/dev/null || true
  wait "$snakemake" 2>/dev/null || true
  /usr/bin/python3 "$workflow/scripts/batch_report.py" "$output" >/dev/null || true
  echo "batch: stopped; the report says what was converted" >&2
  exit 130
}
trap interrupted INT TERM
status=0
wait "$snakemake" || status=$?
summarise "$status"
