"""orthanc_test.py - a real PACS takes one slide's instances and shows them.

Debian's Orthanc with its whole-slide plugin runs on 127.0.0.1 on free
ports with a storage folder of its own, and is stopped after the test
whatever happens. The instances write_test_instances --slide writes (three
levels of a tissue-like picture, the label, the overview and the
thumbnail) are uploaded through the REST API: Orthanc accepts every one
and lists one study with one series holding them all; the plugin serves
every tile of every level, byte for byte the frame we wrote; and its viewer
in headless Chromium asks for tiles of the full-resolution level in a large
window and of the smallest level in a small one, and shows tissue in both
(the screenshots are kept in SHOTS_FOLDER).

usage: orthanc_test.py <write_test_instances> <SHOTS_FOLDER>
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import pydicom
from PIL import Image
from pydicom.encaps import generate_pixel_data_frame

from orthanc_server import Orthanc

WRITER = SHOTS = None
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync"]
LEVELS = ("level0", "level1", "level2")


class OrthancTakesTheSlide(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="nvx-orthanc-")
        cls.orthanc = None
        try:
            cls.instances = os.path.join(cls.folder, "instances")
            os.mkdir(cls.instances)
            subprocess.run([WRITER, "--slide", cls.instances], check=True, timeout=300)
            cls.names = []
            with open(os.path.join(cls.instances, "instances.txt"), encoding="ascii") as listing:
                cls.names = [line.split()[0] for line in listing]
            cls.orthanc = Orthanc(cls.folder)
            if not cls.orthanc.wait_until_up():
                tail = cls.orthanc.log_text().strip().splitlines()[-3:]
                raise unittest.SkipTest("Orthanc ended before it answered: " + " | ".join(tail))
            cls.uploads = {}
            for name in cls.names:
                with open(cls.path(name), "rb") as instance:
                    cls.uploads[name] = cls.orthanc.request("POST", "/instances", instance.read())
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

    def series_id(self):
        series = self.orthanc.json("/series")
        self.assertEqual(len(series), 1)
        return series[0]

    def test_orthanc_accepts_every_instance(self):
        self.assertEqual(sorted(self.uploads), sorted(LEVELS + ("label", "overview",
                                                                "thumbnail")))
        for name, (status, _, body) in self.uploads.items():
            with self.subTest(name):
                self.assertEqual(status, 200, body[:300])
                self.assertEqual(json.loads(body)["Status"], "Success")

    def test_one_study_with_one_series_of_every_instance(self):
        self.assertEqual(len(self.orthanc.json("/studies")), 1)
        series = self.orthanc.json("/series/" + self.series_id())
        self.assertEqual(len(series["Instances"]), len(self.names))
        ours = pydicom.dcmread(self.path("level0"), stop_before_pixels=True)
        self.assertEqual(series["MainDicomTags"]["SeriesInstanceUID"], ours.SeriesInstanceUID)
        self.assertEqual(series["MainDicomTags"]["Modality"], "SM")
        kinds = sorted(self.orthanc.json(f"/instances/{instance}/simplified-tags")["ImageType"]
                       for instance in series["Instances"])
        self.assertEqual(kinds, sorted(
            "\\".join(pydicom.dcmread(self.path(name), stop_before_pixels=True).ImageType)
            for name in self.names))

    def test_the_plugin_serves_every_tile_as_written(self):
        series = self.series_id()
        pyramid = self.orthanc.json("/wsi/pyramids/" + series)
        self.assertEqual((pyramid["TotalWidth"], pyramid["TotalHeight"]), (2048, 1536))
        # Orthanc-WSI 1.1 leaves the overview and the thumbnail out of the
        # pyramid but takes the label for one more level after ours.
        for level, name in enumerate(LEVELS):
            with self.subTest(name):
                ds = pydicom.dcmread(self.path(name))
                across = -(-ds.TotalPixelMatrixColumns // ds.Columns)
                down = -(-ds.TotalPixelMatrixRows // ds.Rows)
                self.assertEqual(pyramid["Sizes"][level],
                                 [ds.TotalPixelMatrixColumns, ds.TotalPixelMatrixRows])
                self.assertEqual(pyramid["TilesCount"][level], [across, down])
                frames = list(generate_pixel_data_frame(ds.PixelData, across * down))
                for index, frame in enumerate(frames):
                    x, y = index % across, index // across
                    status, kind, body = self.orthanc.request(
                        "GET", f"/wsi/tiles/{series}/{level}/{x}/{y}")
                    self.assertEqual((status, kind), (200, "image/jpeg"), (x, y, body[:200]))
                    self.assertEqual(body, frame, f"tile {x}, {y}")

    def screenshot(self, series, width, height, name):
        """Loads the viewer in a window of that size; the levels whose
        tiles it asked for, with the tiles of each, and the picture."""
        before = len(self.orthanc.log_text())
        shot = os.path.join(SHOTS, name)
        with tempfile.TemporaryDirectory() as profile:
            done = subprocess.run(
                ["chromium", *CHROMIUM_FLAGS, f"--user-data-dir={profile}",
                 f"--window-size={width},{height}", "--virtual-time-budget=15000",
                 f"--screenshot={shot}",
                 f"http://127.0.0.1:{self.orthanc.port}/wsi/app/viewer.html?series={series}"],
                capture_output=True, text=True, timeout=180)
        self.assertEqual(done.returncode, 0, done.stderr[-2000:])
        asked = {}
        for level, x, y in re.findall(r"GET /wsi/tiles/" + series + r"/(\d+)/(\d+)/(\d+)",
                                      self.orthanc.log_text()[before:]):
            asked.setdefault(int(level), set()).add((int(x), int(y)))
        with Image.open(shot) as picture:
            return asked, np.asarray(picture.convert("RGB")).astype(int)

    def test_the_viewer_shows_tissue_at_two_zoom_levels(self):
        series = self.series_id()
        self.assertEqual(self.orthanc.request("GET", "/wsi/app/viewer.html")[0], 200)
        pyramid = self.orthanc.json("/wsi/pyramids/" + series)
        # The viewer fits the slide to the window: a large one shows the
        # full resolution, a small one the smallest of our levels.
        for (width, height), level in (((2600, 2000), 0), ((1100, 800), 2)):
            with self.subTest(level=level):
                asked, pixels = self.screenshot(series, width, height,
                                                f"orthanc-viewer-level{level}.png")
                # Only that level's tiles, several of them, each one of the
                # level's (how many depends on when the window took its size).
                self.assertEqual(sorted(asked), [level])
                across, down = pyramid["TilesCount"][level]
                self.assertGreaterEqual(len(asked[level]), 4)
                self.assertLessEqual(asked[level], {(x, y) for x in range(across)
                                                    for y in range(down)})
                # Tissue: pink with purple nuclei, where the page is white.
                r, g, b = pixels[..., 0], pixels[..., 1], pixels[..., 2]
                pink = (r - g > 40) & (b - g > 15)
                self.assertGreater(pink.mean(), 0.05)
                nuclei = (b > r) & (r - g > 20) & (r < 160)
                self.assertGreater(nuclei.sum(), 200)


if __name__ == "__main__":
    WRITER = sys.argv[1]
    SHOTS = sys.argv[2]
    os.makedirs(SHOTS, exist_ok=True)
    unittest.main(argv=sys.argv[:1], verbosity=2)
