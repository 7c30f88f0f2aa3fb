"""dicom_viewer_test.py - the converter's DICOM instances in the viewers
people use, against the TIFF route's pixels.

nvxmake makes two slides, one of the real scan given (H&E tissue) and one
synthetic; nvx2svs converts each with --format dicom and, with the same
options, to a TIFF. Every instance is uploaded to Debian's Orthanc with its
whole-slide, DICOMweb and folder plugins (orthanc_server.py: 127.0.0.1, free
ports, a storage folder of its own, stopped after the test). Orthanc accepts
each and lists one study of two series, the pyramid's and the pictures'
(the label and the overview); the whole-slide plugin's pyramid is our
levels and nothing else, and it serves their tiles byte for byte.

In headless Chromium (screenshots kept in SHOTS_FOLDER):
- Orthanc's whole-slide viewer, in a common window (its default view: the
  whole slide fitted) and in windows whose fit calls for each level, asks
  for every tile of that level and no other, and shows the slide as the
  TIFF's pixels scaled to the same place (tissue, for the scan: never the
  label or the overview);
- dicom-microscopy-viewer (npm), in our page served beside the DICOMweb
  plugin, fits the whole slide in its panel and shows it as the TIFF's
  pixels, shows the label and the overview as the TIFF's, and as the view
  zooms in step by step asks for every level's frames, each step's screen
  the TIFF's pixels of the area shown.

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
import dicomweb_viewer  # noqa: E402
from screen_match import difference_in_place  # noqa: E402
from wsi_viewer import Chromium, SlideInOrthanc, tissue_measures  # noqa: E402

import nvxmake_runs_test as runs  # noqa: E402

LAYERS = 3
# The page's panels (viewer.html): left, top, right, bottom.
PANELS = {"volume": (0, 0, 800, 600), "label": (800, 0, 1100, 300),
          "overview": (800, 300, 1100, 600)}
PAGE_WINDOW = (1100, 600)


def fitted_resolution(size, window):
    """Orthanc's viewer fits the slide to the window, in slide pixels a
    screen pixel: OpenLayers' zoom steps halve the largest side over 256,
    and it takes the finest step that still shows the whole slide, and
    none finer than 1."""
    resolution = max(size) / 256
    need = max(size[0] / window[0], size[1] / window[1], 1)
    while resolution / 2 >= need:
        resolution /= 2
    return resolution


def fitted_corners(size, window):
    """Where Orthanc's viewer draws the slide's corners: fitted, centred."""
    resolution = fitted_resolution(size, window)
    width, height = size[0] / resolution, size[1] / resolution
    left, top = (window[0] - width) / 2, (window[1] - height) / 2
    return [[left, top], [left + width, top], [left, top + height],
            [left + width, top + height]]


def in_panel(pixels, corners, panel):
    """The screenshot's part within a page panel, and the corners there."""
    left, top, right, bottom = panel
    return (pixels[top:bottom, left:right],
            [[x - left, y - top] for x, y in corners])


