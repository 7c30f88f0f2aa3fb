"""memory_limit_test.py - the converter under an address-space limit, as
`prlimit --as=` sets it, with a label of 12000 x 12000 pixels (432 MB as
RGB) on the fake slide library:

- a baseline label converts under every limit, even ones far below its
  size: it is decoded and encoded a row at a time;
- a progressive label, which libjpeg can only decode whole (864 MB of
  coefficients), ends the run with one line that says "out of memory" and
  what was being done, status -1, nothing published and no temporary left:
  never an abort.

Tiles of 4096 pixels under limits from far too low to enough: memory that
runs out while a tile is made, in the converter, inside TurboJPEG's decode
(a progressive stored tile needs 96 MB of coefficients) or inside our slide
library (region runs), is reported as out of memory, never as a lost tile.

A slide of 16384 x 12288 pixels in tiles of 4096 peaks within 256 MiB of
resident memory, whole and as regions.

A slide with a label of 12000 x 9000 pixels (324 MB as RGB) and a
coloured preview converts within 100 MiB of resident memory as a TIFF and
as DICOM: both outputs stream a picture by rows into its encoder. The
DICOM label and overview frames decode to the very pixels of the TIFF's
label and macro directories.

Thread stacks are held to 2 MiB, so that the 64 workers of the small levels
fit beside the lowest limit: the pictures are this test's subject.

Not run under the sanitizers, which reserve terabytes of address space.

usage: memory_limit_test.py <nvx2svs> <build>/tests [<nvxmake> <folder of libNvxSlideLib.so>]
"""

import concurrent.futures
import json
import multiprocessing
import os
import resource
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import pydicom
import tifffile
from PIL import Image

NVX2SVS = None
FAKE_ROOT = None
NVXMAKE = LIBRARY_FOLDER = None
LIMITS_MIB = (384, 512, 800)
LABEL_SIDE = 12000


def limited(address_space_mib):
    def apply():
        resource.setrlimit(resource.RLIMIT_AS, (address_space_mib << 20,) * 2)
        resource.setrlimit(resource.RLIMIT_STACK, (2 << 20,) * 2)
    return apply


