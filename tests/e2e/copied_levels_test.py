"""copied_levels_test.py - --tiles copy on every level the slide stores:
the full-resolution level and each reduced one whose scale (1/4, 1/16)
and size are a stored level's, in the TIFF (read by OpenSlide and
tifffile) and in DICOM (read by pydicom, its frames decoded by libjpeg).

The slides are written here, tile by tile, so the stored streams are
known: every whole tile of a copied level is the stored stream byte for
byte and decodes to exactly the stored pixels; its edge tiles are made
from pixels at the stored quality. A level the slide does not store (its
last stored level fits in one tile of 512) is made as without the option.
The run's report counts each level's tiles by route. A damaged stored
tile of a reduced level is lost, with or without the option.

usage: copied_levels_test.py <nvx2svs> <folder of libNvxSlideLib.so>
"""

import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zlib
import struct

import numpy as np
import openslide
import pydicom
import tifffile
from PIL import Image
from pydicom.encaps import generate_pixel_data_frame

from noisy_slide import HEADER_SIZE, level_shapes, write_slide_file

NVX2SVS = LIBRARY_FOLDER = None
WIDTH, HEIGHT = 4000, 3000
STORED_QUALITY = 90
DAMAGED = (2, 5)  # stored level 2 (the output's 1/4), tile 5: a whole tile


def tile_pixels(width, height, seed):
    """Smooth colour with some noise: a tile that JPEG neither flattens nor bloats."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    base = np.stack([128 + 90 * np.sin(x / (7 + seed % 5) + c) * np.cos(y / 11) for c in range(3)],
                    axis=-1)
    return np.clip(base + rng.normal(0, 12, base.shape), 0, 255).astype(np.uint8)


def jpeg(pixels):
    out = io.BytesIO()
    Image.fromarray(pixels).save(out, "JPEG", quality=STORED_QUALITY, subsampling=0)
    return out.getvalue()


def bad_codes(stream):
    """Sixteen bytes of one bits in the middle of the scan: no Huffman code."""
    middle = len(stream) // 2
    while stream[middle - 1] == 0xFF or stream[middle] == 0xFF:
        middle += 1
    return stream[:middle] + b"\xff\x00" * 16 + stream[middle + 16:]


def write_slide(path, tile, damaged=None):
    """A WIDTH x HEIGHT slide at 40x in tiles of `tile`; the stored streams,
    by level, row by row. `damaged`: (level, tile) whose stream is damaged."""
    shapes = level_shapes(WIDTH, HEIGHT, tile)
    body, indexes, stored = bytearray(), [], []
    for level, (w, h, columns, rows) in enumerate(shapes):
        index, streams = bytearray(), []
        for r in range(rows):
            for c in range(columns):
                data = jpeg(tile_pixels(min(tile, w - c * tile), min(tile, h - r * tile),
                                        (level * 100 + r) * 100 + c))
                if damaged == (level, r * columns + c):
                    data = bad_codes(data)
                streams.append(data)
                index += struct.pack("<QII", HEADER_SIZE + len(body), len(data), zlib.crc32(data))
                body.extend(data)
        indexes.append(bytes(index))
        stored.append(streams)
    write_slide_file(path, WIDTH, HEIGHT, tile, 40, shapes, body, indexes)
    return stored


def decoded(stream):
    return np.asarray(Image.open(io.BytesIO(stream)).convert("RGB"))


def assembled(streams, width, height, tile):
    """A level's pixels from its tiles' decodes (each cropped to the level)."""
    columns = (width + tile - 1) // tile
    level = np.zeros((height, width, 3), np.uint8)
    for i, stream in enumerate(streams):
        x, y = (i % columns) * tile, (i // columns) * tile
        pixels = decoded(stream)[:height - y, :width - x]
        level[y:y + pixels.shape[0], x:x + pixels.shape[1]] = pixels
    return level


def psnr(a, b):
    error = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if error == 0 else 10 * np.log10(255.0 ** 2 / error)


def tiff_levels(path):
    """The TIFF's pyramid levels: (width, height, Photometric, raw tiles)."""
    levels = []
    with tifffile.TiffFile(path) as tif, open(path, "rb") as f:
        for page in tif.pages:
            if not page.is_tiled:
                continue
            tiles = []
            for offset, count in zip(page.dataoffsets, page.databytecounts):
                f.seek(offset)
                tiles.append(f.read(count))
            levels.append((page.imagewidth, page.imagelength, page.photometric.value, tiles))
    return levels


def dicom_levels(folder):
    """The DICOM instances' levels, largest first: (width, height, frames)."""
    levels = []
    for name in sorted(os.listdir(folder)):
        if not name.startswith("level-"):
            continue
        dataset = pydicom.dcmread(os.path.join(folder, name))
        frames = [frame[:-1] if frame.endswith(b"\xff\xd9\x00") else frame
                  for frame in generate_pixel_data_frame(dataset.PixelData,
                                                         int(dataset.NumberOfFrames))]
        levels.append((int(dataset.TotalPixelMatrixColumns), int(dataset.TotalPixelMatrixRows),
                       frames))
    return sorted(levels, key=lambda level: -level[0])


