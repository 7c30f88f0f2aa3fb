#!/usr/bin/env python3
"""batch_viewer.py - serves a batch's output folder to a browser on this
machine: the report, and for every slide a page with a zoomable viewer
(OpenSeadragon) whose tiles are cut from the .svs by OpenSlide's Deep Zoom
generator, with the label, the macro and a scale bar from the MPP.

usage: batch_viewer.py OUTPUT_DIR [--port N]   (scripts/view.sh runs it)

It listens on 127.0.0.1 only and serves nothing but files under OUTPUT_DIR
(no hidden ones, no link leading out of it) and the viewer's own scripts.
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
import sys
import threading
import urllib.parse

import openslide
from openslide import deepzoom, lowlevel

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import batch_plan  # noqa: E402
import convert_slide  # noqa: E402

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


class Refused(Exception):
    """A request for something this server does not serve: 404 to the browser."""


class Slides:
    """Open slides and their Deep Zoom generators, a few at a time."""

    def __init__(self, keep=8):
        self.keep = keep
        self.lock = threading.Lock()
        self.open = collections.OrderedDict()

    def get(self, path):
        with self.lock:
            if path in self.open:
                self.open.move_to_end(path)
                return self.open[path]
            try:
                slide = openslide.OpenSlide(path)
            except openslide.OpenSlideError as e:
                raise Refused(f"not a slide: {e}") from None
            entry = (slide, deepzoom.DeepZoomGenerator(slide, tile_size=TILE, overlap=OVERLAP,
                                                       limit_bounds=True), threading.Lock())
            self.open[path] = entry
            # The oldest is dropped, not closed: a request still using it
            # keeps it open until it is done.
            while len(self.open) > self.keep:
                self.open.popitem(last=False)
            return entry


def under(root, relative):
    """The real path of `relative` (already percent-decoded) under root, or
    Refused: no empty, hidden, '..' or NUL segment, nothing outside root."""
    parts = relative.split("/")
    if not relative or "\0" in relative or any(p in ("", ".", "..") or p.startswith(".")
                                                for p in parts):
        raise Refused("not a path under the folder")
    path = os.path.realpath(os.path.join(root, *parts))
    if os.path.commonpath([root, path]) != root or path == root:
        raise Refused("outside the folder")
    return path


def page_for(root, relative, path, slides):
    """The viewer page of one slide."""
    slide, generator, _lock = slides.get(path)
    props = slide.properties
    record = {}
    name = relative[: -len(batch_plan.OUTPUT_SUFFIX)]
    try:
        with open(os.path.join(root, batch_plan.side_path(name, ".json")),
                  encoding="utf-8") as f:
            record = json.load(f)
    except (OSError, ValueError):
        pass
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
        for kind in ("label", "macro") if kind in names)
    width, height = slide.dimensions
    facts = [f"{width} × {height} pixels", f"{len(slide.level_dimensions)} levels"]
    if mpp:
        facts.append(f"MPP {float(mpp):g}" + (" (assumed: the slide recorded none)"
                                              if data["assumed"] else ""))
    if record.get("input"):
        facts.append(f"from {record['input']}")
    if record.get("region"):
        facts.append("region: scale {} at x {} y {}, {} × {}".format(*record["region"]))
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


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "nvx2svs-viewer"
    root = None
    slides = None

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        print(f"viewer: {self.address_string()} {format % args}", file=sys.stderr, flush=True)

    def send(self, status, body, kind):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Content-Security-Policy", "default-src 'self' data:; "
                         "script-src 'self' 'unsafe-inline'; style-src 'self' 'unsafe-inline'")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_HEAD(self):  # noqa: N802 - the base class's name
        self.do_GET()

    def do_GET(self):  # noqa: N802 - the base class's name
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
            return self.file(under(os.path.realpath(OSD), path[len("/osd/"):]))
        if path.startswith("/view/") and path.endswith(batch_plan.OUTPUT_SUFFIX):
            relative = path[len("/view/"):]
            body = page_for(self.root, relative, under(self.root, relative), self.slides)
            return self.send(200, body.encode("utf-8"), "text/html; charset=utf-8")
        if path.startswith("/dzi/"):
            return self.deep_zoom(path[len("/dzi/"):])
        if path.startswith("/picture/"):
            kind, _, relative = path[len("/picture/"):].partition("/")
            return self.picture(kind, under(self.root, relative))
        return self.file(under(self.root, path[1:]))

    def file(self, path):
        if not os.path.isfile(path):
            raise Refused("no such file")
        kind = mimetypes.guess_type(path)[0] or (
            "text/plain" if path.endswith(".log") else "application/octet-stream")
        if kind.startswith("text/") or kind in ("application/javascript", "application/json"):
            kind += "; charset=utf-8"
        with open(path, "rb") as f:
            self.send(200, f.read(), kind)

    def deep_zoom(self, relative):
        if relative.endswith(".svs.dzi"):
            _, generator, _ = self.slides.get(under(self.root, relative[:-len(".dzi")]))
            return self.send(200, generator.get_dzi("jpeg").encode(), "application/xml")
        match = TILE_PATH.fullmatch(relative)
        if not match:
            raise Refused("not a tile")
        _, generator, lock = self.slides.get(under(self.root, match.group(1)))
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

    def picture(self, kind, path):
        if kind not in ("label", "macro"):
            raise Refused("no such picture")
        slide, _, lock = self.slides.get(path)
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
    parser.add_argument("--port", type=int, default=8017,
                        help="the port on 127.0.0.1 (default 8017; 0: any free one)")
    args = parser.parse_args(argv)
    root = os.path.realpath(args.output_dir)
    if not os.path.isdir(root):
        parser.error(f"{args.output_dir} is not a folder")
    if OSD is None:
        sys.exit("view: OpenSeadragon is missing: run scripts/setup.sh "
                 "(it installs the npm package into workflow/viewer/node_modules)")
    Handler.root = root
    Handler.slides = Slides()
    try:
        server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    except OSError as e:
        sys.exit(f"view: cannot listen on 127.0.0.1:{args.port}: {e.strerror}; "
                 "choose another with --port N")
    server.daemon_threads = True
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
