"""nvxmake_runs_test.py - the converter on real nvx slides made by nvxmake and
read through our slide library: a synthetic 6000 x 4000 slide at 40x with
256 and with 240 pixel tiles, a slide made from the CMU sample SVS, and
region runs (one inside the slide, one cut at its right and bottom edges),
the same run twice giving the same bytes, the bytes of whole-slide (by the
pixel route) and region runs kept exactly (their SHA-256 below), and the
coefficient and pixel routes for stored tiles giving the same file but for
rounding, and --tiles copy keeping the stored tiles' bytes.
Each output is checked against the layout, opened with OpenSlide, and its
levels compared with the source's pixels at the same magnification, read
through the same slide library.

usage: nvxmake_runs_test.py <nvx2svs> <nvxmake> <folder of libNvxSlideLib.so> <CMU svs>
"""

import ctypes
import hashlib
import io
import os
import struct
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import openslide
import tifffile
from PIL import Image

import svs_layout as layout

NVX2SVS = NVXMAKE = LIBRARY_FOLDER = CMU_SVS = None
# What this process needs to load a sanitized library is not for the tools it runs.
CHILD_ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
WAITING = "正在转换中，请等待...\n"


def make_slide(nvxmake, source, path, options=()):
    """Makes the slide `path` with nvxmake from `source` (["--synthetic",
    "WxH"] or ["--from", SVS]) and its `options`. The slides are a test's
    material, not its subject: under ThreadSanitizer, nvxmake's reports from
    inside the uninstrumented OpenSlide are left to nvxmake's own tests."""
    subprocess.run([nvxmake] + list(source) + [path] + list(options), check=True,
                   capture_output=True, timeout=300,
                   env=dict(CHILD_ENV, TSAN_OPTIONS="report_bugs=0"))
    return path

# SHA-256 of outputs whose bytes must not change: any change to the writer
# that moves a byte of these shows here first. (slide, arguments, digest)
FINGERPRINTS = [
    ("synthetic", [4], "db730a45a44293a38da3579babcc57e41b5725cc6b23c63ebb5f19d5c0751b9c"),
    ("synthetic", [4, 10, 200, 100, 1000, 800],
     "14c86d997d60f753b17b6b1341e8270707e386ff905e4adae0cbadf7b4273461"),
    ("synthetic", [9, 20, 100, 100, 2500, 1800],
     "ed0897a068b2ebce6ea7edca2128fc0bdd2ea79d8a80c4c386267cca2b69ac88"),
    ("synthetic", [9, 40, 5000, 3000, 2000, 2000],
     "5a6c637ffc74b8e2355516f6581e2f2b452213969901a679b09e7be6901beb04"),
    ("tile240", [9], "414f33ead465c81729a72ce015e9f63790fbe406798078b3fa1abc974d7f9943"),
    ("cmu", [4], "656348baa107db02a6e3ca9d9b1a0bcac4881ad84af9e177125318ed289bde55"),
    ("cmu", [9, 40, 100, 100, 1500, 1200],
     "f6be46947ef62b2e213482ec6bd4ea82a81631b23729b2c0ff2618ad327fa116"),
]
COMPLETION = "\nOK...转换完成"
# nvxmake's synthetic slides record no pixel size; the CMU sample has its own.
USUAL_MPP_40 = (b"nvx2svs: warning: the slide records no pixel size; the descriptions say "
                b"MPP = 0.239842, the usual value at 40x\n")