class CopiedLevels(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-copied-levels-")
        cls.folder = cls.holder.name
        cls.slides = {}
        for name, tile, damaged in (("tiles of 256", 256, None), ("tiles of 512", 512, None),
                                    ("damaged", 256, DAMAGED)):
            path = os.path.join(cls.folder, name.replace(" ", "-") + ".nvx")
            cls.slides[name] = (path, tile, write_slide(path, tile, damaged))

    @classmethod
    def tearDownClass(cls):
        cls.holder.cleanup()

    def convert(self, slide, output, args):
        environment = dict(os.environ, LC_ALL="C.UTF-8", LD_LIBRARY_PATH=LIBRARY_FOLDER)
        report = os.path.join(self.folder, "report.json")
        if os.path.exists(report):
            os.remove(report)
        done = subprocess.run([NVX2SVS, slide, os.path.join(self.folder, output), "4",
                               "--report", report] + args,
                              env=environment, capture_output=True, timeout=300)
        with open(report) as f:
            return done, os.path.join(self.folder, output), json.load(f)

    def test_each_stored_level_is_copied_and_decodes_to_the_stored_pixels(self):
        dicom = ["--format", "dicom", "--section-thickness", "4"]
        # (slide, format options, the stored level of each output level or None)
        cases = [
            ("tiles of 256", [], [0, 2, 4]),
            ("tiles of 256", dicom, [0, 2, 4]),
            ("tiles of 512", [], [0, 2, None]),
            ("tiles of 512", dicom, [0, 2, None]),
        ]
        for name, options, stored_levels in cases:
            slide, tile, stored = self.slides[name]
            is_dicom = bool(options)
            with self.subTest(slide=name, format="dicom" if is_dicom else "tiff"):
                output = "out.dicom" if is_dicom else "out.svs"
                done, path, report = self.convert(slide, output, ["--tiles", "copy"] + options)
                self.assertEqual(done.returncode, 0, done.stderr)
                levels = dicom_levels(path) if is_dicom else tiff_levels(path)
                self.assertEqual(len(levels), len(stored_levels))
                self.assertEqual(len(report["levels"]), len(stored_levels))
                reader = None if is_dicom else openslide.OpenSlide(path)
                try:
                    for j, (k, level, reported) in enumerate(
                            zip(stored_levels, levels, report["levels"])):
                        self.check_level(j, k, level, reported, reader, stored, tile, is_dicom)
                finally:
                    if reader:
                        reader.close()
                shutil.rmtree(path) if is_dicom else os.remove(path)

    def check_level(self, j, k, level, reported, reader, stored, tile, is_dicom):
        width, height = level[0], level[1]
        tiles = level[-1]
        whole = [x + tile <= width and y + tile <= height
                 for y in range(0, height, tile) for x in range(0, width, tile)]
        routes = reported["routes"]
        if k is None:
            # Made as without the option: nothing copied, RGB in the TIFF.
            self.assertEqual(routes["copied"], 0, f"level {j}")
            self.assertEqual(routes["copied"] + routes["transcoded"] + routes["from_pixels"],
                             len(tiles))
            if not is_dicom:
                self.assertEqual(level[2], 2, f"level {j}: Photometric")
            return
        streams = stored[k]
        self.assertEqual((width, height), (WIDTH >> k, HEIGHT >> k))
        self.assertEqual(len(tiles), len(streams))
        self.assertEqual(routes, {"copied": sum(whole), "transcoded": 0,
                                  "from_pixels": len(whole) - sum(whole)}, f"level {j}")
        if not is_dicom:
            self.assertEqual(level[2], 6, f"level {j}: Photometric")
        for i, (made, kept) in enumerate(zip(tiles, streams)):
            self.assertEqual(made == kept, whole[i], f"level {j} tile {i}")
        # What a reader shows: the stored pixels exactly where tiles were
        # copied, and close to them where an edge tile was encoded again.
        if is_dicom:
            shown = assembled(tiles, width, height, tile)
        else:
            shown = np.asarray(reader.read_region((0, 0), j, (width, height)).convert("RGB"))
        expected = assembled(streams, width, height, tile)
        inner_w, inner_h = width - width % tile, height - height % tile
        self.assertTrue(np.array_equal(shown[:inner_h, :inner_w], expected[:inner_h, :inner_w]),
                        f"level {j}")
        if inner_w < width or inner_h < height:
            self.assertGreater(psnr(shown, expected), 40, f"level {j}")

    def test_a_damaged_tile_of_a_reduced_level_is_lost_with_or_without_copy(self):
        slide, _, _ = self.slides["damaged"]
        dicom = ["--format", "dicom", "--section-thickness", "4"]
        for mode, args in (("default", []), ("copy", ["--tiles", "copy"])):
            for output, options in (("out.svs", []), ("out.dicom", dicom)):
                with self.subTest(mode=mode, output=output):
                    done, path, report = self.convert(slide, output, args + options)
                    self.assertEqual(done.returncode, 255, done.stderr)
                    self.assertEqual(
                        done.stderr.decode(),
                        "nvx2svs: error: the output is incomplete: 1 tile could not be read from "
                        f"the slide; {path} was left as it was\n")
                    self.assertFalse(os.path.exists(path))
                    self.assertEqual(report["status"], -1)  # the exit status 255


if __name__ == "__main__":
    NVX2SVS, LIBRARY_FOLDER = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
