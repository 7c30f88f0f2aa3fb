#!/usr/bin/env python3
"""convert_slide.py - one job of the batch: converts one slide with nvx2svs,
checks the output with OpenSlide and writes the slide's log and record.

usage: convert_slide.py --converter NVX2SVS --log LOG --record RECORD.json
                        [--options JSON] [--pacs URL [--pacs-api API]
                        [--dicomweb-root PATH] [--pacs-timeout SECONDS]]
                        [--] SLIDE.nvx OUT LAYERS
                        [Scale x y Width Height]

--options gives the converter's options as a JSON object of their batch
names and values ({"mpp": "0.25"}); each is held to the converter's rule
again, and a bad one fails the slide with its reason. A picture the options
leave out (no_label, no_macro) is never read back nor recorded; an output
that holds it anyway fails the slide, and an earlier output at OUT that
holds it (or cannot be opened to tell) is removed before the conversion.

A TIFF is written to a hidden temporary name beside OUT, and the JSON
report (--report) to a hidden file of the job's own beside it: the outcome
(whether it converted, the reason in English, the levels and how their
tiles were made, the pixel size and where it came from) is read from that
report, never from the converter's console text, which the log keeps as it
is. Only a run that exits 0, whose report says converted and whose output
OpenSlide opens is renamed to OUT. Anything else removes the temporary file,
so OUT is either a whole checked slide or absent. The exit status is 0 for a
converted slide, 1 otherwise; the record (JSON) says why, and the report is
made from the records.

With format dicom OUT is a folder (NAME.dicom), which the converter
publishes itself, as it does every output: built under a hidden name of
its own beside OUT, then renamed to OUT or exchanged whole with the
earlier folder it made there, whose settings (mode, owner, ACL) the new
one keeps; a run that fails or is stopped leaves OUT as it was. pydicom
then reads every instance back; a folder that does not read back is
removed, so OUT is again a whole checked slide or absent. --pacs (with
--pacs-api orthanc or stowrs, and --dicomweb-root) then uploads its
instances one by one, all within --pacs-timeout seconds; one not taken,
an answer that is not the API's JSON or is a redirect, or the deadline
passing fails the slide with the reason, and the record keeps what the
PACS answered (for Orthanc the series' id, from which the report links
its whole-slide viewer).
"""

import argparse
import base64
import datetime
import glob
import hashlib
import io
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

import shutil
import urllib.error
import urllib.request
import uuid

from batch_plan import (FOLDER_MARKER, ORTHANC_ID, PACS_TIMEOUT, dicomweb_root, is_dicom,
                        left_out, option_values, option_words, pacs_address, pacs_timeout,
                        pacs_viewer, together)

PICTURE_SIDE = 160  # pixels: the long side of the report's thumbnail and label
ROUTES = ("copied", "transcoded", "from_pixels")  # how the converter made a level's tiles


def converter_report(path):
    """The converter's JSON report at path, or None when it wrote none (it
    could not start, was killed, or refused the report's path) or one that
    is not a report."""
    try:
        with open(path, encoding="utf-8") as f:
            report = json.load(f)
    except (OSError, ValueError):
        return None
    return report if isinstance(report, dict) and isinstance(report.get("converted"), bool) \
        else None


def outcome(report):
    """What the record keeps of the converter's report: the levels (size,
    tiles and their routes), the tiles of every level by route, the pixel
    size and its source (recorded, given, assumed, none)."""
    levels = [level for level in report.get("levels") or [] if isinstance(level, dict)]
    return {
        "levels": levels,
        "routes": {route: sum(int((level.get("routes") or {}).get(route) or 0)
                              for level in levels) for route in ROUTES},
        "mpp": report.get("mpp"),
        "mpp_source": report.get("mpp_source"),
    }


def failure_reason(status, report, stderr):
    """One line for the report: the converter's own reason, from its report.
    Without a report (a converter that could not start or was stopped),
    the last line it left on standard error says what there is to say."""
    if status < 0:
        return f"stopped by signal {-status}"
    text = (report or {}).get("reason")
    if not isinstance(text, str) or not text:
        tail = [line.strip() for line in stderr.splitlines() if line.strip()]
        text = "the conversion failed without a report" + (f": {tail[-1]}" if tail else "")
    return f"{text} (exit status {status})"