class SlideInViewers(SlideInOrthanc):
    """One slide's instances in Orthanc; the subclass gives the slide."""

    plugins = dicomweb_viewer.PLUGINS
    nvx2svs = nvxmake = source_path = None
    name = ""
    # nvxmake's arguments for the slide, and whether it shows H&E tissue.
    slide_arguments = None
    tissue = False
    # (window, the level Orthanc's viewer shows there): the first window is
    # a common one, the viewer's default view of the whole slide.
    windows = ()

    @classmethod
    def make_instances(cls):
        slide = runs.make_slide(cls.nvxmake, cls.slide_arguments(),
                                os.path.join(cls.folder, "slide.nvx"))
        metadata = os.path.join(cls.folder, "metadata.json")
        with open(metadata, "w", encoding="ascii") as f:
            json.dump({"section_thickness_um": 4, "container_identifier": "S-" + cls.name}, f)
        # No LD_LIBRARY_PATH: the converter finds our library beside itself.
        env = dict(runs.CHILD_ENV, LC_ALL="C.UTF-8")
        env.pop("LD_LIBRARY_PATH", None)
        tiff = os.path.join(cls.folder, "slide.tif")
        common = [str(LAYERS), "--mpp", "0.25"]
        for output, extra in ((cls.instances, ["--format", "dicom", "--dicom-metadata", metadata]),
                              (tiff, [])):
            done = subprocess.run([cls.nvx2svs, slide, output] + common + extra, env=env,
                                  capture_output=True, timeout=300)
            if done.returncode != 0 or not done.stdout.decode("utf-8").endswith(runs.COMPLETION):
                raise AssertionError(done.stderr.decode("utf-8", "replace"))
        # The TIFF route's pixels, as OpenSlide reads them.
        with openslide.OpenSlide(tiff) as read:
            cls.reference = {
                "slide": np.asarray(read.read_region((0, 0), 0, read.dimensions).convert("RGB")),
                "label": np.asarray(read.associated_images["label"].convert("RGB")),
                "overview": np.asarray(read.associated_images["macro"].convert("RGB")),
            }
        cls.folders = dicomweb_viewer.page_folders(os.path.join(cls.folder, "page"))
        return sorted(name[:-len(".dcm")] for name in os.listdir(cls.instances)
                      if name.endswith(".dcm"))

    def levels(self):
        return sorted((n for n in self.names if n.startswith("level-")),
                      key=lambda n: int(n.split("-")[1]))

    def dataset(self, name):
        return pydicom.dcmread(self.path(name), stop_before_pixels=True)

    def save(self, picture, name):
        with open(os.path.join(self.shots, f"{self.name}-{name}.png"), "wb") as out:
            out.write(picture)

    def assert_shows(self, pixels, corners, reference, what, tissue=True):
        """The screen shows `reference` in place, within what JPEG and the
        browser's scaling change (under 16 here; another picture or a tile
        out of place gives 60 or more); and for the scan, tissue."""
        difference, shown = difference_in_place(pixels, corners, reference)
        self.assertLess(difference, 30, what)
        if self.tissue and tissue:
            pink, nuclei, texture = tissue_measures(shown)
            self.assertGreater(pink, 0.05, what)
            self.assertGreater(nuclei, 50, what)
            self.assertGreater(texture, 8, what)

    def test_orthanc_accepts_every_instance(self):
        self.assert_every_instance_accepted(
            ["label", "overview", "thumbnail"] + [f"level-{k}" for k in range(len(self.levels()))])

    def test_one_study_with_the_pyramid_and_the_pictures_series(self):
        self.assert_pyramid_and_picture_series()

    def test_the_plugin_serves_our_levels_and_nothing_else(self):
        series = self.series_id()
        self.assert_pyramid_is_our_levels(series)
        for level in (0, len(self.levels()) - 1):
            with self.subTest(level=level):
                self.assert_tiles_served(series, level, f"level-{level}")

    def test_orthanc_viewer_shows_the_slide_by_default_and_at_every_level(self):
        series = self.series_id()
        full = self.dataset("level-0")
        size = (full.TotalPixelMatrixColumns, full.TotalPixelMatrixRows)
        self.assertEqual(sorted({level for _, level in self.windows}),
                         list(range(len(self.levels()))), "every level is shown")
        for window, level in self.windows:
            with self.subTest(window=window):
                across, down = self.orthanc.json("/wsi/pyramids/" + series)["TilesCount"][level]
                asked, pixels = self.screenshot(series, *window,
                                                f"{self.name}-orthanc-{window[0]}x{window[1]}.png",
                                                across * down)
                self.assertEqual(sorted(asked), [level])
                self.assertEqual(asked[level],
                                 {(x, y) for x in range(across) for y in range(down)})
                self.assert_shows(pixels, fitted_corners(size, window), self.reference["slide"],
                                  f"level {level}")

    def microscopy_viewer(self, volume=None):
        """Chromium with our page of the slide's study (its volume panel of
        `volume`'s size, or the page's own) and a function that takes a
        view, waits for the page and gives the page's state, the
        screenshot's pixels and the levels asked for meanwhile."""
        why = dicomweb_viewer.missing()
        if why:
            self.fail(why)
        study = self.dataset("level-0").StudyInstanceUID
        level_uids = {self.dataset(name).SOPInstanceUID: name for name in self.levels()}
        browser = Chromium(*PAGE_WINDOW)

        def view(name, action=None):
            """`action`: JavaScript to run in the page, None to load it."""
            renders = 0 if action is None else browser.evaluate("window.shown.renders.volume")
            since = len(self.orthanc.log_text())
            if action is None:
                browser.call("Page.navigate", page=True,
                             url=dicomweb_viewer.page_url(self.orthanc.port, study, volume))
            else:
                browser.evaluate(action)
            state, picture, asked = dicomweb_viewer.settle(browser, self.orthanc, since, renders)
            self.assertIsNone(state.get("error"), state)
            self.assertGreater(state["renders"]["volume"], renders, state)
            self.save(picture, "microscopy-" + name)
            with Image.open(os.path.join(self.shots, f"{self.name}-microscopy-{name}.png")) as im:
                pixels = np.asarray(im.convert("RGB")).astype(int)
            return state, pixels, {level_uids[uid] for uid in asked if uid in level_uids}

        def place(what):
            return json.loads(browser.evaluate(f"JSON.stringify(placeOf('{what}'))"))

        return browser, view, place

    def test_dicom_microscopy_viewer_fits_the_slide_and_shows_its_pictures(self):
        browser, view, place = self.microscopy_viewer()
        try:
            state, pixels, _ = view("fitted")
            self.assertEqual(sorted(set(state["flavours"]) - {"THUMBNAIL"}),
                             ["LABEL", "OVERVIEW", "VOLUME"])
            # The whole slide in its panel, filling it one way; the label
            # and the overview in theirs; each as the TIFF's pixels.
            for what, reference in (("volume", "slide"), ("label", "label"),
                                    ("overview", "overview")):
                with self.subTest(what):
                    shown, corners = in_panel(pixels, place(what)["corners"], PANELS[what])
                    xs, ys = [x for x, _ in corners], [y for _, y in corners]
                    panel_width, panel_height = shown.shape[1], shown.shape[0]
                    self.assertGreaterEqual(min(xs + ys), -1, corners)
                    self.assertLessEqual(max(xs), panel_width + 1, corners)
                    self.assertLessEqual(max(ys), panel_height + 1, corners)
                    self.assertGreater(max((max(xs) - min(xs)) / panel_width,
                                           (max(ys) - min(ys)) / panel_height), 0.9, corners)
                    self.assert_shows(shown, corners, self.reference[reference], what,
                                      tissue=what == "volume")
        finally:
            browser.close()

    def test_dicom_microscopy_viewer_asks_for_every_level_as_it_zooms_in(self):
        # A panel small enough that the fitted slide calls for the smallest
        # level; zoomed in, halving the resolution, until a screen pixel is
        # a slide pixel: every level is asked for on the way, and every view
        # shows the TIFF's pixels of the area in it.
        side = 250
        browser, view, place = self.microscopy_viewer((side, side))
        levels_asked = []
        try:
            step, action = 0, None
            while True:
                _, pixels, asked = view(f"zoom{step}", action)
                levels_asked.append(asked)
                where = place("volume")
                with self.subTest(step=step):
                    shown, corners = in_panel(pixels, where["corners"], (0, 0, side, side))
                    self.assert_shows(shown, corners, self.reference["slide"], f"step {step}")
                if where["resolution"] <= 1:
                    break
                step, action = step + 1, "zoomBy(0.5)"
        finally:
            browser.close()
        self.assertEqual(levels_asked[0], {self.levels()[-1]}, "fitted: the smallest level")
        self.assertEqual(set().union(*levels_asked), set(self.levels()), levels_asked)


class ScannedSlide(SlideInViewers, unittest.TestCase):
    """The real scan: 2220 x 2967, levels of 2220, 555 and 138 columns."""

    name = "scan"
    tissue = True
    # Fitted at 5.8, 11.6 and 1.45 slide pixels a screen pixel.
    windows = (((1280, 800), 1), ((500, 450), 2), ((1600, 2100), 0))

    @classmethod
    def slide_arguments(cls):
        return ["--from", cls.source_path]


class SyntheticSlide(SlideInViewers, unittest.TestCase):
    """nvxmake's synthetic slide: 3000 x 2000, levels of 3000 and 750."""

    name = "synthetic"
    # Fitted at 2.9 and 1.46 slide pixels a screen pixel.
    windows = (((1280, 800), 1), ((2100, 1400), 0))

    @classmethod
    def slide_arguments(cls):
        return ["--synthetic", "3000x2000"]


if __name__ == "__main__":
    for test in (ScannedSlide, SyntheticSlide):
        test.nvx2svs, test.nvxmake, test.source_path, test.shots = sys.argv[1:5]
    os.makedirs(sys.argv[4], exist_ok=True)
    unittest.main(argv=sys.argv[:1], verbosity=2)
