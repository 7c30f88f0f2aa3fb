"""orthanc_test.py - a real PACS takes one slide's instances and shows them.

Debian's Orthanc with its whole-slide plugin runs on 127.0.0.1 on free
ports with a storage folder of its own, and is stopped after the test
whatever happens. The instances write_test_instances --slide writes (three
levels of a tissue-like picture, the label, the overview and the
thumbnail) are uploaded through the REST API: Orthanc accepts every one
and lists one study with the pyramid's series and the pictures' (the label
and the overview); the plugin's pyramid is our levels and nothing else, it
serves every tile of every level, byte for byte the frame we wrote; and its viewer
in headless Chromium asks for every tile of the full-resolution level in a
large window and of the smallest level in a small one, and shows tissue in
both (the screenshots are kept in SHOTS_FOLDER).

usage: orthanc_test.py <write_test_instances> <SHOTS_FOLDER>
"""

import os
import subprocess
import sys
import unittest

from wsi_viewer import SlideInOrthanc

LEVELS = ("level0", "level1", "level2")


class OrthancTakesTheSlide(SlideInOrthanc, unittest.TestCase):
    writer = None

    @classmethod
    def make_instances(cls):
        os.mkdir(cls.instances)
        subprocess.run([cls.writer, "--slide", cls.instances], check=True, timeout=300)
        with open(os.path.join(cls.instances, "instances.txt"), encoding="ascii") as listing:
            return [line.split()[0] for line in listing]

    def test_orthanc_accepts_every_instance(self):
        self.assert_every_instance_accepted(LEVELS + ("label", "overview", "thumbnail"))

    def test_one_study_with_the_pyramid_and_the_pictures_series(self):
        self.assert_pyramid_and_picture_series()

    def test_the_plugin_serves_every_tile_as_written(self):
        series = self.series_id()
        pyramid = self.orthanc.json("/wsi/pyramids/" + series)
        self.assertEqual((pyramid["TotalWidth"], pyramid["TotalHeight"]), (2048, 1536))
        # Orthanc-WSI 1.1 leaves the overview and the thumbnail out of the
        # pyramid but would take a label of the series for a level.
        self.assert_pyramid_is_our_levels(series)
        for level, name in enumerate(LEVELS):
            with self.subTest(name):
                self.assert_tiles_served(series, level, name)

    def test_the_viewer_shows_tissue_at_two_zoom_levels(self):
        series = self.series_id()
        self.assertEqual(self.orthanc.request("GET", "/wsi/app/viewer.html")[0], 200)
        # The viewer fits the slide to the window at a power of two below
        # 2048 / 256 slide pixels a screen pixel and shows the level nearest
        # that: a large window (1) the full resolution, a small one (4) the
        # smallest of our levels.
        for window, level in (((2600, 2000), 0), ((700, 500), 2)):
            with self.subTest(level=level):
                self.assert_viewer_shows_tissue(series, window, level,
                                                f"orthanc-viewer-level{level}.png")


if __name__ == "__main__":
    OrthancTakesTheSlide.writer, OrthancTakesTheSlide.shots = sys.argv[1:3]
    os.makedirs(OrthancTakesTheSlide.shots, exist_ok=True)
    unittest.main(argv=sys.argv[:1], verbosity=2)
