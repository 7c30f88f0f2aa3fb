#!/usr/bin/env python3
"""slurm_size.py - what one conversion asks Slurm for, and a watch over the
batch's jobs that the cluster can never start.

usage: slurm_size.py            prints "CPUS MEM_MB" for one job: a whole node
                                of the partition (its smallest node), or the
                                settings cpus / mem_mb (NVX_BATCH_CPUS,
                                NVX_BATCH_MEM_MB) once checked against sinfo
       slurm_size.py --watch PID
                                while PID runs, reports and cancels the jobs
                                of this output folder (the working directory)
                                that pend for a reason no wait can end
       slurm_size.py --cancel   cancels every job of this output folder

The partition is NVX_BATCH_PARTITION, else the cluster's default one.
"""

import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from convert_slide import write_atomically  # noqa: E402

# Reasons a pending job keeps for ever: its request does not fit the partition.
HOPELESS = {"PartitionConfig", "PartitionNodeLimit", "PartitionTimeLimit", "BadConstraints",
            "InvalidAccount", "InvalidQOS", "ReqNodeNotAvail, UnavailableNodes"}
SETTINGS = "cpus and mem_mb (scripts/batch.sh ... --config cpus=N mem_mb=M)"


def fail(message):
    print(f"batch: {message}", file=sys.stderr)
    sys.exit(2)


def nodes(partition, settings_given=False):
    """(cpus, memory MB) of every usable node of the partition; None where
    sinfo cannot tell and the settings give both sizes."""
    try:
        listed = subprocess.run(["sinfo", "-h", "-N", "-o", "%P|%c|%m|%t"], capture_output=True,
                                text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        if settings_given:
            return partition, None
        fail(f"sinfo cannot list the cluster's nodes ({e}); run the batch where Slurm's "
             f"commands work, or give {SETTINGS}")
    if listed.returncode != 0:
        if settings_given:
            return partition, None
        fail(f"sinfo cannot list the cluster's nodes ({listed.stderr.strip()}); give {SETTINGS}")
    found = []
    default = None
    for line in listed.stdout.splitlines():
        name, cpus, memory, state = line.split("|")
        if name.endswith("*"):
            name = name[:-1]
            default = default or name
        if state.rstrip("*~#!%$@^-") in ("down", "drain", "drained", "fail", "unk", "inval"):
            continue
        found.append((name, int(cpus), int(memory.rstrip("+"))))
    partition = partition or default
    chosen = [(cpus, memory) for name, cpus, memory in found if name == partition]
    if not chosen:
        fail(f"the partition {partition!r} has no usable node (sinfo); set "
             "NVX_BATCH_PARTITION and slurm_partition in the profile")
    return partition, chosen


def size():
    asked_cpus = os.environ.get("NVX_BATCH_CPUS")
    asked_memory = os.environ.get("NVX_BATCH_MEM_MB")
    partition, chosen = nodes(os.environ.get("NVX_BATCH_PARTITION"),
                              bool(asked_cpus and asked_memory))
    cpus = min(c for c, _ in chosen) if chosen else None
    memory = min(m for _, m in chosen) if chosen else None
    for text, largest, setting in (
            (asked_cpus, max(c for c, _ in chosen) if chosen else None, "cpus"),
            (asked_memory, max(m for _, m in chosen) if chosen else None, "mem_mb")):
        if text is None or text == "":
            continue
        if not text.isascii() or not text.isdigit() or int(text) < 1:
            fail(f"the setting {setting} must be a whole number, not {text!r}")
        if largest is not None and int(text) > largest:
            fail(f"the setting {setting}={text} is more than any node of the partition "
                 f"{partition!r} has ({largest}); no job could ever start: lower {setting}")
    print(asked_cpus or cpus, asked_memory or memory)


def watch(pid):
    user = os.environ.get("USER") or ""
    here = os.path.realpath(os.getcwd())
    told = set()
    while running(pid):
        listed = subprocess.run(["squeue", "-h", "-u", user, "-t", "PD", "-o", "%i|%r|%Z|%j"],
                                capture_output=True, text=True)
        for line in listed.stdout.splitlines():
            job, reason, folder, name = line.split("|", 3)
            if job in told or reason not in HOPELESS or os.path.realpath(folder) != here:
                continue
            told.add(job)
            message = (f"Slurm job {job} can never start ({reason}): the request does not fit "
                       f"the cluster; lower {SETTINGS} or fix the profile")
            print(f"batch: {message}; cancelling it", file=sys.stderr, flush=True)
            record_failure(name, message)
            subprocess.run(["scancel", job])
        time.sleep(float(os.environ.get("NVX_BATCH_WATCH_SECONDS", "20")))


def ours():
    """The Slurm jobs of this user that run in this output folder (the
    working directory), queued or running."""
    listed = subprocess.run(["squeue", "-h", "-u", os.environ.get("USER") or "",
                             "-o", "%i|%Z"], capture_output=True, text=True)
    here = os.path.realpath(os.getcwd())
    return [job for job, _, folder in (line.partition("|") for line in listed.stdout.splitlines())
            if os.path.realpath(folder) == here]


def cancel():
    jobs = ours()
    if jobs:
        print(f"batch: cancelling the batch's Slurm jobs {' '.join(jobs)}", file=sys.stderr)
        subprocess.run(["scancel", *jobs])


def running(pid):
    """Whether the batch runs: a process that has ended but is not yet reaped
    (its caller may be waiting for this watch to close the output) has not."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as f:
            return f.read().rpartition(")")[2].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def record_failure(job_name, message):
    """The failed job's record, so that the report shows why it did not run."""
    try:
        with open(os.path.join(".snakemake", "nvx-batch-plan.json"), encoding="utf-8") as f:
            plan = json.load(f)
    except (OSError, ValueError):
        return
    for item in plan:
        if f"_convert_{item['key']}_" in job_name and item.get("record"):
            os.makedirs(os.path.dirname(item["record"]), exist_ok=True)
            write_atomically(item["record"], json.dumps(
                {"slide": item["shown"], "input": item["source"], "status": "failed",
                 "reason": message}, ensure_ascii=False) + "\n")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--watch"] and len(sys.argv) == 3:
        watch(int(sys.argv[2]))
    elif sys.argv[1:] == ["--cancel"]:
        cancel()
    elif len(sys.argv) == 1:
        size()
    else:
        sys.exit(__doc__)