class SlideLibrary:
    """Our slide library through ctypes: the source pixels of a comparison."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(os.path.join(LIBRARY_FOLDER, "libNvxSlideLib.so"))
        self.lib.NvxOpenSlide.argtypes = [ctypes.POINTER(ctypes.c_int32), ctypes.c_char_p]
        self.lib.NvxOpenSlide.restype = ctypes.c_uint8
        self.lib.NvxFetchRegion.argtypes = [
            ctypes.c_int32, ctypes.c_float, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32,
            ctypes.c_int32, ctypes.POINTER(ctypes.POINTER(ctypes.c_uint8)),
            ctypes.POINTER(ctypes.c_int32), ctypes.c_int32]
        self.lib.NvxFetchRegion.restype = ctypes.c_uint8
        self.lib.NvxFetchTile.argtypes = [
            ctypes.POINTER(ctypes.c_int32), ctypes.c_float, ctypes.c_int32, ctypes.c_int32,
            ctypes.POINTER(ctypes.c_int32), ctypes.POINTER(ctypes.POINTER(ctypes.c_uint8))]
        self.lib.NvxFetchTile.restype = ctypes.c_uint8
        self.lib.NvxReleaseBuffer.argtypes = [ctypes.POINTER(ctypes.c_uint8)]
        self.lib.NvxCloseSlide.argtypes = [ctypes.POINTER(ctypes.c_int32)]
        self.handle = ctypes.c_int32(0)
        path_buffer = ctypes.create_string_buffer(path.encode(), 256)
        if not self.lib.NvxOpenSlide(ctypes.byref(self.handle), path_buffer):
            raise RuntimeError(f"slide library cannot open {path}")

    def region(self, scale, x, y, width, height):
        buffer = ctypes.POINTER(ctypes.c_uint8)()
        length = ctypes.c_int32(0)
        if not self.lib.NvxFetchRegion(self.handle, scale, x, y, width, height,
                                       ctypes.byref(buffer), ctypes.byref(length), 0):
            raise RuntimeError("region fetch failed")
        try:
            data = np.ctypeslib.as_array(buffer, shape=(height * width * 3,)).copy()
        finally:
            self.lib.NvxReleaseBuffer(buffer)
        return data.reshape(height, width, 3).astype(np.int16)

    def stored_tile(self, scale, x, y):
        """The stored stream of the tile at (x, y), as the slide keeps it."""
        buffer = ctypes.POINTER(ctypes.c_uint8)()
        length = ctypes.c_int32(0)
        if not self.lib.NvxFetchTile(ctypes.byref(self.handle), scale, x, y,
                                     ctypes.byref(length), ctypes.byref(buffer)):
            raise RuntimeError("tile fetch failed")
        try:
            return ctypes.string_at(buffer, length.value)
        finally:
            self.lib.NvxReleaseBuffer(buffer)

    def close(self):
        self.lib.NvxCloseSlide(ctypes.byref(self.handle))


def read_window(path, level, x, y, width, height):
    slide = openslide.OpenSlide(path)
    try:
        downsample = slide.level_downsamples[level]
        origin = (int(round(x * downsample)), int(round(y * downsample)))
        region = slide.read_region(origin, level, (width, height)).convert("RGB")
        return np.asarray(region, dtype=np.int16)
    finally:
        slide.close()


class NvxmakeRuns(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-real-")
        cls.folder = cls.holder.name
        cls.slides = {}
        for name, args in (("synthetic", ["--synthetic", "6000x4000"]),
                           ("tile240", ["--synthetic", "6000x4000", "--tile", "240", "--seed", "2"]),
                           ("quality85",
                            ["--synthetic", "3000x2000", "--quality", "85", "--seed", "3"]),
                           ("cmu", ["--from", CMU_SVS])):
            path = os.path.join(cls.folder, name + ".nvx")
            cls.slides[name] = make_slide(NVXMAKE, args[:2], path, args[2:])

    @classmethod
    def tearDownClass(cls):
        cls.holder.cleanup()

    def convert(self, slide, output, args, env=None):
        output = os.path.join(self.folder, output)
        # No LD_LIBRARY_PATH: the converter finds our library beside itself,
        # in sanitizer builds too, whose runtime intercepts the loader's search.
        env = dict(CHILD_ENV, LC_ALL="C.UTF-8", **(env or {}))
        env.pop("LD_LIBRARY_PATH", None)
        done = subprocess.run([NVX2SVS, self.slides[slide], output] + [str(a) for a in args],
                              env=env, capture_output=True, timeout=300)
        stdout = done.stdout.decode("utf-8")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stderr, b"" if slide == "cmu" else USUAL_MPP_40)
        self.assertTrue(stdout.startswith(WAITING) and stdout.endswith(COMPLETION), stdout)
        self.assertEqual(stdout[len(WAITING):-len(COMPLETION)].strip("."), "")
        return output

    def compare_levels(self, output, slide, magnification, windows, origin=(0, 0), limit=3):
        """windows: (level, factor, x, y, w, h) in level pixels of the output."""
        source = SlideLibrary(self.slides[slide])
        try:
            for level, factor, x, y, w, h, *tissue in windows:
                got = read_window(output, level, x, y, w, h)
                x0, y0 = origin[0] // factor, origin[1] // factor
                expected = source.region(magnification / factor, x0 + x, y0 + y, w, h)
                window_limit = limit
                if tissue:
                    # The window was chosen on tissue; a blank one would prove little.
                    stained = (expected.min(axis=2) < 200).mean()
                    self.assertGreater(stained, tissue[0], f"{slide} window {x},{y} is blank")
                    # Quality 60 alone costs about 3 per channel on dense synthetic
                    # tissue (whole-slide and region runs differ identically there).
                    window_limit = max(limit, 3.5)
                diff = layout.mean_difference(got, expected)
                self.assertTrue((diff < window_limit).all(),
                                f"{slide} level {level} at {x},{y}: {diff}")
        finally:
            source.close()

    def test_synthetic_slide_with_256_pixel_tiles(self):
        output = self.convert("synthetic", "synthetic.tif", [4])
        levels = [(6000, 4000), (1500, 1000), (375, 250)]
        layout.check_layout(output, levels, 256, 40, "0.239842")
        layout.check_openslide(output, levels, 40, 0.239842)
        self.compare_levels(output, "synthetic", 40, [
            (0, 1, 2000, 0, 1024, 1024, 0.3),
            (0, 1, 3000, 2000, 1024, 1024, 0.2),
            (0, 1, 5000, 3000, 1000, 1000),  # the right and bottom edges
            (1, 4, 0, 0, 1500, 1000),
            (2, 16, 0, 0, 375, 250)])

    def test_synthetic_slide_with_240_pixel_tiles(self):
        output = self.convert("tile240", "tile240.tif", [9])
        levels = [(6000, 4000), (1500, 1000), (375, 250)]
        layout.check_layout(output, levels, 240, 40, "0.239842")
        layout.check_openslide(output, levels, 40, 0.239842)
        self.compare_levels(output, "tile240", 40, [
            (0, 1, 0, 0, 1200, 960, 0.1),
            (0, 1, 0, 3000, 1200, 1000, 0.2),
            (0, 1, 5200, 3280, 800, 720),
            (1, 4, 0, 0, 1500, 1000)])

    def test_slide_made_from_the_cmu_sample(self):
        reference = openslide.OpenSlide(CMU_SVS)
        width, height = reference.dimensions
        magnification = int(reference.properties["openslide.objective-power"])
        mpp = float(reference.properties["openslide.mpp-x"])
        reference.close()
        output = self.convert("cmu", "cmu.tif", [4])
        # The slide's header MPP as a 32-bit float, printed with six decimals.
        mpp_text = "%f" % float(np.float32(mpp))
        levels = [(width, height), (width // 4, height // 4), (width // 16, height // 16)]
        tags = layout.check_layout(output, levels, 256, magnification, mpp_text)
        self.assertEqual(len(tags), 6)
        layout.check_openslide(output, levels, magnification, float(mpp_text))
        self.compare_levels(output, "cmu", magnification, [(0, 1, 0, 0, width, height)])
        # Tissue reduced four times is dense: a plain quality-60 JPEG of the
        # source level itself already differs from it by about 5 per channel.
        self.compare_levels(output, "cmu", magnification,
                            [(1, 4, 0, 0, width // 4, height // 4)], limit=6)
        # And against OpenSlide on the original SVS itself.
        original = read_window(CMU_SVS, 0, 0, 0, width, height)
        converted = read_window(output, 0, 0, 0, width, height)
        diff = layout.mean_difference(converted, original)
        self.assertTrue((diff < 3).all(), diff)

    def test_region_inside_the_slide(self):
        # Scale 10 on a 40x slide: (200, 100, 1000, 800) is (800, 400, 4000, 3200).
        output = self.convert("synthetic", "region.tif", [4, 10, 200, 100, 1000, 800])
        # Regions halve from 512: two halvings, so two pyramid levels.
        levels = [(4000, 3200), (1000, 800)]
        layout.check_layout(output, levels, 256, 40, "0.239842")
        layout.check_openslide(output, levels, 40, 0.239842)
        self.compare_levels(output, "synthetic", 40, [
            (0, 1, 1200, 0, 1024, 1024, 0.2), (0, 1, 2200, 1600, 1024, 1024, 0.2),
            (0, 1, 3000, 2200, 1000, 1000), (1, 4, 0, 0, 1000, 800, 0.1)],
            origin=(800, 400))

    def test_region_cut_at_the_right_and_bottom_edges(self):
        # Scale 40: (5000, 3000, 2000, 2000) is cut to 1000 x 1000.
        output = self.convert("synthetic", "edge.tif", [9, 40, 5000, 3000, 2000, 2000])
        levels = [(1000, 1000), (250, 250)]
        layout.check_layout(output, levels, 256, 40, "0.239842")
        layout.check_openslide(output, levels, 40, 0.239842)
        self.compare_levels(output, "synthetic", 40, [
            (0, 1, 0, 0, 1000, 1000), (1, 4, 0, 0, 250, 250)], origin=(5000, 3000))

    def test_a_label_that_fails_its_checksum_is_lost_data(self):
        # One byte of the label's stream changed: the library says the slide
        # has a label it cannot read, and the run fails naming it.
        with open(self.slides["synthetic"], "rb") as f:
            data = bytearray(f.read())
        offset, length = struct.unpack_from("<QI", data, 72)  # the header's label reference
        self.assertGreater(length, 100)
        data[offset + length // 2] ^= 0xFF
        damaged = os.path.join(self.folder, "damaged-label.nvx")
        with open(damaged, "wb") as f:
            f.write(data)
        output = os.path.join(self.folder, "damaged.tif")
        env = dict(CHILD_ENV, LC_ALL="C.UTF-8")
        env.pop("LD_LIBRARY_PATH", None)
        done = subprocess.run([NVX2SVS, damaged, output, "4"], env=env, capture_output=True,
                              timeout=300)
        self.assertEqual(done.returncode, 255, done.stderr)
        self.assertEqual(done.stdout, b"")
        self.assertEqual(done.stderr.decode(), (
            "nvx2svs: error: the output is incomplete: the slide's label picture could not be "
            f"read; {output} was left as it was\n"))
        self.assertFalse(os.path.exists(output))

    def test_the_same_run_gives_the_same_bytes(self):
        # 64 workers share every level; the file must not depend on their timing.
        for args in ([4], [9, 20, 100, 100, 2500, 1800]):
            first = self.convert("synthetic", "same-1.tif", args)
            second = self.convert("synthetic", "same-2.tif", args)
            with open(first, "rb") as a, open(second, "rb") as b:
                self.assertTrue(a.read() == b.read(), f"runs with {args} differ")

    def test_whole_slide_and_region_outputs_keep_their_bytes(self):
        for slide, args, digest in FINGERPRINTS:
            with self.subTest(slide=slide, args=args):
                # The pixel route's bytes; the coefficient route's are
                # compared with them below.
                output = self.convert(slide, "fingerprint.tif", args,
                                      env={"NVX2SVS_PIXEL_ROUTE": "1"})
                with open(output, "rb") as f:
                    self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest)

    def test_both_routes_give_the_same_file_but_for_rounding(self):
        # Stored tiles are re-quantised through their coefficients unless
        # NVX2SVS_PIXEL_ROUTE asks for the pixel route. Readers must see the
        # same directories, tags and tables, and levels close to each other and
        # about as close to the stored pixels: the stored pixels' own rounding,
        # which the pixel route encodes, is all that may cost.
        moved = (273, 279, 324, 325)  # where the tiles and strips are, and their sizes
        for slide, magnification, windows in (
                ("cmu", 20, [(0, 1, 0, 0, 2220, 2967), (1, 4, 0, 0, 555, 741)]),
                ("synthetic", 40, [(0, 1, 2000, 0, 2048, 2048), (1, 4, 0, 0, 1500, 1000)])):
            by_coefficients = self.convert(slide, slide + "-coefficients.tif", [4])
            by_pixels = self.convert(slide, slide + "-pixels.tif", [4],
                                     env={"NVX2SVS_PIXEL_ROUTE": "1"})
            with open(by_coefficients, "rb") as a, open(by_pixels, "rb") as b:
                self.assertTrue(a.read() != b.read(), "the switch changed nothing")
            with tifffile.TiffFile(by_coefficients) as a, tifffile.TiffFile(by_pixels) as b:
                self.assertEqual(len(a.pages), len(b.pages))
                for page_a, page_b in zip(a.pages, b.pages):
                    tags_a = {k: v for k, v in layout.tags_of(page_a).items() if k not in moved}
                    tags_b = {k: v for k, v in layout.tags_of(page_b).items() if k not in moved}
                    self.assertEqual(tags_a, tags_b)
            source = SlideLibrary(self.slides[slide])
            try:
                for level, factor, x, y, w, h in windows:
                    stored = source.region(magnification / factor, x, y, w, h)
                    ours = read_window(by_coefficients, level, x, y, w, h)
                    theirs = read_window(by_pixels, level, x, y, w, h)
                    apart = layout.mean_difference(ours, theirs)
                    off = layout.mean_difference(theirs, stored)
                    where = (f"{slide} level {level}: {apart} apart, {off} from the stored "
                             f"pixels; {psnr(ours, stored):.2f} against "
                             f"{psnr(theirs, stored):.2f} dB")
                    # Two roundings of nearly the same coefficients part by
                    # whole quantisation steps now and then: below a grey level
                    # where the quality costs little, a fraction of that cost
                    # where it is high (dense tissue reduced four times).
                    self.assertTrue((apart < np.maximum(1, 0.4 * off)).all(), where)
                    self.assertGreaterEqual(psnr(ours, stored), psnr(theirs, stored) - 0.25, where)
            finally:
                source.close()

    def test_copied_tiles_are_the_stored_streams(self):
        # --tiles copy: every whole stored tile of the full-resolution level
        # is in the file byte for byte, the level says YCbCr and the stored
        # quality, and four readers show exactly what a decode of the stored
        # tiles shows; the edge tiles, encoded anew at that quality, come
        # close. The reduced level at 1/4 is a stored level too: copied, YCbCr.
        for slide, magnification, quality in (("cmu", 20, 90), ("quality85", 40, 85)):
            output = self.convert(slide, slide + "-copied.tif", [4, "--tiles", "copy"])
            source = SlideLibrary(self.slides[slide])
            try:
                with tifffile.TiffFile(output) as tiff:
                    page = tiff.pages[0]
                    tags = layout.tags_of(page)
                    self.assertEqual(tags[262], 6, slide)  # Photometric YCbCr
                    self.assertEqual(tuple(tags[530]), (1, 1), slide)
                    self.assertNotIn(347, tags, slide)  # each tile carries its tables
                    self.assertIn(f"JPEG/RGB Q={quality}|", tags[270], slide)
                    self.assertEqual(layout.tags_of(tiff.pages[2])[262], 6, slide)
                    width, height = page.imagewidth, page.imagelength
                    columns = -(-width // 256)
                    stored = np.zeros((height, width, 3), np.int16)
                    copied = 0
                    for i, (offset, count) in enumerate(zip(page.dataoffsets,
                                                            page.databytecounts)):
                        x, y = i % columns * 256, i // columns * 256
                        tiff.filehandle.seek(offset)
                        written = tiff.filehandle.read(count)
                        stream = source.stored_tile(magnification, x, y)
                        if x + 256 <= width and y + 256 <= height:
                            self.assertEqual(written, stream, f"{slide} tile {i}")
                            copied += 1
                        pixels = np.asarray(Image.open(io.BytesIO(stream)).convert("RGB"))
                        stored[y:y + 256, x:x + 256] = pixels[:height - y, :width - x]
                    self.assertEqual(copied, (width // 256) * (height // 256), slide)
            finally:
                source.close()
            whole = (slice(0, height // 256 * 256), slice(0, width // 256 * 256))
            for reader in ("openslide", "vips", "gdal", "tifffile"):
                shown = read_level0(reader, output, width, height, self.folder)
                where = f"{slide} through {reader}"
                self.assertTrue(np.array_equal(shown[whole], stored[whole]), where)
                self.assertLess(np.abs(shown - stored).mean(), 0.05, where)


def read_level0(reader, path, width, height, folder):
    """The full-resolution level of `path` as `reader` decodes it."""
    if reader == "openslide":
        slide = openslide.OpenSlide(path)
        try:
            return np.asarray(slide.read_region((0, 0), 0, (width, height)).convert("RGB"),
                              dtype=np.int16)
        finally:
            slide.close()
    if reader == "tifffile":
        # tifffile finds the tiles and tables; PIL's libjpeg decodes each.
        with tifffile.TiffFile(path) as tiff:
            page = tiff.pages[0]
            tables = page.jpegtables or b""
            columns = -(-width // page.tilewidth)
            shown = np.zeros((height, width, 3), np.int16)
            for i, (offset, count) in enumerate(zip(page.dataoffsets, page.databytecounts)):
                x, y = i % columns * page.tilewidth, i // columns * page.tilelength
                tiff.filehandle.seek(offset)
                stream = tiff.filehandle.read(count)
                if tables:
                    stream = tables[:-2] + stream[2:]
                pixels = np.asarray(Image.open(io.BytesIO(stream)).convert("RGB"))
                shown[y:y + page.tilelength, x:x + page.tilewidth] = pixels[:height - y,
                                                                           :width - x]
            return shown
    picture = os.path.join(folder, "level0-" + reader + ".png")
    command = (["vips", "tiffload", path, picture] if reader == "vips" else
               ["gdal_translate", "-q", "-of", "PNG", path, picture])
    subprocess.run(command, check=True, capture_output=True, timeout=300, env=CHILD_ENV)
    return np.asarray(Image.open(picture).convert("RGB"), dtype=np.int16)


def psnr(a, b):
    error = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return 10 * np.log10(255 * 255 / error)


if __name__ == "__main__":
    NVX2SVS, NVXMAKE, LIBRARY_FOLDER, CMU_SVS = sys.argv[1:5]
    unittest.main(argv=sys.argv[:1], verbosity=2)
