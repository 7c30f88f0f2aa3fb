#!/usr/bin/env bash
# Starts a single-node Slurm cluster on this machine (munged, slurmctld and
# slurmd, configured from tests/workflow/slurm.conf.in, every file under a
# temporary folder), runs the batch workflow's test through Snakemake's Slurm
# support with workflow/profiles/slurm, and stops every daemon it started by
# its PID.
#   scripts/test-slurm.sh [BUILD_DIR] [test options]   (as root)
#   scripts/test-slurm.sh BUILD_DIR --run COMMAND...   that command on the cluster
# Needs Debian's slurmctld slurmd slurm-client munge snakemake (scripts/setup.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
shift || true
[[ $(id -u) == 0 ]] || { echo "test-slurm: run as root (slurmd and munged need it)" >&2; exit 2; }
for tool in munged slurmctld slurmd sbatch snakemake; do
  command -v "$tool" >/dev/null || { echo "test-slurm: $tool is missing: run scripts/setup.sh" >&2; exit 2; }
done

state=$(mktemp -d /tmp/nvx-slurm.XXXXXX)
chmod 755 "$state"
pids=()
stop_cluster() {
  local status=$? pid jobs
  # Jobs still queued or running (a failed test) are cancelled first, so no
  # job step outlives the daemons.
  jobs=
  [[ ${SLURM_CONF:-} == "$state/slurm.conf" ]] && jobs=$(squeue -h -o %i 2>/dev/null || true)
  if [[ -n $jobs ]]; then
    # shellcheck disable=SC2086
    scancel $jobs 2>/dev/null || true
    for _ in $(seq 40); do [[ -z $(squeue -h -o %i 2>/dev/null) ]] && break; sleep 0.5; done
  fi
  # Last started, first stopped; each daemon by the PID we started it with.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if ((status != 0)); then
    for log in "$state"/*.log "$state"/munge/*.log; do
      [[ -f $log ]] && { echo "== $log" >&2; tail -n 20 "$log" >&2; }
    done
  fi
  rm -rf "$state"
  exit "$status"
}
trap stop_cluster EXIT
trap 'exit 130' INT TERM

# munge: a key of our own and a socket under the state folder, run as munge.
mkdir -p "$state/munge"
chown munge:munge "$state/munge"
chmod 711 "$state/munge"
setpriv --reuid=munge --regid=munge --init-groups \
  mungekey --create --keyfile="$state/munge/munge.key"
socket=$state/munge/munge.socket
setpriv --reuid=munge --regid=munge --init-groups \
  munged --foreground --socket="$socket" --key-file="$state/munge/munge.key" \
  --pid-file="$state/munge/munged.pid" --log-file="$state/munge/munged.log" \
  --seed-file="$state/munge/munged.seed" 2>"$state/munge/munged.out" &
pids+=($!)

# Two free ports on loopback for slurmctld and slurmd.
read -r ctld_port slurmd_port < <(python3 -c '
import socket
held = [socket.socket() for _ in range(2)]
for s in held: s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in held))')
host=$(hostname -s)
cpus=$(slurmd -C | sed -n 's/.*CPUs=\([0-9]*\).*/\1/p')
memory=$(slurmd -C | sed -n 's/.*RealMemory=\([0-9]*\).*/\1/p')
mkdir -p "$state/ctld" "$state/slurmd"
sed -e "s|@STATE@|$state|g" -e "s|@HOST@|$host|g" -e "s|@CPUS@|$cpus|g" \
  -e "s|@MEMORY@|$memory|g" -e "s|@CTLD_PORT@|$ctld_port|g" \
  -e "s|@SLURMD_PORT@|$slurmd_port|g" -e "s|@MUNGE_SOCKET@|$socket|g" \
  "$top/tests/workflow/slurm.conf.in" >"$state/slurm.conf"
export SLURM_CONF=$state/slurm.conf

for _ in $(seq 50); do [[ -S $socket ]] && break; sleep 0.1; done
[[ -S $socket ]] || { echo "test-slurm: munged did not start" >&2; exit 1; }
slurmctld -D -i -f "$SLURM_CONF" >"$state/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" -N "$host" >"$state/slurmd.out" 2>&1 &
pids+=($!)
node=
for _ in $(seq 150); do
  node=$(sinfo -h -N -o %t 2>/dev/null || true)
  [[ $node == idle ]] && break
  sleep 0.2
done
[[ $node == idle ]] || { echo "test-slurm: the node is '$node', not idle" >&2; exit 1; }
echo "test-slurm: node $host idle ($cpus CPUs, $memory MB), SLURM_CONF=$SLURM_CONF"

export USER=${USER:-$(id -un)}
if [[ ${1:-} == --run ]]; then  # --run COMMAND...: that command on the cluster instead
  shift
  "$@"
  exit
fi
# scripts/batch.sh sizes each job from sinfo: the node's $cpus cores and its memory.
/usr/bin/python3 "$top/tests/workflow/batch_test.py" "$build" \
  --profile "$top/workflow/profiles/slurm" "$@"
