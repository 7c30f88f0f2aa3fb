#!/usr/bin/env python3
"""convert_slide.py - one job of the batch: converts one slide with nvx2svs,
checks the output with OpenSlide and writes the slide's log and record.

usage: convert_slide.py --converter NVX2SVS --log LOG --record RECORD.json
                        SLIDE.nvx OUT.svs LAYERS [Scale x y Width Height]

The converter writes to a hidden temporary name beside OUT; only a run that
exits 0 and whose output OpenSlide opens is renamed to OUT. Anything else
removes the temporary file, so OUT is either a whole checked slide or
absent. The exit status is 0 for a converted slide, 1 otherwise; the record
(JSON) says why, and the report is made from the records.
"""

import argparse
import base64
import datetime
import glob
import io
import json
import os
import signal
import socket
import subprocess
import sys
import time

# The converter's own problem lines (stdout, UTF-8) and what they mean.
CONVERTER_LINES = {
    "error:输入NVX文件有误!!": "the slide cannot be opened: damaged or not an nvx slide",
    "Scale倍率越界:": "the region's Scale is out of range",
    "Width不能小于0:": "the region's Width is negative",
    "Height不能小于0:": "the region's Height is negative",
    "x坐标不能大于图片最大横坐标:": "the region's x is beyond the slide",
    "y坐标不能大于图片最大纵坐标:": "the region's y is beyond the slide",
    "区域不存在:": "the region is not on the slide",
    "Could not open output.tif for writing": "the output file cannot be created",
}
EXIT_MEANING = {
    1: "the output file could not be created",
    255: "the conversion failed",
}
PICTURE_SIDE = 160  # pixels: the long side of the report's thumbnail and label


def failure_reason(status, stdout, stderr):
    """One line for the report: our diagnostics first, then the converter's text."""
    if status < 0:
        return f"stopped by signal {-status}"
    reasons = [line[len("nvx2svs: "):].strip().removeprefix("error: ")
               for line in stderr.splitlines() if line.startswith("nvx2svs: ")]
    if not any(line.startswith("nvx2svs: error: ") for line in stderr.splitlines()):
        for line in stdout.splitlines():
            text = line.strip().lstrip(".")
            if text in CONVERTER_LINES and CONVERTER_LINES[text] not in reasons:
                reasons.append(CONVERTER_LINES[text])
    if not reasons:
        tail = [line.strip() for line in stderr.splitlines() if line.strip()]
        reasons.append(tail[-1] if tail else EXIT_MEANING.get(status, "the conversion failed"))
    return "; ".join(reasons) + f" (exit status {status})"


def picture_uri(image):
    """A small JPEG of a PIL image, as a data: URI the report embeds."""
    image = image.convert("RGB")
    image.thumbnail((PICTURE_SIDE, PICTURE_SIDE))
    buffer = io.BytesIO()
    image.save(buffer, format="JPEG", quality=80)
    return "data:image/jpeg;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


def read_back(path):
    """What OpenSlide reads from a finished output; raises if it cannot open it."""
    import openslide  # only the checking step needs it

    slide = openslide.OpenSlide(path)
    try:
        props = slide.properties
        # Each look-up in associated_images decodes the picture: once each here.
        associated = dict(slide.associated_images)
        info = {
            "vendor": props.get(openslide.PROPERTY_NAME_VENDOR),
            "levels": [list(d) for d in slide.level_dimensions],
            "mpp_x": props.get(openslide.PROPERTY_NAME_MPP_X),
            "mpp_y": props.get(openslide.PROPERTY_NAME_MPP_Y),
            "objective": props.get(openslide.PROPERTY_NAME_OBJECTIVE_POWER),
            "associated": {name: list(associated[name].size) for name in sorted(associated)},
        }
        thumbnail = associated.get("thumbnail") or slide.get_thumbnail(
            (PICTURE_SIDE, PICTURE_SIDE))
        info["thumbnail"] = picture_uri(thumbnail)
        if "label" in associated:
            info["label"] = picture_uri(associated["label"])
        return info
    finally:
        slide.close()


