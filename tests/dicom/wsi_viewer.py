"""wsi_viewer.py - what the tests ask of Orthanc's whole-slide plugin once a
slide's instances are uploaded to the Orthanc of orthanc_server.py: every
tile it serves of a level is the instance's frame, byte for byte, and its
viewer in headless Chromium asks for every tile of the level the window's
size calls for and shows tissue.

A test class mixes in SlideInOrthanc, writes its instances in
make_instances() and sets `shots`, the folder the screenshots are kept in;
`plugins` and `folders` say what else its Orthanc runs and serves.
"""

import base64
import json
import os
import re
import select
import shutil
import subprocess
import tempfile
import time
import unittest

import numpy as np
import pydicom
from PIL import Image
from pydicom.encaps import generate_pixel_data_frame

from orthanc_server import Orthanc

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync"]
# The tile requests the page has seen answered.
FETCHED_TILES = ("performance.getEntriesByType('resource').map(e => e.name)"
                 ".filter(n => n.includes('/wsi/tiles/'))")


def tissue_measures(pixels):
    """Of an RGB picture (an int array): the share of pink pixels (eosin),
    how many purple ones (haematoxylin: nuclei) and how much the grey
    levels vary among the pink ones (a flat colour is a placeholder, not
    tissue). A white page, a grey placeholder or a flat pink one fails one
    of them."""
    r, g, b = pixels[..., 0], pixels[..., 1], pixels[..., 2]
    pink = (r - g > 40) & (b - g > 15)
    nuclei = (b > r) & (r - g > 20) & (r < 160)
    grey = (r + g + b) / 3
    texture = float(grey[pink].std()) if pink.any() else 0.0
    return float(pink.mean()), int(nuclei.sum()), texture


class Chromium:
    """Headless Chromium driven through its DevTools pipe: one page of a
    given size. A screenshot of Chromium's own (--screenshot) is taken when
    its virtual time runs out, which may come before the viewer has asked
    for a tile or while its tiles arrive; driven, the test takes it once
    the tiles are in."""

    def __init__(self, width, height):
        self.profile = tempfile.TemporaryDirectory()
        commands, self.commands = os.pipe()
        self.answers, answers = os.pipe()

        # Chromium reads commands from descriptor 3 and answers on 4.
        def descriptors():
            read, write = os.dup(commands), os.dup(answers)
            os.dup2(read, 3)
            os.dup2(write, 4)

        self.process = subprocess.Popen(
            ["chromium", *CHROMIUM_FLAGS, f"--user-data-dir={self.profile.name}",
             f"--window-size={width},{height}", "--remote-debugging-pipe", "about:blank"],
            close_fds=False, preexec_fn=descriptors, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(commands)
        os.close(answers)
        self.last_id, self.pending = 0, b""
        try:
            target = self.call("Target.createTarget", url="about:blank")["targetId"]
            self.session = self.call("Target.attachToTarget", targetId=target,
                                     flatten=True)["sessionId"]
            self.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                      deviceScaleFactor=1, mobile=False, page=True)
        except BaseException:
            self.close()
            raise

    def call(self, method, page=False, **params):
        """Sends one command (to the page with page=True) and returns its
        result; a page that hangs (an alert) ends it after a minute."""
        self.last_id += 1
        message = {"id": self.last_id, "method": method, "params": params}
        if page:
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" not in self.pending:
                if not select.select([self.answers], [], [], 60)[0]:
                    raise AssertionError(f"Chromium did not answer {method}")
                chunk = os.read(self.answers, 1 << 20)
                if not chunk:
                    raise AssertionError(f"Chromium ended before it answered {method}")
                self.pending += chunk
            raw, self.pending = self.pending.split(b"\0", 1)
            answer = json.loads(raw)
            if answer.get("id") == self.last_id:
                if "error" in answer:
                    raise AssertionError(f"{method}: {answer['error']}")
                return answer["result"]

    def screenshot(self):
        return base64.b64decode(self.call("Page.captureScreenshot", page=True,
                                          format="png")["data"])

    def evaluate(self, expression):
        """The value of a JavaScript expression in the page."""
        answer = self.call("Runtime.evaluate", page=True, expression=expression,
                           returnByValue=True)
        if "exceptionDetails" in answer:
            raise AssertionError(f"{expression}: {answer['exceptionDetails']}")
        return answer["result"].get("value")

    def fetched_tiles(self):
        return self.evaluate(FETCHED_TILES)

    def close(self):
        try:
            self.call("Browser.close")
        except (AssertionError, OSError):
            pass  # it has ended already, or is killed below
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.commands)
        os.close(self.answers)
        self.profile.cleanup()


