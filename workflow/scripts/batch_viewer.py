#!/usr/bin/env python3
"""batch_viewer.py - serves a batch's output folder to a browser on this
machine: the report, and for every slide a page with a zoomable viewer
(OpenSeadragon) whose tiles are cut from the .svs by OpenSlide's Deep Zoom
generator, with the label, the macro and a scale bar from the MPP.

A picture the folder's last batch leaves out (de-identified as a whole, or
no_label / no_macro for the slide) is never shown nor served: no pane, 404
at its /picture/ address, and 404 for any file that still holds it, told by
what the file is and never by its name (file_pictures: a TIFF whose
directories hold a label or macro, a DICOM instance whose ImageType shows
one, or one whose header cannot be read to tell), and in a de-identified
folder for a record under logs/ that holds it.

usage: batch_viewer.py OUTPUT_DIR [--port N]   (scripts/view.sh runs it)

It listens on 127.0.0.1 only, answers only requests addressed to this
machine by name (Host 127.0.0.1:PORT, localhost:PORT or [::1]:PORT, so that
no web page can reach it through a name of its own), and serves nothing but
files under OUTPUT_DIR (no hidden ones, no symbolic link on the way: every
file is opened one path component at a time from the folder's descriptor,
never through a link, and served from that descriptor) and the viewer's own
scripts. Files are streamed in chunks and answer Range requests.
  /                       the report (report.html)
  /view/NAME.svs          the viewer page of a slide
  /dzi/NAME.svs.dzi       its Deep Zoom description; tiles under NAME.svs_files/
  /picture/KIND/NAME.svs  its label or macro (KIND), as a JPEG
  /osd/...                OpenSeadragon (workflow/viewer/node_modules)
  /NAME                   any other file of the folder, as it is
"""

import argparse
import collections
import html
import http.server
import io
import json
import mimetypes
import os
import re
import stat
import sys
import threading
import urllib.parse

import openslide
from openslide import deepzoom, lowlevel

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import batch_plan  # noqa: E402
import batch_report  # noqa: E402
import convert_slide  # noqa: E402
import file_pictures  # noqa: E402

# OpenSeadragon's scripts and images: where the install puts them, else the
# npm package of a checkout (scripts/setup.sh).
OSD = next((folder for folder in (
    os.path.join(HERE, "..", "viewer", "openseadragon"),
    os.path.join(HERE, "..", "viewer", "node_modules", "openseadragon", "build", "openseadragon"))
    if os.path.isfile(os.path.join(folder, "openseadragon.min.js"))), None)
TILE = 254
OVERLAP = 1
PICTURE_SIDE = 600
TILE_PATH = re.compile(r"(.+\.svs)_files/([0-9]+)/([0-9]+)_([0-9]+)\.jpeg")
CHUNK = 1 << 20  # bytes read and sent at a time
SINGLE_RANGE = re.compile(r"bytes=([0-9]*)-([0-9]*)")


class Refused(Exception):
    """A request for something this server does not serve: 404 to the browser."""


class Opened:
    """A regular file opened under a served folder: its descriptor (closed
    with this object) and its fstat."""

    def __init__(self, descriptor):
        self.descriptor = descriptor
        self.stat = os.fstat(descriptor)

    def close(self):
        if self.descriptor is not None:
            os.close(self.descriptor)
            self.descriptor = None

    def __enter__(self):
        return self

    def __exit__(self, *_exc):
        self.close()

    def path(self):
        """A name of exactly this file for libraries that open by name: the
        descriptor's own entry in /proc, which no rename or link can redirect."""
        return f"/proc/self/fd/{self.descriptor}"


def open_under(folder, relative, hidden=False):
    """The regular file `relative` (already percent-decoded) under the folder
    whose descriptor is `folder`, or Refused: no empty, hidden (unless
    `hidden`: the batch's own state, never served), '..' or NUL segment, and
    each component opened from the one before it without following a link,
    so that a link swapped in anywhere, at any moment, is refused rather
    than followed."""
    parts = relative.split("/")
    if not relative or "\0" in relative or any(
            p in ("", ".", "..") or (p.startswith(".") and not hidden) for p in parts):
        raise Refused("not a path under the folder")
    opened = []
    try:
        at = folder
        for part in parts[:-1]:
            at = os.open(part, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC,
                         dir_fd=at)
            opened.append(at)
        # O_NONBLOCK: a FIFO put there must not hold the request.
        descriptor = os.open(parts[-1], os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK |
                             os.O_CLOEXEC, dir_fd=at)
    except OSError:
        raise Refused("no such file") from None
    finally:
        for descriptor_of_folder in opened:
            os.close(descriptor_of_folder)
    file = Opened(descriptor)
    if not stat.S_ISREG(file.stat.st_mode):
        file.close()
        raise Refused("not a file")
    return file


