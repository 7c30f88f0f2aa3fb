"""incomplete_streams_test.py - tile streams that lean on tables they do not
carry, through our slide library.

A JPEG decoder keeps the quantisation and Huffman tables of one stream for
the next, so a stream without its own DQT or DHT decodes with whatever the
decoder read before it: on a converter whose workers reuse decoders, with
another tile's tables, different from run to run. The slide made here has
tiles at two qualities that carry their tables, and then tiles that carry
none (or no Huffman tables, which a decoder would take from the standard's
defaults). Every run, whole slide, region or by the pixel route, must lose
exactly those tiles, the same way each time: status -1 and the usual line
for lost tiles, never a file.

usage: incomplete_streams_test.py <nvx2svs> <folder of libNvxSlideLib.so>
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
from PIL import Image

from noisy_slide import HEADER_SIZE, level_shapes, write_slide_file

NVX2SVS = LIBRARY_FOLDER = None
SIDE = 1024
TILE = 256
RUNS = 5
# The first row of the full-resolution level carries its tables, at two
# qualities in turn; the other three rows are the ones that lean on them.
COMPLETE_ROWS = 1
LOST = (SIDE // TILE) * (SIDE // TILE - COMPLETE_ROWS)

DQT, DHT = 0xDB, 0xC4


def tissue_jpeg(width, height, seed, quality):
    """A tile of smooth colour with some noise: tables of other qualities
    move its pixels a long way."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    base = np.stack([128 + 90 * np.sin(x / (9 + seed % 7) + c) * np.cos(y / 13) for c in range(3)],
                    axis=-1)
    pixels = np.clip(base + rng.normal(0, 20, base.shape), 0, 255).astype(np.uint8)
    out = io.BytesIO()
    Image.fromarray(pixels).save(out, "JPEG", quality=quality, subsampling=0)
    return out.getvalue()


def without_segments(stream, marker):
    """The stream with every segment of `marker` taken out (those before the
    first scan: PIL writes all its tables there)."""
    out = bytearray(stream[:2])
    at = 2
    while at < len(stream):
        code = stream[at + 1]
        if code == 0xDA:  # the scan and everything after it
            out += stream[at:]
            break
        length = struct.unpack(">H", stream[at + 2:at + 4])[0]
        if code != marker:
            out += stream[at:at + 2 + length]
        at += 2 + length
    return bytes(out)


def write_slide(path, strip):
    """A SIDE x SIDE slide at 40x whose full-resolution tiles below the first
    row lack the segments of marker `strip`."""
    shapes = level_shapes(SIDE, SIDE, TILE)
    body = bytearray()
    indexes = []
    for level, (w, h, columns, rows) in enumerate(shapes):
        index = bytearray()
        for r in range(rows):
            for c in range(columns):
                seed = (level * 100 + r) * 100 + c
                quality = 90 if (r * columns + c) % 2 == 0 else 25
                data = tissue_jpeg(min(TILE, w - c * TILE), min(TILE, h - r * TILE), seed, quality)
                if level == 0 and r >= COMPLETE_ROWS:
                    data = without_segments(data, strip)
                index += struct.pack("<QII", HEADER_SIZE + len(body), len(data), zlib.crc32(data))
                body.extend(data)
        indexes.append(bytes(index))
    write_slide_file(path, SIDE, SIDE, TILE, 40, shapes, body, indexes)


class IncompleteStreams(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-tables-")
        cls.folder = cls.holder.name
        cls.slides = {}
        for name, marker in (("no-dqt", DQT), ("no-dht", DHT)):
            cls.slides[name] = os.path.join(cls.folder, name + ".nvx")
            write_slide(cls.slides[name], marker)

    @classmethod
    def tearDownClass(cls):
        cls.holder.cleanup()

    def convert(self, slide, args, env):
        output = os.path.join(self.folder, "out.svs")
        environment = dict(os.environ, LC_ALL="C.UTF-8", LD_LIBRARY_PATH=LIBRARY_FOLDER, **env)
        done = subprocess.run([NVX2SVS, slide, output] + [str(a) for a in args], env=environment,
                              capture_output=True, timeout=120)
        leftovers = sorted(n for n in os.listdir(self.folder) if not n.endswith(".nvx"))
        return done, output, leftovers

    def test_tiles_without_their_own_tables_are_lost_the_same_way_every_run(self):
        modes = (("whole slide", [4], {}),
                 ("region", [9, 40, 0, 0, SIDE, SIDE], {}),
                 ("pixel route", [4], {"NVX2SVS_PIXEL_ROUTE": "1"}))
        for name, slide in self.slides.items():
            for mode, args, env in modes:
                with self.subTest(slide=name, mode=mode):
                    results = set()
                    for _ in range(RUNS):
                        done, output, leftovers = self.convert(slide, args, env)
                        results.add((done.returncode, done.stderr))
                        self.assertEqual(done.returncode, 255, done.stderr)
                        self.assertEqual(
                            done.stderr.decode(),
                            f"nvx2svs: error: the output is incomplete: {LOST} tiles could not "
                            f"be read from the slide; {output} was left as it was\n")
                        self.assertEqual(leftovers, [])
                    self.assertEqual(len(results), 1, results)


if __name__ == "__main__":
    NVX2SVS, LIBRARY_FOLDER = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