class MemoryLimits(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-memory-")
        cls.folder = cls.holder.name
        # Black pictures: small files, full-size decodes.
        cls.labels = {}
        for kind, options in (("baseline", ""), ("progressive", ",interlace")):
            path = os.path.join(cls.folder, kind + ".jpg")
            subprocess.run(["vips", "black", f"{path}[Q=90,subsample-mode=off{options}]",
                            str(LABEL_SIDE), str(LABEL_SIDE), "--bands", "3"],
                           check=True, capture_output=True, timeout=120)
            cls.labels[kind] = path

    @classmethod
    def tearDownClass(cls):
        cls.holder.cleanup()

    def convert(self, label, limit_mib):
        output = os.path.join(self.folder, "out.tif")
        if os.path.exists(output):
            os.remove(output)
        env = dict(os.environ, LC_ALL="C.UTF-8", LD_LIBRARY_PATH=os.path.join(FAKE_ROOT, "fake"),
                   NVXFAKE_WIDTH="1024", NVXFAKE_HEIGHT="768", NVXFAKE_MPP="0.25",
                   NVXFAKE_LABEL_FILE=self.labels[label])
        done = subprocess.run([NVX2SVS, "slide.nvx", output, "4"], env=env, capture_output=True,
                              timeout=120, preexec_fn=limited(limit_mib))
        # Anything beside the labels and the output is a temporary left behind.
        leftovers = [n for n in os.listdir(self.folder)
                     if n not in ("baseline.jpg", "progressive.jpg", "out.tif")]
        return done, output, leftovers

    def test_a_label_larger_than_the_memory_converts_row_by_row(self):
        for limit in LIMITS_MIB:
            with self.subTest(limit_mib=limit):
                done, output, leftovers = self.convert("baseline", limit)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(done.stderr, b"")
                self.assertEqual(leftovers, [])
                with tifffile.TiffFile(output) as tf:
                    label = tf.pages[-2]
                    self.assertEqual((label.imagewidth, label.imagelength),
                                     (LABEL_SIDE, LABEL_SIDE))
                    self.assertEqual(label.tags["ImageDescription"].value,
                                     f"Aperio Image Format\nlabel {LABEL_SIDE}x{LABEL_SIDE}")
                    self.assertEqual(len(label.dataoffsets), 1)

    def test_memory_that_runs_out_decoding_a_picture_is_a_reported_failure(self):
        for limit in LIMITS_MIB:
            with self.subTest(limit_mib=limit):
                done, output, leftovers = self.convert("progressive", limit)
                self.assertEqual(done.returncode, 255, done.stderr)
                self.assertEqual(done.stderr.decode(),
                                 "nvx2svs: error: the output is incomplete: out of memory while "
                                 f"decoding the label picture; {output} was left as it was\n")
                self.assertNotIn("OK...", done.stdout.decode())
                self.assertFalse(os.path.exists(output))
                self.assertEqual(leftovers, [])


class TilesOutOfMemory(unittest.TestCase):
    """Whatever the limit, a run with 4096-pixel tiles converts or says out
    of memory: memory is no reason to call a tile lost or a slide damaged."""

    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-tiles-memory-")
        cls.folder = cls.holder.name

    @classmethod
    def tearDownClass(cls):
        cls.holder.cleanup()

    def run_under_limits(self, command, env, limits):
        """Runs `command` under each limit; how many ran out of memory."""
        ran_out = 0
        output = os.path.join(self.folder, "out.svs")
        for limit in limits:
            with self.subTest(limit_mib=limit):
                if os.path.exists(output):
                    os.remove(output)
                done = subprocess.run(command, env=dict(os.environ, LC_ALL="C.UTF-8", **env),
                                      cwd=self.folder, capture_output=True, timeout=120,
                                      preexec_fn=limited(limit))
                stderr = done.stderr.decode()
                self.assertIn(done.returncode, (0, 255), stderr)
                if done.returncode == 0:
                    self.assertEqual(stderr, "")
                    continue
                ran_out += 1
                self.assertEqual(len(stderr.splitlines()), 1, stderr)
                self.assertTrue(stderr.startswith(
                    "nvx2svs: error: the output is incomplete: out of memory while "), stderr)
                self.assertNotIn("could not be read", stderr)
                self.assertFalse(os.path.exists(output))
        return ran_out

    def test_memory_that_runs_out_inside_the_decode_of_a_stored_tile(self):
        tile = os.path.join(self.folder, "progressive-tile.jpg")
        subprocess.run(["vips", "black", f"{tile}[Q=90,subsample-mode=off,interlace]", "4096",
                        "4096", "--bands", "3"], check=True, capture_output=True, timeout=120)
        env = {"LD_LIBRARY_PATH": os.path.join(FAKE_ROOT, "fake"), "NVXFAKE_TILE": "4096",
               "NVXFAKE_WIDTH": "4096", "NVXFAKE_HEIGHT": "4096", "NVXFAKE_MPP": "0.25",
               "NVXFAKE_TILE_FILE": tile}
        ran_out = self.run_under_limits([NVX2SVS, "slide.nvx", "out.svs", "4"], env,
                                        range(64, 257, 32))
        self.assertGreater(ran_out, 0)

    def test_memory_that_runs_out_inside_the_slide_library(self):
        if NVXMAKE is None:
            self.skipTest("needs nvxmake and our slide library")
        slide = os.path.join(self.folder, "tiles4096.nvx")
        subprocess.run([NVXMAKE, "--synthetic", "8192x8192", "--tile", "4096", "--mpp", "0.25",
                        slide], check=True, capture_output=True, timeout=300)
        ran_out = self.run_under_limits(
            [NVX2SVS, slide, "out.svs", "9", "40", "0", "0", "8192", "8192"],
            {"LD_LIBRARY_PATH": LIBRARY_FOLDER}, range(128, 385, 32))
        self.assertGreater(ran_out, 0)


class PeakWithLargeTiles(unittest.TestCase):
    """A slide of 4096-pixel tiles (48 MiB each as RGB, 96 MiB as
    coefficients) converts within 256 MiB of resident memory, the peak the
    level's byte budget is sized for: whole, through the coefficients and
    through the pixels, and as regions on and off the stored tiles'
    borders."""

    def test_the_peak_stays_within_256_mib(self):
        if NVXMAKE is None:
            self.skipTest("needs nvxmake and our slide library")
        with tempfile.TemporaryDirectory(prefix="nvx-e2e-peak-") as folder:
            slide = os.path.join(folder, "tiles4096.nvx")
            subprocess.run([NVXMAKE, "--synthetic", "16384x12288", "--tile", "4096", "--mpp",
                            "0.25", slide], check=True, capture_output=True, timeout=300)
            cases = {"whole": (["4"], {}),
                     "pixel route": (["4"], {"NVX2SVS_PIXEL_ROUTE": "1"}),
                     "region": (["9", "40", "0", "0", "16384", "12288"], {}),
                     "region off the borders": (["9", "40", "100", "100", "16000", "12000"], {})}
            for name, (arguments, settings) in cases.items():
                with self.subTest(name):
                    env = dict(os.environ, LC_ALL="C.UTF-8", LD_LIBRARY_PATH=LIBRARY_FOLDER,
                               **settings)
                    with open(os.path.join(folder, "stderr"), "w+b") as stderr:
                        process = subprocess.Popen(
                            [NVX2SVS, slide, os.path.join(folder, "out.svs")] + arguments,
                            env=env, stdout=subprocess.DEVNULL, stderr=stderr)
                        # wait4 gives this child's own peak, not the most of all children.
                        _, status, usage = os.wait4(process.pid, 0)
                        process.returncode = os.waitstatus_to_exitcode(status)
                        stderr.seek(0)
                        self.assertEqual(process.returncode, 0, stderr.read())
                    self.assertLessEqual(usage.ru_maxrss, 256 * 1024)  # KiB


class LargeLabelPeak(unittest.TestCase):
    LABEL = (12000, 9000)

    def run_peak(self, arguments, report):
        """Runs nvx2svs with `arguments` and --report; its peak memory as
        the report gives it."""
        env = dict(os.environ, LC_ALL="C.UTF-8", LD_LIBRARY_PATH=LIBRARY_FOLDER)
        done = subprocess.run([NVX2SVS] + arguments + ["--report", report], env=env,
                              capture_output=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(report) as f:
            return json.load(f)["peak_memory_bytes"]

    def test_a_large_label_streams_into_both_outputs(self):
        if NVXMAKE is None:
            self.skipTest("needs nvxmake and our slide library")
        with tempfile.TemporaryDirectory(prefix="nvx-e2e-label-peak-") as folder:
            label = os.path.join(folder, "label.jpg")
            # A gradient, not black: rows that differ, a frame of some size.
            subprocess.run(["vips", "xyz", os.path.join(folder, "xyz.v"), str(self.LABEL[0]),
                            str(self.LABEL[1])], check=True, capture_output=True, timeout=120)
            subprocess.run(["vips", "cast", os.path.join(folder, "xyz.v"),
                            f"{label}[Q=90,subsample-mode=off]", "uchar"], check=True,
                           capture_output=True, timeout=120)
            preview = os.path.join(folder, "preview.jpg")
            Image.fromarray(np.random.default_rng(7).integers(0, 256, (300, 900, 3), np.uint8)
                            ).save(preview, quality=90)
            slide = os.path.join(folder, "slide.nvx")
            subprocess.run([NVXMAKE, "--synthetic", "4000x3000", "--mpp", "0.25", "--label",
                            label, "--preview", preview, slide], check=True,
                           capture_output=True, timeout=300)
            tiff = os.path.join(folder, "out.svs")
            dicom = os.path.join(folder, "out")
            peaks = {
                "tiff": self.run_peak([slide, tiff, "4"], os.path.join(folder, "tiff.json")),
                "dicom": self.run_peak([slide, dicom, "4", "--format", "dicom",
                                        "--section-thickness", "4"],
                                       os.path.join(folder, "dicom.json")),
            }
            for output, peak in peaks.items():
                with self.subTest(output):
                    self.assertLessEqual(peak, 100 << 20)
            # In a process of its own: the decoded pictures would stay in this
            # one's resident memory, which a child forked later starts with.
            context = multiprocessing.get_context("fork")
            with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
                same = pool.submit(same_pictures, tiff, dicom).result()
            self.assertEqual(same, {"thumbnail": True, "label": True, "overview": True})


def same_pictures(tiff, dicom):
    """Whether the DICOM label and overview decode (pydicom) to the pixels
    of the TIFF's label and macro directories (libtiff through Pillow), the
    last two; and the thumbnail, made smaller than the TIFF's to the
    smallest level's size, decodes to that size."""
    same = {}
    with tifffile.TiffFile(tiff) as tf:
        count = len(tf.pages)
        smallest = [page.shape for page in tf.pages if page.is_tiled][-1]
    thumbnail = pydicom.dcmread(os.path.join(dicom, "thumbnail.dcm"))
    same["thumbnail"] = (thumbnail.PhotometricInterpretation == "RGB" and
                         thumbnail.pixel_array.shape == smallest)
    Image.MAX_IMAGE_PIXELS = None
    with Image.open(tiff) as image:
        for name, number in (("label", count - 2), ("overview", count - 1)):
            image.seek(number)
            pixels = np.asarray(image.convert("RGB"))
            instance = pydicom.dcmread(os.path.join(dicom, name + ".dcm"))
            same[name] = (instance.PhotometricInterpretation == "RGB" and
                          np.array_equal(instance.pixel_array, pixels))
    return same


class WorkerStacks(unittest.TestCase):
    """With the usual 8 MiB stack limit, which is also the default size of a
    new thread's stack, a level's 64 workers must not reserve 512 MiB of
    address space: an 8000 x 6000 slide converts under 400 MiB, whole and as
    a region."""

    def test_a_run_fits_an_address_space_limit_with_the_usual_stack_limit(self):
        def usual_stack_and(limit_mib):
            def apply():
                resource.setrlimit(resource.RLIMIT_AS, (limit_mib << 20,) * 2)
                resource.setrlimit(resource.RLIMIT_STACK, (8 << 20,) * 2)
            return apply
        with tempfile.TemporaryDirectory(prefix="nvx-e2e-stacks-") as folder:
            env = dict(os.environ, LC_ALL="C.UTF-8",
                       LD_LIBRARY_PATH=os.path.join(FAKE_ROOT, "fake"), NVXFAKE_WIDTH="8000",
                       NVXFAKE_HEIGHT="6000", NVXFAKE_MPP="0.25")
            for region in ([], ["10", "0", "0", "2000", "2000"]):
                with self.subTest(region=region):
                    done = subprocess.run([NVX2SVS, "slide.nvx", "out.svs", "4"] + region,
                                          env=env, cwd=folder, capture_output=True, timeout=120,
                                          preexec_fn=usual_stack_and(400))
                    self.assertEqual((done.returncode, done.stderr), (0, b""))


if __name__ == "__main__":
    NVX2SVS, FAKE_ROOT = sys.argv[1], sys.argv[2]
    if len(sys.argv) >= 5:
        NVXMAKE, LIBRARY_FOLDER = sys.argv[3], sys.argv[4]
    unittest.main(argv=sys.argv[:1], verbosity=2)
