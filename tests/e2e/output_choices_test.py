"""output_choices_test.py - --quality and --chroma 420 on a real nvx slide
made by nvxmake and read through our slide library: what the file holds
(directories, Photometric, YCbCrSubsampling, the qualities of the JPEG
tables and the descriptions' Q=, as tifffile and libtiff read them), that
OpenSlide, libvips, GDAL and tifffile (with PIL's libjpeg) decode the same
full-resolution level and that it is close to the source, how the options
are refused, and that without them the file keeps its old bytes.

usage: output_choices_test.py <nvx2svs> <nvxmake> <folder of libNvxSlideLib.so> <CMU svs>
"""

import hashlib
import os
import re
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import tifffile

import nvxmake_runs_test as runs
import svs_layout as layout

NVX2SVS = NVXMAKE = None
WIDTH, HEIGHT = 3000, 2000
LEVELS = [(3000, 2000), (750, 500)]
STORED_QUALITY = 90  # nvxmake's default


def run(args, env=None):
    env = dict(runs.CHILD_ENV, LC_ALL="C.UTF-8", **(env or {}))
    env.pop("LD_LIBRARY_PATH", None)
    return subprocess.run([NVX2SVS] + [str(a) for a in args], env=env, capture_output=True,
                          timeout=300)


class OutputChoices(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-choices-")
        cls.folder = cls.holder.name
        cls.slides = {}
        for name, size in (("small", f"{WIDTH}x{HEIGHT}"), ("synthetic", "6000x4000")):
            cls.slides[name] = runs.make_slide(NVXMAKE, ["--synthetic", size],
                                               os.path.join(cls.folder, name + ".nvx"))
        source = runs.SlideLibrary(cls.slides["small"])
        try:
            cls.source = source.region(40, 0, 0, WIDTH, HEIGHT)
        finally:
            source.close()

    @classmethod
    def tearDownClass(cls):
        cls.holder.cleanup()

    def convert(self, name, args, env=None, slide="small"):
        output = os.path.join(self.folder, name + ".tif")
        done = run([self.slides[slide], output] + args, env)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(done.stdout.decode("utf-8").endswith(runs.COMPLETION), done.stdout)
        return output

    def test_what_the_file_holds_and_what_readers_show(self):
        # (name, options, environment, directory count, level 0's Photometric,
        #  YCbCrSubsampling and description Q=, the reduced level's, the
        #  JPEG qualities of level 0, thumbnail, reduced level, label, macro,
        #  the least PSNR of level 0 against the source)
        rgb, ycbcr = 2, 6
        cases = [
            ("default", [], None, 5, (rgb, None, 60), (rgb, None, 60), (60, 75, 60, 60, 60), 40),
            ("quality 92", ["--quality", "92"], None, 5, (rgb, None, 92), (rgb, None, 92),
             (92, 92, 92, 92, 92), 53),
            ("quality 30", ["--quality=30"], None, 5, (rgb, None, 30), (rgb, None, 30),
             (30, 30, 30, 30, 30), 38.5),
            ("4:2:0", ["--chroma", "420"], None, 5, (ycbcr, (2, 2), 60), (ycbcr, (2, 2), 60),
             (60, 75, 60, 60, 60), 38.5),
            ("4:2:0 at 85", ["--chroma=420", "--quality", "85"], None, 5,
             (ycbcr, (2, 2), 85), (ycbcr, (2, 2), 85), (85, 85, 85, 85, 85), 43.5),
            ("4:2:0 by pixels", ["--chroma", "420"], {"NVX2SVS_PIXEL_ROUTE": "1"}, 5,
             (ycbcr, (2, 2), 60), (ycbcr, (2, 2), 60), (60, 75, 60, 60, 60), 38.5),
            ("copied, 4:2:0 at 70", ["--tiles", "copy", "--chroma", "420", "--quality", "70"],
             None, 5, (ycbcr, (1, 1), STORED_QUALITY), (ycbcr, (1, 1), STORED_QUALITY),
             (STORED_QUALITY, 70, STORED_QUALITY, 70, 70), 50),
            ("without the pictures, 4:2:0", ["--chroma", "420", "--no-label", "--no-macro"],
             None, 3, (ycbcr, (2, 2), 60), (ycbcr, (2, 2), 60), (60, 75, 60, None, None), 38.5),
        ]
        shown = {}
        for name, options, env, count, first, reduced, qualities, least in cases:
            with self.subTest(name):
                output = self.convert(re.sub("[^a-z0-9]+", "-", name), [2] + options, env)
                # libtiff decodes every tile and strip (tiffinfo -D cannot
                # show subsampled tiles): a YCbCrSubsampling that the
                # streams' sampling does not match fails here.
                done = subprocess.run(["tiffcp", "-c", "none", output,
                                       os.path.join(self.folder, "decoded.tif")],
                                      capture_output=True)
                self.assertEqual((done.returncode, done.stderr), (0, b""))
                done = subprocess.run(["tiffinfo", output], capture_output=True)
                self.assertEqual(done.stdout.count(b"TIFF Directory at offset"), count)
                with tifffile.TiffFile(output) as tiff:
                    pages = [layout.tags_of(page) for page in tiff.pages]
                self.assertEqual(len(pages), count)
                for tags, (photometric, sampling, described), (w, h) in (
                        (pages[0], first, LEVELS[0]), (pages[2], reduced, LEVELS[1])):
                    self.assertEqual((tags[256], tags[257]), (w, h))
                    self.assertEqual(tags[262], photometric)
                    self.assertEqual(tuple(tags[530]) if 530 in tags else None, sampling)
                    self.assertIn(f" JPEG/RGB Q={described}|", tags[270])
                # The pictures stay RGB; every directory's tables say its quality.
                for tags in pages[1:2] + pages[3:]:
                    self.assertEqual(tags[262], rgb)
                found = [layout.quality_of(tags[347]) if 347 in tags else None for tags in pages]
                # Copied tiles carry their own tables: the first tile's.
                with tifffile.TiffFile(output) as tiff:
                    for k in (0, 2):
                        if 347 not in pages[k]:
                            found[k] = layout.quality_of(
                                layout.first_raw_segment(tiff, tiff.pages[k]))
                self.assertEqual(found + [None] * (5 - count), list(qualities))
                # Four readers, the same pixels.
                views = {reader: runs.read_level0(reader, output, WIDTH, HEIGHT, self.folder)
                         for reader in ("openslide", "vips", "gdal", "tifffile")}
                for reader, view in views.items():
                    self.assertTrue(np.array_equal(view, views["openslide"]), reader)
                self.assertGreater(runs.psnr(views["openslide"], self.source), least)
                shown[name] = views["openslide"]
        # The two routes to 4:2:0 differ by rounding, and neither is the
        # further from the source by more than a little.
        by_coefficients, by_pixels = shown["4:2:0"], shown["4:2:0 by pixels"]
        self.assertLess(np.abs(by_coefficients - by_pixels).mean(), 1.0)
        self.assertGreater(runs.psnr(by_coefficients, by_pixels), 40)
        self.assertGreater(runs.psnr(by_coefficients, self.source),
                           runs.psnr(by_pixels, self.source) - 0.25)
        # A higher quality comes closer to the source, a lower one less.
        self.assertGreater(runs.psnr(shown["quality 92"], self.source),
                           runs.psnr(shown["default"], self.source) + 3)
        self.assertLess(runs.psnr(shown["quality 30"], self.source),
                        runs.psnr(shown["default"], self.source) - 1)

    def test_sizes_follow_the_choices(self):
        sizes = {name: os.path.getsize(self.convert("size-" + name, [2] + options))
                 for name, options in (("default", []), ("420", ["--chroma", "420"]),
                                       ("92", ["--quality", "92"]))}
        self.assertLess(sizes["420"], 0.8 * sizes["default"])
        self.assertGreater(sizes["92"], 1.5 * sizes["default"])

    def test_every_quality_gives_baseline_tiles(self):
        # Below quality 24 libjpeg's scaled steps pass 255: 16-bit tables and
        # an SOF1 frame, unless they are held to baseline.
        for quality, route in ((1, []), (10, []), (23, []), (23, ["--chroma", "420"]), (24, []),
                               (100, [])):
            with self.subTest(quality=quality, route=route):
                options = [2, "--quality", quality] + route
                output = self.convert(f"baseline-{quality}-{len(route)}", options)
                with tifffile.TiffFile(output) as tiff:
                    for page in (tiff.pages[0], tiff.pages[2]):  # the pyramid's levels
                        tables = layout.tags_of(page)[347]
                        precisions = {payload[0] >> 4 for marker, payload
                                      in layout.jpeg_segments(tables) if marker == 0xDB}
                        self.assertEqual(precisions, {0}, "8-bit tables")
                        frames = {marker for marker, _ in
                                  layout.jpeg_segments(layout.first_raw_segment(tiff, page))
                                  if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC)}
                        self.assertEqual(frames, {0xC0}, "a baseline frame")
                # A DICOM instance's frames must be baseline.
                folder = os.path.join(self.folder, f"baseline-{quality}-{len(route)}.dicom")
                done = run([self.slides["small"], folder] + options +
                           ["--format", "dicom", "--section-thickness", "4", "--mpp", "0.25"])
                self.assertEqual(done.returncode, 0, done.stderr)

    def test_a_region_in_420_comes_by_pixels(self):
        # A region's tiles do not lie on the stored ones: libjpeg's own 4:2:0.
        output = self.convert("region-420", [9, 40, 100, 50, 1000, 800, "--chroma", "420",
                                             "--quality", "80"])
        with tifffile.TiffFile(output) as tiff:
            tags = layout.tags_of(tiff.pages[0])
        self.assertEqual((tags[256], tags[257], tags[262], tuple(tags[530])),
                         (1000, 800, 6, (2, 2)))
        self.assertIn(" Q=80|", tags[270])
        shown = runs.read_level0("gdal", output, 1000, 800, self.folder)
        self.assertTrue(np.array_equal(shown, runs.read_level0("openslide", output, 1000, 800,
                                                               self.folder)))
        self.assertGreater(runs.psnr(shown, self.source[50:850, 100:1100]), 33)

    def test_refusals_name_the_option(self):
        # The same report as every refused option: --threads 0's.
        usage = run(["a.nvx", "b.tif", "3", "--threads", "0"])
        self.assertEqual(usage.returncode, 255)
        cases = [(["--quality", "0"], "--quality '0' is not a JPEG quality, a whole number "
                                      "from 1 to 100"),
                 (["--quality=101"], "--quality '101' is not a JPEG quality, a whole number "
                                     "from 1 to 100"),
                 (["--quality", "high"], "--quality 'high' is not a JPEG quality, a whole "
                                         "number from 1 to 100"),
                 (["--quality"], "option --quality needs a value"),
                 (["--chroma", "444"], "--chroma '444' is not 420"),
                 (["--chroma=4:2:0"], "--chroma '4:2:0' is not 420"),
                 (["--chroma", "420", "--chroma", "420"], "option --chroma is given twice")]
        for options, reason in cases:
            with self.subTest(options):
                done = run(["a.nvx", "b.tif", "3"] + options)
                self.assertEqual(done.returncode, usage.returncode)
                self.assertEqual(done.stdout, usage.stdout)
                self.assertEqual(done.stderr.decode(), "nvx2svs: error: " + reason + "\n")

    def test_without_the_options_the_bytes_stay(self):
        slide, args, digest = runs.FINGERPRINTS[0]
        self.assertEqual((slide, args), ("synthetic", [4]))
        output = self.convert("fingerprint", args, {"NVX2SVS_PIXEL_ROUTE": "1"}, "synthetic")
        with open(output, "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest)


if __name__ == "__main__":
    NVX2SVS, NVXMAKE = sys.argv[1:3]
    runs.LIBRARY_FOLDER = sys.argv[3]
    runs.NVX2SVS, runs.NVXMAKE, runs.CMU_SVS = sys.argv[1], sys.argv[2], sys.argv[4]
    unittest.main(argv=sys.argv[:1], verbosity=2)