class Slide:
    """An open slide, its Deep Zoom generator, the lock its reads take, and
    the descriptor OpenSlide reads it through (closed once the slide is)."""

    def __init__(self, file):
        self.descriptor = os.dup(file.descriptor)
        self.path = f"/proc/self/fd/{self.descriptor}"
        try:
            self.slide = openslide.OpenSlide(self.path)
        except openslide.OpenSlideError as e:
            os.close(self.descriptor)
            raise Refused(f"not a slide: {e}") from None
        self.generator = deepzoom.DeepZoomGenerator(self.slide, tile_size=TILE,
                                                    overlap=OVERLAP, limit_bounds=True)
        self.lock = threading.Lock()

    def __del__(self):
        if hasattr(self, "slide"):  # not when OpenSlide refused the file
            self.slide.close()
            os.close(self.descriptor)


class Slides:
    """Open slides, a few at a time, keyed by the file itself (device, inode,
    size and modification time): a slide converted again is opened afresh."""

    def __init__(self, keep=8):
        self.keep = keep
        self.lock = threading.Lock()
        self.open = collections.OrderedDict()

    def get(self, file):
        key = (file.stat.st_dev, file.stat.st_ino, file.stat.st_size, file.stat.st_mtime_ns)
        with self.lock:
            if key in self.open:
                self.open.move_to_end(key)
                return self.open[key]
            entry = Slide(file)
            self.open[key] = entry
            # The oldest is dropped, not closed: a request still using it
            # keeps it open until it is done.
            while len(self.open) > self.keep:
                self.open.popitem(last=False)
            return entry


RECORD_BYTES = 16 << 20  # a record is a few kB; larger is not one of ours


def read_json(folder, relative, hidden=False):
    """A JSON file under the folder (open_under's rules), or Refused."""
    with open_under(folder, relative, hidden) as file:
        if file.stat.st_size > RECORD_BYTES:
            raise Refused("too large")
        with open(file.descriptor, encoding="utf-8", closefd=False) as f:
            return json.load(f)


def slide_record(root, relative):
    """The batch's record of the slide at `relative` (NAME.svs or
    NAME.dicom: logs/NAME.svs.json or logs/NAME.dicom.json), or {}."""
    try:
        record = read_json(root, batch_plan.side_path(relative, ".json"))
    except (Refused, OSError, ValueError):
        return {}
    return record if isinstance(record, dict) else {}


def folder_left_out(root):
    """(de-identified, {NAME.svs: pictures}) of the folder's last batch, read
    afresh: a batch may start while this serves. A record of it that cannot
    be read counts as de-identified."""
    try:
        marker = read_json(root, batch_report.LEFT_OUT, hidden=True)
    except Refused:
        return False, {}
    except (OSError, ValueError):
        return True, {}
    if not isinstance(marker, dict) or not isinstance(marker.get("outputs", {}), dict):
        return True, {}
    return marker.get("deidentify") is not False, marker.get("outputs", {})


def hidden_pictures(root, relative, record=None):
    """The pictures of the slide at `relative` that are never shown nor served."""
    deidentify, outputs = folder_left_out(root)
    if deidentify:
        return {"label", "macro"}
    record = slide_record(root, relative) if record is None else record
    return set(outputs.get(relative) or ()) | set(batch_plan.left_out(record.get("options")))


