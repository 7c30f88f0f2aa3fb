"""fake_runs_test.py - the converter run as a user runs it, on the fake slide
library, whose pixels are known exactly: the file layout, what OpenSlide
reads, the progress output byte for byte, region runs cut at the slide's
edges, and every fault the fake can stage.

usage: fake_runs_test.py <nvx2svs> <build>/tests
"""

import hashlib
import os
import re
import resource
import signal
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import openslide
import tifffile

import svs_layout as layout

NVX2SVS = None
FAKE_ROOT = None
WAITING = "正在转换中，请等待...\n"
COMPLETION = "\nOK...转换完成"
USUAL_MPP = ("nvx2svs: warning: the slide records no pixel size; the descriptions say "
             "MPP = {}, the usual value at {}x\n")

# SHA-256 of outputs whose bytes must not change, stored tiles taken by the
# pixel route. (arguments, fake's settings, digest)
FINGERPRINTS = [
    ([4], {}, "9f0f8aa0d8542b1b05ee3bb2c0ec1ed70ad9bef6f042b5d90b815cc3c54caea5"),
    ([9, 40, 100, 50, 1700, 1300], {},
     "81f81cce49a06c6f77c8d985b8400ba94d014e4b89855bae8d3be4ab1cddfc79"),
    ([9], {"NVXFAKE_TILE": "240", "NVXFAKE_MAG": "20", "NVXFAKE_WIDTH": "3000",
           "NVXFAKE_HEIGHT": "1100"},
     "1f7d337d47ccc273b6c3532756bdfc062f23be14e1819b300588f5ff02bfff9b"),
]


def fake_pixels(width, height, magnification, scale, x0, y0, w, h):
    """The fake's pixels of the level at `scale`, from (x0, y0), w x h, from
    the fake_pixels tool (built from tests/fake_slide_lib/fake_pixels.h,
    where the fake's pixels are defined)."""
    args = [str(v) for v in (width, height, magnification, scale, x0, y0, w, h)]
    raw = subprocess.run([os.path.join(FAKE_ROOT, "fake_pixels"), *args],
                         check=True, capture_output=True).stdout
    return np.frombuffer(raw, dtype=np.uint8).reshape(h, w, 3).astype(np.int16)


def limit_file_size(limit):
    """A child whose files cannot grow past `limit` bytes: writes beyond fail."""
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


class Run:
    def __init__(self, folder, args, env=None, library="fake", output="out.tif", file_limit=None):
        self.output = os.path.join(folder, output)
        self.log = os.path.join(folder, "fake.log")
        if os.path.exists(self.log):
            os.remove(self.log)
        environment = dict(os.environ, LC_ALL="C.UTF-8", NVXFAKE_LOG=self.log,
                           LD_LIBRARY_PATH=os.path.join(FAKE_ROOT, library))
        environment.update(env or {})
        command = [NVX2SVS, "slide.nvx", self.output] + [str(a) for a in args]
        done = subprocess.run(command, env=environment, capture_output=True, timeout=120,
                              preexec_fn=limit_file_size(file_limit) if file_limit else None)
        self.status = done.returncode
        self.stdout = done.stdout.decode("utf-8")
        # The fake's slides record no pixel size unless a test gives one: the
        # line that says so is kept apart, and checked where it is the subject.
        stderr = done.stderr.decode("utf-8", "replace")
        self.mpp_warnings = [line for line in stderr.splitlines(keepends=True)
                             if "the slide records no pixel size" in line]
        self.stderr = "".join(line for line in stderr.splitlines(keepends=True)
                              if line not in self.mpp_warnings)
        with open(self.log) as f:
            self.calls = f.read().splitlines()