def picture_uri(image):
    """A small JPEG of a PIL image, as a data: URI the report embeds."""
    image = image.convert("RGB")
    image.thumbnail((PICTURE_SIDE, PICTURE_SIDE))
    buffer = io.BytesIO()
    image.save(buffer, format="JPEG", quality=80)
    return "data:image/jpeg;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


def reduced_picture(path, kind, size):
    """A label or macro of `size` read at reduced size: each JPEG strip of its
    TIFF directory decoded at 1/8 scale (libjpeg's own scaling), never the
    whole picture at once. None when the directory is not found that way."""
    import tifffile
    from PIL import Image

    with tifffile.TiffFile(path) as tiff:
        for page in tiff.pages:
            description = page.description or ""
            if f"{kind} " not in description or tuple(page.shape[1::-1]) != tuple(size):
                continue
            if page.compression != 7:  # JPEG
                return None
            scale = 8
            canvas = Image.new("RGB", (max(1, size[0] // scale), max(1, size[1] // scale)))
            tables = page.jpegtables or b""
            rows = page.rowsperstrip or size[1]
            for index, (offset, count) in enumerate(zip(page.dataoffsets, page.databytecounts)):
                tiff.filehandle.seek(offset)
                data = tiff.filehandle.read(count)
                if tables:
                    data = tables[:-2] + data[2:]  # the tables inside the strip's own stream
                strip = Image.open(io.BytesIO(data))
                strip.draft("RGB", (strip.size[0] // scale, strip.size[1] // scale))
                strip = strip.convert("RGB")
                strip = strip.resize((canvas.size[0], max(1, strip.size[1] * canvas.size[0]
                                                          // max(1, strip.size[0]))))
                canvas.paste(strip, (0, index * rows // scale))
            return canvas
    return None


# Pictures up to this many pixels are read whole; larger ones at reduced size.
WHOLE_READ_PIXELS = 16_000_000


def held_pictures(path):
    """The associated pictures OpenSlide finds in a file, or None when it
    cannot open it."""
    import openslide
    from openslide import lowlevel

    try:
        slide = openslide.OpenSlide(path)
    except (openslide.OpenSlideError, OSError):
        return None
    try:
        return set(lowlevel.get_associated_image_names(slide._osr))
    finally:
        slide.close()


def read_back(path, leave_out=()):
    """What OpenSlide reads from a finished output; raises if it cannot open it.
    Labels and macros are looked at through their size first: a huge one is
    read at reduced size, so that the check never takes the machine. A
    picture in leave_out is never read."""
    import openslide  # only the checking step needs it
    from openslide import lowlevel

    slide = openslide.OpenSlide(path)
    try:
        props = slide.properties
        names = lowlevel.get_associated_image_names(slide._osr)
        sizes = {name: list(lowlevel.get_associated_image_dimensions(slide._osr, name))
                 for name in names}
        info = {
            "vendor": props.get(openslide.PROPERTY_NAME_VENDOR),
            "levels": [list(d) for d in slide.level_dimensions],
            "mpp_x": props.get(openslide.PROPERTY_NAME_MPP_X),
            "mpp_y": props.get(openslide.PROPERTY_NAME_MPP_Y),
            "objective": props.get(openslide.PROPERTY_NAME_OBJECTIVE_POWER),
            "associated": {name: sizes[name] for name in sorted(sizes)},
        }
        pictures = {}
        for name in ("thumbnail", "label", "macro"):
            if name not in sizes or name in leave_out:
                continue
            width, height = sizes[name]
            if width * height <= WHOLE_READ_PIXELS:
                pictures[name] = lowlevel.read_associated_image(slide._osr, name)
            else:
                pictures[name] = reduced_picture(path, name, (width, height))
                info.setdefault("reduced", []).append(name)
        thumbnail = pictures.get("thumbnail") or slide.get_thumbnail((PICTURE_SIDE, PICTURE_SIDE))
        info["thumbnail"] = picture_uri(thumbnail)
        for name in ("label", "macro"):
            if pictures.get(name) is not None:
                info[name] = picture_uri(pictures[name])
        return info
    finally:
        slide.close()


# What a DICOM instance's ImageType (its third value) says it shows, as the
# batch names the pictures.
DICOM_KINDS = {"LABEL": "label", "OVERVIEW": "macro", "THUMBNAIL": "thumbnail"}


def instance_files(folder):
    """The instance files of a DICOM output folder (its visible files)."""
    return sorted(os.path.join(folder, name) for name in os.listdir(folder)
                  if not name.startswith(".") and os.path.isfile(os.path.join(folder, name)))


def dicom_pictures(folder):
    """The pictures (label, macro, thumbnail) the instances of a folder
    show, or None when one cannot be read."""
    import pydicom

    held = set()
    try:
        for path in instance_files(folder):
            kinds = pydicom.dcmread(path, stop_before_pixels=True).ImageType
            if len(kinds) > 2 and kinds[2] in DICOM_KINDS:
                held.add(DICOM_KINDS[kinds[2]])
    except Exception:  # pydicom's errors, a file that went
        return None
    return held


def read_back_dicom(folder, leave_out=()):
    """What pydicom reads from a finished folder of instances; raises when
    it is not one slide's: the levels and the thumbnail in one series, the
    label and the overview in at most one other of the same study, at least
    one pyramid level. A picture in leave_out is never read."""
    import pydicom
    from PIL import Image
    from pydicom.encaps import generate_pixel_data_frame

    files = instance_files(folder)
    levels, pictures, series, studies, spacing = [], {}, {}, set(), None
    for path in files:
        ds = pydicom.dcmread(path, stop_before_pixels=True)
        kind = ds.ImageType[2] if len(ds.ImageType) > 2 else ""
        series.setdefault(kind in ("LABEL", "OVERVIEW"), set()).add(ds.SeriesInstanceUID)
        studies.add(ds.StudyInstanceUID)
        if kind == "VOLUME":
            levels.append([int(ds.TotalPixelMatrixColumns), int(ds.TotalPixelMatrixRows)])
            measures = ds.SharedFunctionalGroupsSequence[0].PixelMeasuresSequence[0]
            if spacing is None or levels[-1][0] > spacing[0]:
                spacing = (levels[-1][0], float(measures.PixelSpacing[1]) * 1000)
        elif kind in DICOM_KINDS:
            pictures[DICOM_KINDS[kind]] = (path, [int(ds.Columns), int(ds.Rows)])
    pyramid, shown = series.get(False, set()), series.get(True, set())
    if not levels or len(pyramid) != 1 or len(shown) > 1 or pyramid & shown or len(studies) != 1:
        raise ValueError(f"{len(files)} files, {len(levels)} pyramid levels, "
                         f"{len(pyramid | shown)} series in {len(studies)} studies: "
                         "not one slide's instances")
    info = {
        "instances": len(files),
        "series_uid": pyramid.pop(),
        "levels": sorted(levels, key=lambda size: -size[0]),
        "mpp_x": f"{spacing[1]:.6g}",
        "associated": {name: size for name, (_path, size) in sorted(pictures.items())},
    }
    for name, (path, _size) in pictures.items():
        if name in leave_out:
            continue
        ds = pydicom.dcmread(path)
        frame = next(generate_pixel_data_frame(ds.PixelData, 1))
        info[name] = picture_uri(Image.open(io.BytesIO(frame)))
    return info


def folder_bytes(folder):
    return sum(os.path.getsize(path) for path in instance_files(folder))


def remove(path):
    """A file or a folder, whichever path is; nothing when it is gone."""
    try:
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)
    except FileNotFoundError:
        pass


ORTHANC_TAKEN = ("Success", "AlreadyStored")
ANSWER_BYTES = 1 << 20  # of a PACS's answer read; ours are a few hundred


class UploadDeadline(OSError):
    """The slide's upload did not end by its deadline (pacs_timeout)."""


def stow_body(path, boundary):
    """An instance as a multipart/related body of one part, streamed."""
    yield (f"--{boundary}\r\nContent-Type: application/dicom\r\n\r\n").encode("ascii")
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            yield chunk
    yield f"\r\n--{boundary}--\r\n".encode("ascii")


class Unredirected(urllib.request.HTTPRedirectHandler):
    """A redirect is an answer, never followed: urllib would follow a 302
    to a POST with a GET, whose answer then passes for the upload's."""

    def redirect_request(self, *_args):
        return None


POSTING = urllib.request.build_opener(Unredirected)


def post(url, body, length, content_type, accept, seconds):
    """The answer (status, body) of one POST, waiting at most `seconds` for
    any step; raises OSError with the reason when there is none or it is not
    a success (2xx: a redirect is not one)."""
    request = urllib.request.Request(url, data=body, method="POST", headers={
        "Content-Type": content_type, "Content-Length": str(length), "Accept": accept})
    try:
        with POSTING.open(request, timeout=seconds) as answer:
            return answer.status, answer.read(ANSWER_BYTES)
    except urllib.error.HTTPError as e:
        if 300 <= e.code < 400:
            where = (e.headers.get("Location") or "")[:200] if e.headers else ""
            raise OSError(f"HTTP {e.code} {e.reason}, a redirect"
                          + (f" to {where}" if where else "")
                          + ", which the batch does not follow: set pacs (and dicomweb_root) "
                          "to where the PACS takes uploads") from None
        text = e.read(300).decode("utf-8", "replace").strip()
        raise OSError(f"HTTP {e.code} {e.reason}" + (f": {text}" if text else "")) from None
    except urllib.error.URLError as e:
        if isinstance(e.reason, OSError):
            raise e.reason from None  # the deadline, a refused connection
        raise OSError(str(e.reason)) from None


def json_answer(body):
    """A PACS's answer as JSON, or None when it is not JSON (or nested
    deeper than the parser goes)."""
    try:
        return json.loads(body)
    except (ValueError, RecursionError):
        return None


def dicom_sequence(answer, tag):
    """The items of a sequence attribute in a DICOM JSON object ([] when it
    is absent), or None when it is not shaped as DICOM JSON says."""
    element = answer.get(tag)
    if element is None:
        return []
    items = element.get("Value", []) if isinstance(element, dict) else None
    if not isinstance(items, list) or not all(isinstance(item, dict) for item in items):
        return None
    return items


def stowrs_taken(body):
    """Whether a STOW-RS answer (DICOM JSON) stored the one instance sent,
    and if not, why."""
    answer = json_answer(body)
    if not isinstance(answer, dict):
        return "the answer is not a DICOM JSON object"
    failed = dicom_sequence(answer, "00081198")
    stored = dicom_sequence(answer, "00081199")
    if failed is None or stored is None:
        return "the answer is not a DICOM JSON object"
    if failed:
        reason = failed[0].get("00081197")
        value = reason.get("Value") if isinstance(reason, dict) else None
        code = value[0] if isinstance(value, list) and value else "?"
        return f"refused (failure reason {str(code)[:40]})"
    return None if len(stored) == 1 else "the answer lists no stored instance"


def upload(folder, pacs):
    """Sends every instance of a folder to the PACS ({"address", "api",
    "root", "timeout"}); what the record keeps of it, or raises OSError with
    the reason of the first instance not taken. The whole upload has one
    deadline, pacs["timeout"] seconds from now: a PACS that takes longer, even
    one that answers a byte at a time, fails the slide then."""
    address = pacs_address(pacs["address"])
    files = instance_files(folder)
    # The series of the levels, whose viewer the report links (the label
    # and the overview are in a series of their own).
    series = set()
    seconds = pacs["timeout"]
    deadline = time.monotonic() + seconds

    def passed(_signum, _frame):
        raise UploadDeadline(f"the slide's upload did not end within pacs_timeout, {seconds} s")

    previous = signal.signal(signal.SIGALRM, passed)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        for path in files:
            try:
                # No step waits past the deadline (a second more, so that
                # the deadline, not a socket's timeout, names the reason).
                parent = upload_one(path, address, pacs,
                                    max(0.001, deadline - time.monotonic()) + 1)
            except OSError as e:
                raise OSError(f"{os.path.basename(path)}: {e}") from None
            if os.path.basename(path).startswith("level-"):
                series.add(parent)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    series.discard(None)
    taken = {"address": address, "api": pacs["api"], "instances": len(files)}
    if pacs["api"] == "orthanc":
        if len(series) != 1:
            raise OSError(f"Orthanc put the levels in {len(series)} series")
        taken["series"] = series.pop()
        taken["viewer"] = pacs_viewer(address, taken["series"])
    return taken


def upload_one(path, address, pacs, seconds):
    """Sends one instance within `seconds`; Orthanc's id of its series (None
    through STOW-RS), or raises OSError with the reason it was not taken."""
    size = os.path.getsize(path)
    if pacs["api"] == "orthanc":
        with open(path, "rb") as f:
            status, body = post(f"{address}/instances", f, size, "application/dicom",
                                "application/json", seconds)
        answer = json_answer(body)
        if not isinstance(answer, dict) or answer.get("Status") not in ORTHANC_TAKEN:
            raise OSError(f"Orthanc answered {status} "
                          f"{body[:200].decode('utf-8', 'replace')}")
        if not ORTHANC_ID.fullmatch(str(answer.get("ParentSeries"))):
            raise OSError("Orthanc's answer names no series")
        return answer["ParentSeries"]
    boundary = uuid.uuid4().hex
    length = sum(len(part) for part in stow_body(os.devnull, boundary)) + size
    status, body = post(f"{address}{pacs['root']}/studies", stow_body(path, boundary), length,
                        f'multipart/related; type="application/dicom"; boundary={boundary}',
                        "application/dicom+json", seconds)
    # 202: stored with warnings or only in part; 200 alone is all stored.
    problem = stowrs_taken(body) if status == 200 else f"HTTP {status}"
    if problem:
        raise OSError(problem)
    return None


UMASK = os.umask(0o022)
os.umask(UMASK)


def write_atomically(path, text):
    """The batch's one way to write a file: a temporary created once beside
    it, written through its descriptor, synced, renamed, the folder synced."""
    folder = os.path.dirname(os.path.abspath(path))
    # A short name of its own: any file name that fits, fits.
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=".nvxjob-", suffix=".tmp")
    try:
        with open(descriptor, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fchmod(f.fileno(), 0o666 & ~UMASK)  # as an ordinary new file, not 0600
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
    directory = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--converter", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--name", help="the slide's name in the report (default: SLIDE)")
    parser.add_argument("--done", help="a file to create once the slide is converted")
    parser.add_argument("--options", default="{}",
                        help='the converter\'s options, as JSON: {"mpp": "0.25"}')
    parser.add_argument("--pacs", default="", help="the PACS to upload a DICOM slide to")
    parser.add_argument("--pacs-api", default="orthanc", choices=("orthanc", "stowrs"))
    parser.add_argument("--dicomweb-root", default="/dicom-web")
    parser.add_argument("--pacs-timeout", default=str(PACS_TIMEOUT),
                        help="seconds the slide's whole upload may take")
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
    # Hidden, still ending in .svs (which the converter wants), short (so that
    # the converter's own temporary name beside it, ".<this name>.<...>.part",
    # always fits), and the same for every try of this output.
    stem = ".nvxjob-" + hashlib.sha1(os.path.basename(args.output).encode(
        "utf-8", "surrogateescape")).hexdigest()[:16]
    # A DICOM slide is a folder, which the converter publishes at OUT itself.
    suffix = ".dicom" if args.output.endswith(".dicom") else ".svs"
    partial = os.path.join(output_dir, f"{stem}-{os.getpid()}{suffix}")
    # The converter's report of this try, read and removed once it has ended.
    report_path = os.path.join(output_dir, f"{stem}-{os.getpid()}.report.json")

    # A job killed outright (SIGKILL, a lost node) leaves its partial file,
    # its report or the converter's temporaries: the next try of the same
    # slide clears them. (Snakemake runs one job per output at a time.) The
    # converter's temporary folder of a DICOM slide is swept by the
    # converter's next run at OUT.
    for pattern in (f"{stem}-*.svs", f"{stem}-*.report.json", f".{stem}-*.part"):
        for stale in glob.glob(os.path.join(glob.escape(output_dir), pattern)):
            remove(stale)

    def remove_partial():
        for path in (partial, report_path):
            remove(path)

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

    reason = None
    try:
        given = json.loads(args.options)
        if not isinstance(given, dict):
            raise ValueError("the options are not a JSON object")
        options = together(option_values(given))
        dicom = is_dicom(options)
        if dicom != (suffix == ".dicom"):
            raise ValueError(f"the output of format {options.get('format', 'tiff')} must end "
                             f"in {'.dicom' if dicom else '.svs'}")
        pacs = {"address": pacs_address(args.pacs), "api": args.pacs_api,
                "root": dicomweb_root(args.dicomweb_root),
                "timeout": int(pacs_timeout(args.pacs_timeout))} if args.pacs and dicom else None
    except ValueError as e:  # JSON's errors are ValueErrors too
        reason, options, dicom, pacs = str(e), {}, False, None
    record["options"] = options
    record["format"] = "dicom" if dicom else "tiff"
    leave_out = left_out(options)
    # An earlier output of this slide made with a picture this run leaves out
    # goes now, whatever becomes of the run: a failed run must not leave the
    # label it was asked to drop.
    if reason is None and leave_out and os.path.lexists(args.output):
        if dicom:
            held = dicom_pictures(args.output) if os.path.isdir(args.output) else set()
        else:
            held = held_pictures(args.output) if os.path.isfile(args.output) else set()
        if held is None or held & set(leave_out):
            try:
                if dicom and os.path.isdir(args.output) and not os.path.isfile(
                        os.path.join(args.output, FOLDER_MARKER)):
                    raise OSError(0, "it is not a folder the converter made")
                remove(args.output)
            except OSError as e:
                reason = (f"the earlier output holds the {' or '.join(leave_out)} this run "
                          f"leaves out and cannot be removed: {e.strerror}")
    # Every value inside its option's word, and the arguments after a lone
    # "--": a slide path that begins with "--" stays a path.
    written = args.output if dicom else partial
    command = [args.converter, *option_words(options), f"--report={report_path}", "--",
               args.slide, written, args.layers, *args.region]
    stdout = stderr = ""
    # The converter turns every '?' of an argument into a blank.
    if reason is None and "?" in args.slide:
        reason = "the path contains '?', which the converter reads as a blank"
    if reason is not None:
        status = 255
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
    report = converter_report(report_path)
    try:
        os.unlink(report_path)
    except FileNotFoundError:
        pass
    if report is not None:
        record.update(outcome(report))
    # The converter's report says where the pixel size came from.
    record["assumed_mpp"] = record.get("mpp_source") == "assumed"
    if status == 0 and reason is None and not (report or {}).get("converted"):
        reason = failure_reason(status, report, stderr) if report is not None else (
            "the converter wrote no report (exit status 0)")
    if status == 0 and reason is None:
        # A TIFF must open in OpenSlide and is renamed into place; DICOM
        # instances, published by the converter, must read back in pydicom.
        read, key, size, unreadable = (
            (read_back_dicom, "dicom", folder_bytes,
             "the output is not a slide's DICOM instances") if dicom else
            (read_back, "openslide", os.path.getsize, "the output does not open in OpenSlide"))
        try:
            info = read(written, leave_out)
            kept = [name for name in leave_out if name in info["associated"]]
            if kept:
                reason = (f"the output holds the {' and '.join(kept)}, which the options "
                          "leave out")
            else:
                record[key] = info
                record["output_bytes"] = size(written)
                if not dicom:
                    os.replace(partial, args.output)
        except Exception as e:  # the readers' errors, a missing file, a failed rename
            reason = f"{unreadable}: {e}"
        if reason is not None and dicom:
            # The folder this run published did not pass: OUT is a checked
            # slide or nothing.
            remove(args.output)
        if reason is None and dicom and pacs is not None:
            try:
                record["pacs"] = upload(args.output, pacs)
            except Exception as e:  # OSError with the reason; anything else is ours
                reason = f"the PACS at {pacs['address']} did not take the slide: {e}"
    elif reason is None:
        reason = failure_reason(status, report, stderr)
    if reason is not None:
        remove_partial()
        # The converter and OpenSlide name the hidden file the job gave them:
        # the reason names the output it stood for.
        reason = reason.replace(partial, os.path.abspath(args.output)).replace(
            os.path.basename(partial), os.path.basename(args.output))
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
    if args.done:
        os.makedirs(os.path.dirname(os.path.abspath(args.done)), exist_ok=True)
        write_atomically(args.done, record["output"] + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
