"""dicom_viewer_test.py - the converter's own DICOM instances in a real PACS.

nvxmake makes a slide of the real scan given (H&E tissue), nvx2svs converts
it with --format dicom in two layers, and every instance is uploaded to
Debian's Orthanc with its whole-slide plugin (orthanc_server.py: 127.0.0.1,
free ports, a storage folder of its own, stopped after the test): Orthanc
accepts each and lists one study with one series holding them all, the
plugin serves every tile of the full-resolution and of the smallest level
byte for byte as the instances' frames, and its viewer in headless Chromium
asks for every tile of the full-resolution level in a large window and of
the smallest level in a smaller one and shows tissue in both, each tile
where the source has it (the screenshots are kept in SHOTS_FOLDER).

usage: dicom_viewer_test.py <nvx2svs> <nvxmake> <source slide> <SHOTS_FOLDER>
"""

import json
import os
import subprocess
import sys
import unittest

import numpy as np
import openslide
import pydicom
from PIL import Image

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "dicom"))
from wsi_viewer import SlideInOrthanc  # noqa: E402

import nvxmake_runs_test as runs  # noqa: E402

LAYERS = 2
INSTANCES = ["label", "level-0", "level-1", "overview", "thumbnail"]


def fitted_resolution(size, window):
    """The viewer's fit of the slide to the window, in slide pixels a
    screen pixel: OpenLayers' zoom steps halve the largest side over 256,
    and it takes the finest step that still shows the whole slide, and
    none finer than 1."""
    resolution = max(size) / 256
    need = max(size[0] / window[0], size[1] / window[1], 1)
    while resolution / 2 >= need:
        resolution /= 2
    return resolution


def cell_means(pixels, side):
    """The mean colour of each square of `side` pixels."""
    down, across = pixels.shape[0] // side, pixels.shape[1] // side
    cut = pixels[:down * side, :across * side].astype(float)
    return cut.reshape(down, side, across, side, 3).mean(axis=(1, 3))


def difference_on_screen(pixels, window, source):
    """How far the screenshot is from the source as the viewer should show
    it (scaled by its fit, centred in the window): the largest difference
    of a channel between the mean colours of a square of 32 screen pixels
    there and in the source scaled (a square is a fifth of a tile or less:
    a tile out of place moves it by tens of levels, the browser's scaling
    and JPEG by a few), the least over a few pixels' shift either way (the
    page's frame moves the map by one); and the share of the slide's place
    drawn on (a tile not drawn leaves the page white)."""
    resolution = fitted_resolution(source.size, window)
    width, height = round(source.width / resolution), round(source.height / resolution)
    expected = cell_means(np.asarray(source.resize((width, height), Image.BOX)), 32)
    left, top = (window[0] - width) // 2, (window[1] - height) // 2
    best = None
    for dy in range(-2, 4):
        for dx in range(-2, 4):
            shown = pixels[top + dy:top + dy + height, left + dx:left + dx + width]
            difference = float(np.abs(cell_means(shown, 32) - expected).max())
            if best is None or difference < best[0]:
                best = (difference, float((shown != 255).any(axis=2).mean()))
    return best


class ViewerShowsTheConvertedSlide(SlideInOrthanc, unittest.TestCase):
    nvx2svs = nvxmake = source_path = None

    @classmethod
    def make_instances(cls):
        slide = runs.make_slide(cls.nvxmake, ["--from", cls.source_path],
                                os.path.join(cls.folder, "slide.nvx"))
        metadata = os.path.join(cls.folder, "metadata.json")
        with open(metadata, "w", encoding="ascii") as f:
            json.dump({"section_thickness_um": 4}, f)
        # No LD_LIBRARY_PATH: the converter finds our library beside itself.
        env = dict(runs.CHILD_ENV, LC_ALL="C.UTF-8")
        env.pop("LD_LIBRARY_PATH", None)
        cls.converted = subprocess.run(
            [cls.nvx2svs, slide, cls.instances, str(LAYERS), "--format", "dicom",
             "--mpp", "0.25", "--dicom-metadata", metadata],
            env=env, capture_output=True, timeout=300)
        if cls.converted.returncode != 0:
            raise AssertionError(cls.converted.stderr.decode("utf-8", "replace"))
        with openslide.open_slide(cls.source_path) as source:
            cls.source = source.read_region((0, 0), 0, source.dimensions).convert("RGB")
        return sorted(name[:-len(".dcm")] for name in os.listdir(cls.instances)
                      if name.endswith(".dcm"))

    def test_orthanc_accepts_every_instance(self):
        self.assertTrue(self.converted.stdout.decode("utf-8").endswith(runs.COMPLETION))
        self.assert_every_instance_accepted(INSTANCES)

    def test_one_study_with_one_series_of_every_instance(self):
        self.assert_one_series_of_every_instance()

    def test_the_plugin_serves_the_frames_of_the_largest_and_smallest_level(self):
        series = self.series_id()
        pyramid = self.orthanc.json("/wsi/pyramids/" + series)
        full = pydicom.dcmread(self.path("level-0"), stop_before_pixels=True)
        self.assertEqual((pyramid["TotalWidth"], pyramid["TotalHeight"]),
                         (full.TotalPixelMatrixColumns, full.TotalPixelMatrixRows))
        for level in (0, LAYERS - 1):
            with self.subTest(level=level):
                self.assert_tiles_served(series, level, f"level-{level}")

    def test_the_viewer_shows_tissue_at_two_zoom_levels(self):
        series = self.series_id()
        # The viewer fits the slide to the window at a power of two below
        # 2967 / 256 pixels a screen pixel (11.6, 5.8, 2.9, 1.45) and shows
        # the level nearest that: at 1.45 the full resolution, at 2.9 ours
        # at 4. Orthanc-WSI 1.1 takes the label (at 5.7) for a level too, so
        # a window that needs 5.8 shows the label.
        for window, level in (((2600, 2400), 0), ((1100, 1400), LAYERS - 1)):
            with self.subTest(level=level):
                pixels = self.assert_viewer_shows_tissue(series, window, level,
                                                         f"converted-viewer-level{level}.png")
                # Every tile drawn in its place: the screen is the source as
                # the viewer should show it, within what JPEG and the
                # browser's scaling change (8 at the most here; two tiles
                # swapped give 170 or more).
                difference, drawn = difference_on_screen(pixels, window, self.source)
                self.assertLess(difference, 30)
                self.assertGreater(drawn, 0.98)


if __name__ == "__main__":
    test = ViewerShowsTheConvertedSlide
    test.nvx2svs, test.nvxmake, test.source_path, test.shots = sys.argv[1:5]
    os.makedirs(test.shots, exist_ok=True)
    unittest.main(argv=sys.argv[:1], verbosity=2)