class FakeRuns(unittest.TestCase):
    def setUp(self):
        self.folder_holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-fake-")
        self.folder = self.folder_holder.name

    def tearDown(self):
        self.folder_holder.cleanup()

    def run_converter(self, args, **kwargs):
        run = Run(self.folder, args, **kwargs)
        # Every buffer the fake handed out went back, the slide was closed and the library unloaded.
        self.assertEqual(run.calls[-1], "unload outstanding=0", run.calls[-5:])
        self.assertIn("close", run.calls)
        return run

    def assert_dots_between(self, run, ending=COMPLETION):
        self.assertTrue(run.stdout.startswith(WAITING), run.stdout)
        self.assertTrue(run.stdout.endswith(ending), run.stdout)
        dots = run.stdout[len(WAITING):len(run.stdout) - len(ending)]
        self.assertGreaterEqual(len(dots), 2)
        self.assertEqual(dots.strip("."), "", run.stdout)

    # --- a whole slide --------------------------------------------------------

    def test_whole_slide_layout_openslide_and_pixels(self):
        run = self.run_converter([4])
        self.assertEqual(run.status, 0, run.stderr)
        self.assert_dots_between(run)
        self.assertEqual(run.stderr, "")
        levels = [(2000, 1500), (500, 375)]
        layout.check_layout(run.output, levels, 256, 40, "0.239842")
        layout.check_openslide(run.output, levels, 40, 0.239842)
        for level, scale in ((0, 40.0), (1, 10.0)):
            got = layout.read_level(run.output, level)
            w, h = levels[level]
            expected = fake_pixels(2000, 1500, 40, scale, 0, 0, w, h)
            diff = layout.mean_difference(got, expected)
            self.assertTrue((diff < 3).all(), f"level {level}: {diff}")
        # Whole-slide mode fetches stored tiles; the thumbnail is one JPEG region at 40x.
        self.assertIn("tile 40 1792 1280", run.calls)
        self.assertIn("tile 10 256 256", run.calls)
        self.assertIn("region 40 0 0 2000 1500 1", run.calls)
        self.assertFalse(any(c.startswith("region") and c.endswith(" 0") for c in run.calls))

    def test_whole_slide_and_region_outputs_keep_their_bytes(self):
        for args, env, digest in FINGERPRINTS:
            with self.subTest(args=args, env=env):
                # Whole-slide runs by the pixel route, whose bytes these are;
                # the coefficient route's files are compared in nvxmake_runs_test.
                run = self.run_converter(args, env=dict(env, NVX2SVS_PIXEL_ROUTE="1"))
                self.assertEqual(run.status, 0, run.stderr)
                with open(run.output, "rb") as f:
                    self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest)

    def test_progress_output_byte_for_byte(self):
        # One tile row per level: each level completes in one step, one dot each.
        run = self.run_converter([4], env={"NVXFAKE_HEIGHT": "200"})
        self.assertEqual(run.status, 0, run.stderr)
        self.assertEqual(run.stdout.encode("utf-8"),
                         (WAITING + "." + "." + "." + COMPLETION).encode("utf-8"))

    def test_tile_size_240_and_magnification_20(self):
        run = self.run_converter([9], env={"NVXFAKE_TILE": "240", "NVXFAKE_MAG": "20",
                                           "NVXFAKE_WIDTH": "3000", "NVXFAKE_HEIGHT": "1100"})
        self.assertEqual(run.status, 0, run.stderr)
        levels = [(3000, 1100), (750, 275)]
        layout.check_layout(run.output, levels, 240, 20, "0.467290")
        layout.check_openslide(run.output, levels, 20, 0.46729)
        got = layout.read_level(run.output, 0)
        diff = layout.mean_difference(got, fake_pixels(3000, 1100, 20, 20.0, 0, 0, 3000, 1100))
        self.assertTrue((diff < 3).all(), diff)

    # --- regions --------------------------------------------------------------

    def test_region_cut_at_the_right_and_bottom_edges(self):
        # Scale 20 on a 40x slide: (850, 600, 400, 400) maps to (1700, 1200, 800, 800),
        # cut to 300 x 300 at the slide's right and bottom edges.
        run = self.run_converter([3, 20, 850, 600, 400, 400])
        self.assertEqual(run.status, 0, run.stderr)
        levels = [(300, 300), (75, 75)]
        layout.check_layout(run.output, levels, 256, 40, "0.239842")
        layout.check_openslide(run.output, levels, 40, 0.239842)
        got = layout.read_level(run.output, 0)
        diff = layout.mean_difference(got, fake_pixels(2000, 1500, 40, 40.0, 1700, 1200, 300, 300))
        self.assertTrue((diff < 3).all(), diff)
        # At 10x the fake's blue checkers are 16 pixels wide and here fall across
        # JPEG's 8 x 8 blocks; quality 60 rings on such edges more than on tissue.
        got = layout.read_level(run.output, 1)
        diff = layout.mean_difference(got, fake_pixels(2000, 1500, 40, 10.0, 425, 300, 75, 75))
        self.assertTrue((diff < 6).all(), diff)
        # Raw RGB rectangles, the last of each row and column cut to the region.
        self.assertIn("region 40 1700 1200 256 256 0", run.calls)
        self.assertIn("region 40 1956 1456 44 44 0", run.calls)
        self.assertIn("region 10 425 300 75 75 0", run.calls)
        self.assertIn("region 40 1700 1200 300 300 1", run.calls)
        self.assertFalse(any(c.startswith("tile") for c in run.calls))

    # --- faults ---------------------------------------------------------------

    def assert_failed_run(self, run, lost):
        self.assertEqual(run.status, 255)
        self.assertNotIn("OK...", run.stdout)
        self.assertTrue(run.stdout.startswith(WAITING))
        self.assertIn(f"{lost} tile", run.stderr)
        self.assertEqual(len(run.stderr.strip().splitlines()), 1, run.stderr)
        self.assertTrue(run.stderr.strip().endswith(f"{run.output} was left as it was"),
                        run.stderr)
        # Nothing incomplete is published, and nothing is left beside it.
        self.assertFalse(os.path.exists(run.output))
        self.assertEqual([n for n in os.listdir(self.folder) if n.startswith(".out")], [])

    def test_a_fetch_that_yields_nothing_fails_the_run(self):
        run = self.run_converter([4], env={"NVXFAKE_FAIL_FETCH": "3"})
        self.assert_failed_run(run, "1")
        self.assertIn("1 tile could not be read", run.stderr)

    def test_streams_that_do_not_decode_or_do_not_fit_are_lost(self):
        # 8 x 6 tiles at full resolution; the run stops after the level that lost them.
        for env in ({"NVXFAKE_CORRUPT": "tile"}, {"NVXFAKE_OVERSIZE": "1"}):
            with self.subTest(env=env):
                run = self.run_converter([4], env=env)
                self.assert_failed_run(run, "48")

    def test_a_region_fetch_that_yields_nothing_fails_the_run(self):
        run = self.run_converter([3, 40, 0, 0, 600, 600], env={"NVXFAKE_FAIL_FETCH": "1"})
        self.assert_failed_run(run, "1")

    def test_memory_the_library_runs_out_of_is_out_of_memory_not_a_lost_tile(self):
        # The library says why a fetch gave nothing (NvxLastFetchFailure).
        tile = r"fetching tile \d+ \(\d+, \d+\) of pyramid level 1; pyramid level 1 ended short: " \
               r"\d+ of \d+ rows written"
        for args, out_of_memory, doing in (([3, 40, 0, 0, 600, 600], "2", tile),
                                           ([4], "3", tile),
                                           ([4], "jpeg", "fetching the thumbnail picture")):
            with self.subTest(args=args, out_of_memory=out_of_memory):
                run = self.run_converter(args, env={"NVXFAKE_OUT_OF_MEMORY": out_of_memory})
                self.assertEqual(run.status, 255, run.stderr)
                self.assertNotIn("OK...", run.stdout)
                self.assertRegex(run.stderr, "^nvx2svs: error: the output is incomplete: out of "
                                 f"memory while {doing}; {re.escape(run.output)} was left as it "
                                 "was\n$")
                self.assertFalse(os.path.exists(run.output))
                self.assertEqual([n for n in os.listdir(self.folder) if n.startswith(".out")], [])

    def test_writes_the_disk_refuses_fail_the_run(self):
        # A file that cannot grow past 300 KB: the first level's tiles fill it.
        run = self.run_converter([4], file_limit=300_000)
        self.assertEqual(run.status, 255)
        self.assertTrue(run.stdout.startswith(WAITING))
        self.assertNotIn("OK...", run.stdout)
        report = [line for line in run.stderr.splitlines() if line.startswith("nvx2svs: ")]
        self.assertEqual(len(report), 1, run.stderr)
        self.assertRegex(report[0], r"the output is incomplete: .*failed")
        self.assertIn("file size limit of 300000 bytes (ulimit -f)", report[0])
        # libtiff's own messages, each distinct one once.
        libtiff = [line for line in run.stderr.splitlines() if not line.startswith("nvx2svs: ")]
        self.assertGreater(len(libtiff), 0, run.stderr)
        self.assertEqual(len(libtiff), len(set(libtiff)), run.stderr)
        self.assertFalse(os.path.exists(run.output))

    def test_a_failing_close_drops_only_the_completion_line(self):
        run = self.run_converter([4], env={"NVXFAKE_FAIL": "close"})
        self.assertEqual(run.status, 0)
        self.assert_dots_between(run, ending="")
        self.assertNotIn("OK", run.stdout)

    def test_pictures_the_slide_does_not_have_leave_their_directory_out_with_a_warning(self):
        # The PageNumber totals count the directories the file holds (the
        # layout check reads them all): 3 to 5 here.
        cases = [
            ({"NVXFAKE_FAIL": "label"}, "fake", ["label"]),
            ({"NVXFAKE_FAIL": "preview"}, "fake", ["macro"]),
            ({"NVXFAKE_FAIL": "label,preview"}, "fake", ["label", "macro"]),
            ({}, "fake-without-NvxFetchLabel", ["label"]),
            ({}, "fake-without-NvxFetchPreview", ["macro"]),
        ]
        for env, library, missing in cases:
            with self.subTest(library=library, env=env):
                run = self.run_converter([4], env=env, library=library)
                self.assertEqual(run.status, 0, run.stderr)
                self.assertTrue(run.stdout.endswith(COMPLETION))
                self.assertEqual(run.stderr, "".join(
                    f"nvx2svs: warning: the slide has no {name} picture; its directory is left "
                    "out\n" for name in missing))
                levels = [(2000, 1500), (500, 375)]
                layout.check_layout(run.output, levels, 256, 40, "0.239842",
                                    label="label" not in missing, macro="macro" not in missing)
                present = [name for name in ("label", "macro", "thumbnail") if name not in missing]
                layout.check_openslide(run.output, levels, 40, 0.239842, associated=present)

    def test_pictures_the_slide_hands_over_but_cannot_be_read_fail_the_run(self):
        # Every slide has pixels for a thumbnail; a label or macro stream that
        # came but does not decode is lost like a tile.
        for env, picture in (({"NVXFAKE_CORRUPT": "region"}, "thumbnail"),
                             ({"NVXFAKE_FAIL": "region"}, "thumbnail"),
                             ({"NVXFAKE_CORRUPT": "label"}, "label"),
                             ({"NVXFAKE_CORRUPT": "preview"}, "macro")):
            with self.subTest(env=env):
                run = self.run_converter([4], env=env)
                self.assertEqual(run.status, 255, run.stderr)
                self.assertNotIn("OK...", run.stdout)
                self.assertIn(f"the slide's {picture} picture could not be read", run.stderr)
                self.assertFalse(os.path.exists(run.output))

    def test_a_picture_the_slide_has_but_cannot_give_fails_the_run_before_any_work(self):
        # The library says the slide has the picture but cannot read it (its
        # stream fails its checksum): lost data, never "the slide has no label".
        for damaged, pictures in (("label", ["label"]), ("preview", ["macro"]),
                                  ("label,preview", ["label", "macro"])):
            with self.subTest(damaged=damaged):
                run = self.run_converter([4], env={"NVXFAKE_DAMAGED": damaged})
                self.assertEqual(run.status, 255, run.stderr)
                self.assertEqual(run.stdout, "")
                self.assertEqual(run.mpp_warnings, [])
                lines = run.stderr.splitlines()
                self.assertEqual(len(lines), 1, run.stderr)
                self.assertTrue(lines[0].startswith("nvx2svs: error: "), lines[0])
                for picture in pictures:
                    self.assertIn(f"the slide's {picture} picture could not be read", lines[0])
                self.assertFalse(os.path.exists(run.output))
                self.assertEqual(os.listdir(self.folder), ["fake.log"])
                self.assertFalse(any(c.startswith(("tile", "region")) for c in run.calls))

    def test_thin_slides_and_regions_convert(self):
        # A side the thumbnail's reduction would halve to nothing stays one pixel.
        for env, args, thumbnail_request in (
                ({"NVXFAKE_WIDTH": "3", "NVXFAKE_HEIGHT": "8000"}, [4], "region 10 0 0 1 2000 1"),
                ({"NVXFAKE_HEIGHT": "8000"}, [3, 40, 100, 0, 3, 8000], "region 10 25 0 1 2000 1"),
                ({"NVXFAKE_WIDTH": "9000", "NVXFAKE_HEIGHT": "2"}, [4],
                 "region 5 0 0 1125 1 1")):
            with self.subTest(env=env, args=args):
                run = self.run_converter(args, env=env)
                self.assertEqual(run.status, 0, run.stderr)
                self.assertEqual(run.stderr, "")
                self.assertIn(thumbnail_request, run.calls)
                with tifffile.TiffFile(run.output) as tf:
                    first, thumbnail = tf.pages[0], tf.pages[1]
                    w, h = (int(v) for v in thumbnail_request.split()[4:6])
                    self.assertEqual((thumbnail.imagewidth, thumbnail.imagelength), (w, h))
                    levels = [(first.imagewidth, first.imagelength)]
                # tiffinfo decodes every strip and tile; OpenSlide reads the thumbnail.
                layout.check_layout(run.output, levels, 256, 40, "0.239842")
                layout.check_openslide(run.output, levels, 40, 0.239842)
                slide = openslide.OpenSlide(run.output)
                self.assertEqual(slide.associated_images["thumbnail"].size, (w, h))
                slide.close()

    def test_header_values_that_cannot_be_true_do_not_reach_the_file(self):
        # (magnification, recorded MPP, the descriptions' MPP, the warning's magnification)
        cases = [("40", "0", "0.239842", 40), ("20", "0", "0.467290", 20),
                 ("40", "nan", "0.239842", 40), ("40", "-1", "0.239842", 40),
                 ("40", "1e30", "0.239842", 40), ("20", "inf", "0.467290", 20),
                 ("40", "0.25", "0.250000", None), ("10", "nan", "0.000000", None),
                 ("10", "0", "0.000000", None)]
        for magnification, recorded, written, usual in cases:
            with self.subTest(magnification=magnification, recorded=recorded):
                run = self.run_converter([4], env={"NVXFAKE_MAG": magnification,
                                                   "NVXFAKE_MPP": recorded,
                                                   "NVXFAKE_HEIGHT": "300"})
                self.assertEqual(run.status, 0, run.stderr)
                self.assertEqual(run.stderr, "")
                self.assertEqual(run.mpp_warnings,
                                 [USUAL_MPP.format(written, usual)] if usual else [])
                with tifffile.TiffFile(run.output) as tf:
                    levels = [p for p in tf.pages if p.is_tiled]
                    self.assertEqual(len(levels), 2)
                    for page in levels:
                        self.assertTrue(page.description.endswith(
                            f"|AppMag = {magnification}|MPP = {written}"), page.description)

    def test_magnifications_outside_1_to_1000_are_refused(self):
        for magnification in ("-40", "0", "1001"):
            for args in ([4], [3, 10, 0, 0, 100, 100]):
                with self.subTest(magnification=magnification, args=args):
                    run = self.run_converter(args, env={"NVXFAKE_MAG": magnification})
                    self.assertEqual(run.status, 255)
                    self.assertEqual(run.stdout, "")
                    self.assertEqual(run.stderr, (
                        "nvx2svs: error: the header of 'slide.nvx' gives a scan magnification of "
                        f"{magnification}; a slide's magnification is from 1 to 1000\n"))
                    self.assertFalse(os.path.exists(run.output))
                    self.assertFalse(any(c.startswith(("tile", "region", "label", "preview"))
                                         for c in run.calls))

    def test_label_and_macro_take_their_size_from_the_stream(self):
        # Sizes reported smaller or larger than the picture: the stream decides.
        for reported in ("598x400", "10x10", "5000x5000"):
            with self.subTest(reported=reported):
                run = self.run_converter([4], env={"NVXFAKE_REPORTED_SIZE": reported})
                self.assertEqual(run.status, 0, run.stderr)
                self.assertEqual(run.stderr, "")
                with tifffile.TiffFile(run.output) as tf:
                    label, macro = tf.pages[-2], tf.pages[-1]
                    self.assertEqual((label.imagewidth, label.imagelength), (600, 400))
                    self.assertEqual((macro.imagewidth, macro.imagelength), (1200, 400))
                slide = openslide.OpenSlide(run.output)
                self.assertEqual(slide.associated_images["label"].size, (600, 400))
                self.assertEqual(slide.associated_images["macro"].size, (1200, 400))

    def test_an_output_that_cannot_be_created(self):
        run = self.run_converter([4], output="no-such-folder/out.tif")
        self.assertEqual(run.status, 1)
        self.assertEqual(run.stdout, "Could not open output.tif for writing\n")
        self.assertIn("no-such-folder/out.tif", run.stderr)  # libtiff's own report

    def test_an_output_that_is_the_input_slide_is_refused(self):
        slide = os.path.join(self.folder, "slide.nvx")
        with open(slide, "wb") as f:
            f.write(b"the slide")
        os.symlink(slide, os.path.join(self.folder, "alias.tif"))
        for output in ("slide.nvx", "alias.tif"):
            with self.subTest(output=output):
                environment = dict(os.environ, LC_ALL="C.UTF-8",
                                   LD_LIBRARY_PATH=os.path.join(FAKE_ROOT, "fake"))
                done = subprocess.run([NVX2SVS, slide, os.path.join(self.folder, ".", output), "4"],
                                      env=environment, capture_output=True, timeout=60)
                self.assertEqual(done.returncode, 255)
                self.assertEqual(done.stdout, b"")
                self.assertIn(b"refusing to overwrite", done.stderr)
                with open(slide, "rb") as f:
                    self.assertEqual(f.read(), b"the slide")

    def test_a_slide_without_pixels_ends_before_the_output_exists(self):
        for width, height in (("0", "0"), ("2000", "0"), ("0", "1500")):
            with self.subTest(width=width, height=height):
                run = self.run_converter([4], env={"NVXFAKE_WIDTH": width,
                                                   "NVXFAKE_HEIGHT": height})
                self.assertEqual(run.status, 255)
                self.assertEqual(run.stdout, "")
                self.assertEqual(run.stderr, "nvx2svs: error: the area to convert is empty "
                                 f"({width}x{height} pixels)\n")
                self.assertFalse(os.path.exists(run.output))
                self.assertEqual(os.listdir(self.folder), ["fake.log"])

    def test_unsupported_tile_sizes_end_before_the_output_exists(self):
        for tile in ("8", "250", "8192"):
            with self.subTest(tile=tile):
                run = self.run_converter([4], env={"NVXFAKE_TILE": tile})
                self.assertEqual(run.status, 255)
                self.assertEqual(run.stdout, "")
                self.assertIn(f"tile size {tile} is not supported", run.stderr)
                self.assertFalse(os.path.exists(run.output))


if __name__ == "__main__":
    NVX2SVS, FAKE_ROOT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