class SlideInOrthanc:
    """A test class whose slide's instances are uploaded to an Orthanc of
    its own (skipped when Orthanc ends before it answers, as where it cannot
    run); the instances it makes in make_instances(), in the folder
    cls.instances, which returns their names (NAME.dcm there)."""

    shots = None
    plugins = ("wsi",)
    folders = None

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="nvx-orthanc-")
        cls.orthanc = None
        try:
            cls.instances = os.path.join(cls.folder, "instances")
            cls.names = cls.make_instances()
            cls.orthanc = Orthanc(cls.folder, cls.plugins, cls.folders)
            if not cls.orthanc.wait_until_up():
                tail = cls.orthanc.log_text().strip().splitlines()[-3:]
                raise unittest.SkipTest("Orthanc ended before it answered: " + " | ".join(tail))
            cls.uploads = {}
            for name in cls.names:
                with open(cls.path(name), "rb") as instance:
                    cls.uploads[name] = cls.orthanc.request("POST", "/instances",
                                                            instance.read())
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.orthanc is not None:
            cls.orthanc.stop()
            cls.orthanc = None
        shutil.rmtree(cls.folder, ignore_errors=True)

    @classmethod
    def path(cls, name):
        return os.path.join(cls.instances, name + ".dcm")

    def assert_every_instance_accepted(self, names):
        """`names` are the instances made, and Orthanc accepted each."""
        self.assertEqual(sorted(self.uploads), sorted(names))
        for name, (status, _, body) in self.uploads.items():
            with self.subTest(name):
                self.assertEqual(status, 200, body[:300])
                self.assertEqual(json.loads(body)["Status"], "Success")

    def series_id(self):
        """Orthanc's id of the pyramid's series: the full-resolution level's."""
        first = min(name for name in self.names if name.startswith("level"))
        uid = pydicom.dcmread(self.path(first), stop_before_pixels=True).SeriesInstanceUID
        found = [series for series in self.orthanc.json("/series")
                 if self.orthanc.json("/series/" + series)["MainDicomTags"]
                 ["SeriesInstanceUID"] == uid]
        self.assertEqual(len(found), 1)
        return found[0]

    def assert_pyramid_and_picture_series(self):
        """Orthanc holds one study of two series, as their numbers and the
        image types Orthanc read say: the pyramid's (1) with the levels and
        the thumbnail, the pictures' (2) with the label and the overview;
        every instance of the same slide (container and frame of reference)."""
        self.assertEqual(len(self.orthanc.json("/studies")), 1)
        ours = [pydicom.dcmread(self.path(name), stop_before_pixels=True) for name in self.names]
        expected = {}
        for ds in ours:
            number = "2" if ds.ImageType[2] in ("LABEL", "OVERVIEW") else "1"
            expected.setdefault(number, []).append("\\".join(ds.ImageType))
        held = {}
        for series in self.orthanc.json("/series"):
            found = self.orthanc.json("/series/" + series)
            self.assertEqual(found["MainDicomTags"]["Modality"], "SM")
            held[found["MainDicomTags"]["SeriesNumber"]] = sorted(
                self.orthanc.json(f"/instances/{instance}/simplified-tags")["ImageType"]
                for instance in found["Instances"])
        self.assertEqual(held, {number: sorted(kinds) for number, kinds in expected.items()})
        self.assertEqual(len({(ds.FrameOfReferenceUID, ds.ContainerIdentifier, ds.StudyInstanceUID)
                              for ds in ours}), 1)

    def assert_pyramid_is_our_levels(self, series):
        """The plugin's pyramid is our levels, largest first, and nothing
        else (no label or overview taken for a level)."""
        pyramid = self.orthanc.json("/wsi/pyramids/" + series)
        levels = sorted((name for name in self.names if name.startswith("level")),
                        key=lambda name: int(name.replace("level", "").strip("-")))
        sizes = []
        for name in levels:
            ds = pydicom.dcmread(self.path(name), stop_before_pixels=True)
            sizes.append([ds.TotalPixelMatrixColumns, ds.TotalPixelMatrixRows])
        self.assertEqual(pyramid["Sizes"], sizes)

    def assert_tiles_served(self, series, level, name):
        """Every tile of the pyramid's `level` is a frame of instance `name`."""
        pyramid = self.orthanc.json("/wsi/pyramids/" + series)
        ds = pydicom.dcmread(self.path(name))
        across = -(-ds.TotalPixelMatrixColumns // ds.Columns)
        down = -(-ds.TotalPixelMatrixRows // ds.Rows)
        self.assertEqual(pyramid["Sizes"][level],
                         [ds.TotalPixelMatrixColumns, ds.TotalPixelMatrixRows])
        self.assertEqual(pyramid["TilesCount"][level], [across, down])
        frames = list(generate_pixel_data_frame(ds.PixelData, across * down))
        self.assertEqual(len(frames), int(ds.NumberOfFrames))
        for index, frame in enumerate(frames):
            x, y = index % across, index // across
            status, kind, body = self.orthanc.request(
                "GET", f"/wsi/tiles/{series}/{level}/{x}/{y}")
            self.assertEqual((status, kind), (200, "image/jpeg"), (x, y, body[:200]))
            self.assertEqual(body, frame, f"tile {x}, {y}")

    def screenshot(self, series, width, height, name, tiles):
        """Loads the viewer in a window of that size and takes its
        screenshot once the page has `tiles` tiles and two screenshots in a
        row are the same (the tiles fade in), or after a minute; the levels
        whose tiles Orthanc was asked for, with the tiles of each, and the
        picture."""
        before = len(self.orthanc.log_text())
        browser = Chromium(width, height)
        try:
            browser.call("Page.navigate", page=True,
                         url=f"http://127.0.0.1:{self.orthanc.port}/wsi/app/viewer.html"
                             f"?series={series}")
            deadline, last, picture = time.monotonic() + 60, None, None
            while time.monotonic() < deadline:
                # The zoom buttons and the layer switch lie over the slide's
                # corners in a small window.
                browser.evaluate("document.querySelectorAll('.ol-control')"
                                 ".forEach(e => e.style.visibility = 'hidden')")
                fetched, picture = len(browser.fetched_tiles()), browser.screenshot()
                if fetched >= tiles and picture == last:
                    break
                last = picture
                time.sleep(0.2)
        finally:
            browser.close()
        shot = os.path.join(self.shots, name)
        with open(shot, "wb") as out:
            out.write(picture)
        asked = {}
        for level, x, y in re.findall(r"GET /wsi/tiles/" + series + r"/(\d+)/(\d+)/(\d+)",
                                      self.orthanc.log_text()[before:]):
            asked.setdefault(int(level), set()).add((int(x), int(y)))
        with Image.open(shot) as image:
            return asked, np.asarray(image.convert("RGB")).astype(int)

    def assert_viewer_shows_tissue(self, series, window, level, name):
        """The viewer in a window of that size (which it fits the whole
        slide to) asks Orthanc for every tile of `level` and no other, and
        its screenshot shows tissue: pink with purple nuclei and texture,
        where the page is white. Returns the screenshot's pixels."""
        across, down = self.orthanc.json("/wsi/pyramids/" + series)["TilesCount"][level]
        asked, pixels = self.screenshot(series, *window, name, across * down)
        self.assertEqual(sorted(asked), [level])
        self.assertEqual(asked[level], {(x, y) for x in range(across) for y in range(down)})
        pink, nuclei, texture = tissue_measures(pixels)
        self.assertGreater(pink, 0.05)
        self.assertGreater(nuclei, 200)
        self.assertGreater(texture, 8)
        return pixels