def page_for(root, relative, file, slides):
    """The viewer page of one slide."""
    entry = slides.get(file)
    slide = entry.slide
    props = slide.properties
    name = relative[: -len(batch_plan.OUTPUT_SUFFIX)]
    record = slide_record(root, relative)
    hidden = hidden_pictures(root, relative, record)
    encoded = "/".join(urllib.parse.quote(p, safe="") for p in relative.split("/"))
    names = lowlevel.get_associated_image_names(slide._osr)
    mpp = props.get(openslide.PROPERTY_NAME_MPP_X)
    data = {
        "dzi": f"/dzi/{encoded}.dzi",
        "mpp": float(mpp) if mpp else None,
        "assumed": bool(record.get("assumed_mpp")),
    }
    pictures = "".join(
        f'<figure><img class="{kind}" src="/picture/{kind}/{encoded}" alt="{kind}">'
        f"<figcaption>{kind}</figcaption></figure>"
        for kind in ("label", "macro") if kind in names and kind not in hidden)
    width, height = slide.dimensions
    facts = [f"{width} × {height} pixels", f"{len(slide.level_dimensions)} levels"]
    if mpp:
        facts.append(f"MPP {float(mpp):g}" + (" (assumed: the slide recorded none)"
                                              if data["assumed"] else ""))
    if record.get("input"):
        facts.append(f"from {record['input']}")
    if record.get("region"):
        facts.append("region: scale {} at x {} y {}, {} × {}".format(*record["region"]))
    if hidden:
        facts.append(f"left out: {', '.join(sorted(hidden))}")
    # JSON inside <script>: '<' escaped, so no name can close the element.
    embedded = json.dumps(data).replace("<", "\\u003c")
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{html.escape(name)} · nvx2svs viewer</title>
<style>
body {{ font-family: sans-serif; margin: 0; display: flex; height: 100vh; color: #222; }}
#viewer {{ flex: 1; background: #111; position: relative; }}
aside {{ width: 300px; padding: 12px; overflow: auto; border-left: 1px solid #ccc; }}
aside h1 {{ font-size: 1.1em; overflow-wrap: anywhere; }}
aside img {{ max-width: 100%; border: 1px solid #999; }}
figure {{ margin: 0 0 12px 0; }}
.assumed {{ color: #a60; }}
#scale {{ position: absolute; left: 16px; bottom: 16px; z-index: 10; color: #fff;
  font-size: 12px; text-shadow: 0 0 2px #000; }}
#scale div {{ height: 6px; border: 2px solid #fff; border-top: none; }}
</style></head>
<body data-tiles="0">
<div id="viewer"><div id="scale"><div></div><span></span></div></div>
<aside><h1>{html.escape(name)}</h1><p><a href="/report.html">back to the report</a></p>
<ul>{"".join(f"<li>{html.escape(f)}</li>" for f in facts)}</ul>{pictures}</aside>
<script id="slide-data" type="application/json">{embedded}</script>
<script src="/osd/openseadragon.min.js"></script>
<script>
const data = JSON.parse(document.getElementById('slide-data').textContent);
const viewer = OpenSeadragon({{ id: 'viewer', prefixUrl: '/osd/images/', tileSources: data.dzi,
  showNavigator: true, maxZoomPixelRatio: 2, crossOriginPolicy: 'Anonymous' }});
viewer.addHandler('tile-loaded', () => {{
  document.body.dataset.tiles = Number(document.body.dataset.tiles) + 1; }});
const bar = document.querySelector('#scale div'), label = document.querySelector('#scale span');
function drawScale() {{
  if (!data.mpp || !viewer.world.getItemAt(0)) {{ label.textContent = data.mpp ? '' : 'no MPP'; return; }}
  const zoom = viewer.world.getItemAt(0).viewportToImageZoom(viewer.viewport.getZoom(true));
  const micronsPerScreenPixel = data.mpp / zoom;
  let length = 1e-3;
  for (const step of [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000])
    if (step / micronsPerScreenPixel <= 160) length = step;
  bar.style.width = (length / micronsPerScreenPixel) + 'px';
  label.textContent = (length >= 1000 ? (length / 1000) + ' mm' : length + ' µm') +
    (data.assumed ? ' (MPP assumed)' : '');
}}
viewer.addHandler('animation', drawScale);
// A new size of the window draws the picture afresh at once, not stretched.
addEventListener('resize', () => {{ viewer.viewport.resize(new OpenSeadragon.Point(
  viewer.container.clientWidth, viewer.container.clientHeight), true); viewer.forceRedraw(); }});
viewer.addHandler('open', () => {{
  document.body.dataset.size = viewer.container.clientWidth + 'x' + viewer.container.clientHeight +
    ' ' + innerWidth + 'x' + innerHeight + ' ' + devicePixelRatio;
  drawScale(); }});
</script></body></html>
"""


def byte_range(header, size):
    """The (first, last) bytes a Range header asks for, None for the whole
    file (no header, or one this server does not take: several ranges), or
    "unsatisfiable"."""
    match = SINGLE_RANGE.fullmatch((header or "").strip())
    if not match or match.group(1) == match.group(2) == "":
        return None
    first, last = match.group(1), match.group(2)
    if first == "":  # the last N bytes
        count = int(last)
        return (max(0, size - count), size - 1) if count and size else "unsatisfiable"
    first, last = int(first), int(last) if last else size - 1
    if first >= size:
        return "unsatisfiable"
    if last < first:
        return None
    return first, min(last, size - 1)


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "nvx2svs-viewer"
    root = None  # descriptors of the served folder and of OpenSeadragon's
    osd = None
    slides = None
    hosts = ()  # the Host values this server answers

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        print(f"viewer: {self.address_string()} {format % args}", file=sys.stderr, flush=True)

    def head(self, status, kind, length, extra=()):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(length))
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Content-Security-Policy", "default-src 'self' data:; "
                         "script-src 'self' 'unsafe-inline'; style-src 'self' 'unsafe-inline'")
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()

    def send(self, status, body, kind):
        self.head(status, kind, len(body))
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_HEAD(self):  # noqa: N802 - the base class's name
        self.do_GET()

    def do_GET(self):  # noqa: N802 - the base class's name
        # A page of another site that has its name resolve to 127.0.0.1 (DNS
        # rebinding) sends its own name: only this machine's are answered.
        hosts = self.headers.get_all("Host") or []
        if len(hosts) != 1 or hosts[0].strip().lower() not in self.hosts:
            return self.send(421, b"misdirected request: open this server as "
                             b"http://127.0.0.1:PORT/\n", "text/plain")
        raw = urllib.parse.urlsplit(self.path).path
        try:
            path = urllib.parse.unquote(raw, errors="strict")
        except UnicodeDecodeError:
            return self.send(404, b"not found\n", "text/plain")
        try:
            self.answer(path)
        except Refused as e:
            self.send(404, f"not found: {e}\n".encode(), "text/plain; charset=utf-8")
        except (BrokenPipeError, ConnectionResetError):
            pass
        except Exception as e:  # a damaged slide, a tile out of range
            self.send(500, f"cannot serve it: {e}\n".encode(), "text/plain; charset=utf-8")

    def answer(self, path):
        if path == "/":
            self.send_response(302)
            self.send_header("Location", "/report.html")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if path.startswith("/osd/"):
            with open_under(self.osd, path[len("/osd/"):]) as file:
                return self.file(file, path)
        if path.startswith("/view/") and path.endswith(batch_plan.OUTPUT_SUFFIX):
            relative = path[len("/view/"):]
            with open_under(self.root, relative) as file:
                body = page_for(self.root, relative, file, self.slides)
            return self.send(200, body.encode("utf-8"), "text/html; charset=utf-8")
        if path.startswith("/dzi/"):
            return self.deep_zoom(path[len("/dzi/"):])
        if path.startswith("/picture/"):
            kind, _, relative = path[len("/picture/"):].partition("/")
            if kind in hidden_pictures(self.root, relative):
                raise Refused(f"the batch leaves the {kind} out")
            with open_under(self.root, relative) as file:
                return self.picture(kind, file)
        with open_under(self.root, path[1:]) as file:
            self.keep_out(path[1:], file)
            return self.file(file, path)

    def keep_out(self, relative, file):
        """Refused for a file served as it is that holds a picture the batch
        leaves out (an output made before it was, a copy under any name, one
        put there by hand), told by what the file is, never by its name: a
        TIFF whose directories hold a label or macro, a DICOM instance whose
        ImageType shows one, read from the file's header alone. Which
        pictures are left out: the slide's whose DICOM folder holds the
        file, or the file's own as an output; every one in a de-identified
        folder."""
        parts = relative.split("/")
        folder = next((i for i, part in enumerate(parts[:-1])
                       if part.lower().endswith(batch_plan.DICOM_SUFFIX)), None)
        owner = relative if folder is None else "/".join(parts[: folder + 1])
        hidden = hidden_pictures(self.root, owner)
        if hidden:
            kind, held = file_pictures.pictures_in(file.descriptor, file.stat.st_size)
            # In a slide's DICOM folder a file that is not an instance cannot be told.
            if held is None or (kind is None and folder is not None):
                raise Refused(f"it may hold the {' or '.join(sorted(hidden))}, which the batch "
                              "leaves out")
            if held & hidden:
                raise Refused(f"it holds the {' and '.join(sorted(held & hidden))}, which the "
                              "batch leaves out")
        if relative.startswith(batch_plan.LOGS + "/") and relative.endswith(".json") \
                and folder_left_out(self.root)[0]:
            # The bytes that would be served, not the name read again.
            if file.stat.st_size > RECORD_BYTES:
                raise Refused("too large")
            try:
                record = json.loads(os.pread(file.descriptor, file.stat.st_size, 0))
                info = record.get("openslide") or record.get("dicom") or {}
                held = {"label", "macro"} & set(info) if isinstance(info, dict) else set()
            except (ValueError, AttributeError):
                held = set()
            if held:
                raise Refused(f"it holds the {' and '.join(sorted(held))}, which the batch "
                              "leaves out")

    def file(self, file, name):
        """The file as it is, read and sent a chunk at a time; a Range
        request (one range) gets that part, so that downloads resume."""
        kind = mimetypes.guess_type(name)[0] or (
            "text/plain" if name.endswith(".log") else "application/octet-stream")
        if kind.startswith("text/") or kind in ("application/javascript", "application/json"):
            kind += "; charset=utf-8"
        size = file.stat.st_size
        wanted = byte_range(self.headers.get("Range"), size)
        if wanted == "unsatisfiable":
            self.head(416, "text/plain", 0, [("Content-Range", f"bytes */{size}")])
            return
        first, last = wanted or (0, size - 1)
        extra = [("Accept-Ranges", "bytes")]
        if wanted:
            extra.append(("Content-Range", f"bytes {first}-{last}/{size}"))
        self.head(206 if wanted else 200, kind, last - first + 1, extra)
        if self.command == "HEAD":
            return
        at = first
        while at <= last:
            chunk = os.pread(file.descriptor, min(CHUNK, last - at + 1), at)
            if not chunk:  # the file shrank meanwhile: the client sees a short body
                break
            self.wfile.write(chunk)
            at += len(chunk)

    def deep_zoom(self, relative):
        if relative.endswith(".svs.dzi"):
            with open_under(self.root, relative[:-len(".dzi")]) as file:
                generator = self.slides.get(file).generator
            return self.send(200, generator.get_dzi("jpeg").encode(), "application/xml")
        match = TILE_PATH.fullmatch(relative)
        if not match:
            raise Refused("not a tile")
        with open_under(self.root, match.group(1)) as file:
            entry = self.slides.get(file)
        generator, lock = entry.generator, entry.lock
        level, column, row = (int(match.group(i)) for i in (2, 3, 4))
        if level >= generator.level_count:
            raise Refused("no such level")
        columns, rows = generator.level_tiles[level]
        if column >= columns or row >= rows:
            raise Refused("no such tile")
        with lock:
            tile = generator.get_tile(level, (column, row))
        buffer = io.BytesIO()
        tile.convert("RGB").save(buffer, "JPEG", quality=85)
        self.send(200, buffer.getvalue(), "image/jpeg")

    def picture(self, kind, file):
        if kind not in ("label", "macro"):
            raise Refused("no such picture")
        entry = self.slides.get(file)
        slide, lock, path = entry.slide, entry.lock, entry.path
        names = lowlevel.get_associated_image_names(slide._osr)
        if kind not in names:
            raise Refused(f"the slide has no {kind}")
        width, height = lowlevel.get_associated_image_dimensions(slide._osr, kind)
        with lock:
            if width * height <= convert_slide.WHOLE_READ_PIXELS:
                image = lowlevel.read_associated_image(slide._osr, kind)
            else:
                image = convert_slide.reduced_picture(path, kind, (width, height))
        if image is None:
            raise Refused(f"the {kind} cannot be read at reduced size")
        image = image.convert("RGB")
        image.thumbnail((PICTURE_SIDE, PICTURE_SIDE))
        buffer = io.BytesIO()
        image.save(buffer, "JPEG", quality=85)
        self.send(200, buffer.getvalue(), "image/jpeg")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output_dir")
    parser.add_argument("--port", default="8017",
                        help="the port on 127.0.0.1 (default 8017; 0: any free one)")
    args = parser.parse_args(argv)
    if not re.fullmatch(r"[0-9]{1,5}", args.port) or int(args.port) > 65535:
        print(f"view: the port must be a number from 1 to 65535 (or 0 for any free one), "
              f"not {args.port!r}", file=sys.stderr)
        return 2
    port = int(args.port)
    root = os.path.realpath(args.output_dir)
    if not os.path.isdir(root):
        parser.error(f"{args.output_dir} is not a folder")
    if OSD is None:
        sys.exit("view: OpenSeadragon is missing: run scripts/setup.sh "
                 "(it installs the npm package into workflow/viewer/node_modules)")
    Handler.root = os.open(root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    Handler.osd = os.open(OSD, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    Handler.slides = Slides()
    try:
        server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    except OSError as e:
        sys.exit(f"view: cannot listen on 127.0.0.1:{port}: {e.strerror}; "
                 "choose another with --port N")
    server.daemon_threads = True
    port = server.server_address[1]
    Handler.hosts = {f"127.0.0.1:{port}", f"localhost:{port}", f"[::1]:{port}"}
    print(f"view: open http://127.0.0.1:{server.server_address[1]}/ "
          f"(the batch in {root}; Ctrl-C stops)", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