def write_atomically(path, text):
    temporary = f"{path}.{os.getpid()}.tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(temporary, path)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--converter", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--name", help="the slide's name in the report (default: SLIDE)")
    parser.add_argument("slide")
    parser.add_argument("output")
    parser.add_argument("layers")
    parser.add_argument("region", nargs="*", help="Scale x y Width Height")
    args = parser.parse_args(argv)
    if args.region and len(args.region) != 5:
        parser.error("a region is Scale x y Width Height")

    output_dir = os.path.dirname(os.path.abspath(args.output))
    os.makedirs(output_dir, exist_ok=True)
    for path in (args.log, args.record):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    # Hidden, and still ending in .svs, which the converter wants.
    partial = os.path.join(output_dir,
                           f".{os.path.basename(args.output)}.partial-{os.getpid()}.svs")

    # A job killed outright (SIGKILL, a lost node) leaves its partial file:
    # the next try of the same slide clears it.
    for stale in glob.glob(os.path.join(glob.escape(output_dir),
                                        f".{glob.escape(os.path.basename(args.output))}"
                                        ".partial-*.svs")):
        os.unlink(stale)

    def remove_partial():
        try:
            os.unlink(partial)
        except FileNotFoundError:
            pass

    converter = None

    def stop(signum, _frame):
        # Slurm's scancel and Snakemake's interrupt end the job: the converter
        # first, then its partial file.
        if converter is not None and converter.poll() is None:
            converter.terminate()
            try:
                converter.wait(timeout=10)
            except subprocess.TimeoutExpired:
                converter.kill()
                converter.wait()
        remove_partial()
        sys.exit(128 + signum)

    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, stop)

    record = {
        "slide": args.name or args.slide,
        "input": os.path.abspath(args.slide),
        "output": os.path.abspath(args.output),
        "log": os.path.abspath(args.log),
        "layers": args.layers,
        "region": args.region or None,
        "host": socket.gethostname(),
        "started": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
    }
    try:
        record["input_bytes"] = os.path.getsize(args.slide)
    except OSError:
        record["input_bytes"] = None

    command = [args.converter, args.slide, partial, args.layers, *args.region]
    stdout = stderr = ""
    reason = None
    # The converter turns every '?' of an argument into a blank.
    if "?" in args.slide or "?" in partial:
        status = 255
        reason = "the path contains '?', which the converter reads as a blank"
    else:
        environment = dict(os.environ, LC_ALL="C.UTF-8")  # the converter's text in UTF-8
        start = time.monotonic()
        try:
            converter = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         env=environment)
            out, err = converter.communicate()
            status = converter.returncode
            stdout = out.decode("utf-8", errors="replace")
            stderr = err.decode("utf-8", errors="replace")
        except OSError as e:
            status = 255
            reason = f"the converter cannot be run: {e}"
        record["seconds"] = round(time.monotonic() - start, 3)
    record["exit_status"] = status

    if status == 0 and reason is None:
        try:
            record["openslide"] = read_back(partial)
            record["output_bytes"] = os.path.getsize(partial)
            os.replace(partial, args.output)
        except Exception as e:  # OpenSlide's errors, a missing file, a failed rename
            reason = f"the output does not open in OpenSlide: {e}"
    elif reason is None:
        reason = failure_reason(status, stdout, stderr)
    if reason is not None:
        remove_partial()
        record["status"] = "failed"
        record["reason"] = reason
    else:
        record["status"] = "converted"
    record["ended"] = datetime.datetime.now().astimezone().isoformat(timespec="seconds")

    log = [f"command: {' '.join(command)}", f"host: {record['host']}",
           f"started: {record['started']}", "--- stdout ---", stdout.rstrip("\n"),
           "--- stderr ---", stderr.rstrip("\n"),
           f"--- exit status {status}, {record.get('seconds', 0)} s: {record['status']}"
           + (f": {reason}" if reason else "")]
    write_atomically(args.log, "\n".join(log) + "\n")
    write_atomically(args.record, json.dumps(record, indent=1, ensure_ascii=False) + "\n")
    if reason is not None:
        print(f"{record['slide']}: {reason}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
