"""damaged_tiles_test.py - stored tiles whose header reads but whose
entropy-coded data is damaged, through our slide library, with and without
--tiles copy.

Every full-resolution tile of the slides made here is a baseline 4:4:4
stream with restart markers (libvips' jpegsave), one that --tiles copy
copies. In the damaged slides a few of them have their scan cut short,
Huffman codes that no table holds, or two restart markers swapped: a reader
that does not paper over damage (OpenSlide) refuses such a tile, and with it
the level. A copied tile is one that decodes, so a run with --tiles copy
loses exactly the tiles the default route loses, with the same line and
status. The undamaged slide is copied whole, byte for byte, and OpenSlide
reads every tile of the copied level.

usage: damaged_tiles_test.py <nvx2svs> <folder of libNvxSlideLib.so>
"""

import io
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

import numpy as np
import openslide
import tifffile
from PIL import Image

from noisy_slide import HEADER_SIZE, level_shapes, write_slide_file

NVX2SVS = LIBRARY_FOLDER = None
SIDE = 1024
TILE = 256
DAMAGED = (1, 6, 11)  # full-resolution tiles, row by row
SOS, EOI = 0xDA, 0xD9


def tile_pixels(width, height, seed):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    base = np.stack([128 + 90 * np.sin(x / (9 + seed % 7) + c) * np.cos(y / 13) for c in range(3)],
                    axis=-1)
    return np.clip(base + rng.normal(0, 20, base.shape), 0, 255).astype(np.uint8)


def restart_jpeg(pixels, folder):
    """Baseline 4:4:4 at quality 90 with a restart marker every 4 MCUs, by libvips."""
    source, target = os.path.join(folder, "tile.png"), os.path.join(folder, "tile.jpg")
    Image.fromarray(pixels).save(source)
    subprocess.run(["vips", "jpegsave", source, target, "--Q", "90", "--subsample-mode", "off",
                    "--restart-interval", "4", "--strip"], check=True, capture_output=True)
    with open(target, "rb") as f:
        return f.read()


def scan_start(stream):
    """Where the first scan's entropy-coded data begins."""
    at = 2
    while stream[at + 1] != SOS:
        at += 2 + struct.unpack(">H", stream[at + 2:at + 4])[0]
    return at + 2 + struct.unpack(">H", stream[at + 2:at + 4])[0]


def cut_short(stream):
    """The scan ends half way, then EOI."""
    start = scan_start(stream)
    middle = start + (len(stream) - start) // 2
    while stream[middle - 1] == 0xFF:  # not inside a stuffed byte or a marker
        middle -= 1
    return stream[:middle] + bytes([0xFF, EOI])


def bad_codes(stream):
    """Sixteen bytes of one bits (0xFF, stuffed) in the middle of the scan: no
    code of the standard's Huffman tables is sixteen ones."""
    start = scan_start(stream)
    middle = start + (len(stream) - start) // 2
    while stream[middle - 1] == 0xFF or stream[middle] == 0xFF:
        middle += 1
    return stream[:middle] + b"\xff\x00" * 16 + stream[middle + 16:]


def restarts_swapped(stream):
    """The first two restart markers, RST0 and RST1, swapped."""
    data = bytearray(stream)
    first = data.index(b"\xff\xd0", scan_start(stream))
    second = data.index(b"\xff\xd1", first)
    data[first + 1], data[second + 1] = 0xD1, 0xD0
    return bytes(data)


def write_slide(path, damage, folder):
    """A SIDE x SIDE slide at 40x whose full-resolution tiles DAMAGED are
    passed through `damage` (None: none is). Returns the level's streams."""
    shapes = level_shapes(SIDE, SIDE, TILE)
    body = bytearray()
    indexes = []
    stored = []
    for level, (w, h, columns, rows) in enumerate(shapes):
        index = bytearray()
        for r in range(rows):
            for c in range(columns):
                pixels = tile_pixels(min(TILE, w - c * TILE), min(TILE, h - r * TILE),
                                     (level * 100 + r) * 100 + c)
                data = restart_jpeg(pixels, folder)
                if level == 0:
                    if damage is not None and r * columns + c in DAMAGED:
                        data = damage(data)
                    stored.append(data)
                index += struct.pack("<QII", HEADER_SIZE + len(body), len(data), zlib.crc32(data))
                body.extend(data)
        indexes.append(bytes(index))
    write_slide_file(path, SIDE, SIDE, TILE, 40, shapes, body, indexes)
    return stored


class DamagedTiles(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-damaged-")
        cls.folder = cls.holder.name
        cls.slides = {}
        for name, damage in (("whole", None), ("cut short", cut_short),
                             ("bad Huffman codes", bad_codes),
                             ("restart markers out of order", restarts_swapped)):
            path = os.path.join(cls.folder, name.replace(" ", "-") + ".nvx")
            cls.slides[name] = (path, write_slide(path, damage, cls.folder))

    @classmethod
    def tearDownClass(cls):
        cls.holder.cleanup()

    def convert(self, slide, args):
        output = os.path.join(self.folder, "out.svs")
        environment = dict(os.environ, LC_ALL="C.UTF-8", LD_LIBRARY_PATH=LIBRARY_FOLDER)
        done = subprocess.run([NVX2SVS] + args + [slide, output, "4"], env=environment,
                              capture_output=True, timeout=120)
        return done, output

    def test_damaged_tiles_are_lost_with_or_without_copy(self):
        for name in ("cut short", "bad Huffman codes", "restart markers out of order"):
            slide, _ = self.slides[name]
            for mode, args in (("default", []), ("copy", ["--tiles", "copy"])):
                with self.subTest(damage=name, mode=mode):
                    done, output = self.convert(slide, args)
                    self.assertEqual(done.returncode, 255, done.stderr)
                    self.assertEqual(
                        done.stderr.decode(),
                        f"nvx2svs: error: the output is incomplete: {len(DAMAGED)} tiles could "
                        f"not be read from the slide; {output} was left as it was\n")
                    self.assertFalse(os.path.exists(output))
                    self.assertEqual(sorted(n for n in os.listdir(self.folder)
                                            if n.endswith(".svs") or ".part" in n), [])

    def test_whole_tiles_with_restart_markers_are_copied_and_read(self):
        slide, stored = self.slides["whole"]
        done, output = self.convert(slide, ["--tiles", "copy"])
        self.assertEqual(done.returncode, 0, done.stderr)
        try:
            with tifffile.TiffFile(output) as tif, open(output, "rb") as f:
                page = tif.pages[0]
                self.assertEqual(len(page.dataoffsets), len(stored))
                for i, (offset, count) in enumerate(zip(page.dataoffsets, page.databytecounts)):
                    f.seek(offset)
                    self.assertEqual(f.read(count), stored[i], f"tile {i} is not the stored one")
            reader = openslide.OpenSlide(output)
            try:
                for i, data in enumerate(stored):
                    x, y = (i % (SIDE // TILE)) * TILE, (i // (SIDE // TILE)) * TILE
                    tile = np.asarray(reader.read_region((x, y), 0, (TILE, TILE)).convert("RGB"))
                    expected = np.asarray(Image.open(io.BytesIO(data)).convert("RGB"))
                    self.assertTrue(np.array_equal(tile, expected), f"tile {i}")
            finally:
                reader.close()
        finally:
            os.remove(output)


if __name__ == "__main__":
    NVX2SVS, LIBRARY_FOLDER = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
