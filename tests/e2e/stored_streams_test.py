"""stored_streams_test.py - legal stored streams of several kinds through
--tiles copy into the TIFF and into DICOM, read by pydicom and dcmtk.

The slide's full-resolution tiles are PIL's baseline 4:4:4 JFIF streams,
each changed in one way a scanner's encoder may write: component ids 'R'
'G' 'B' under the JFIF marker (YCbCr all the same, as libjpeg decides),
0xFF fill bytes before every marker, an extended-sequential frame (SOF1) or
16-bit quantisation tables. The first two are copied byte for byte into
both outputs, and the DICOM instance calls them YCbCr; the last two are no
baseline streams, so they are encoded from pixels into both, never put in a
JPEG Baseline instance. dcmtk decodes every frame to the pixels of the
TIFF's tile, and pydicom to the same YCbCr samples that libjpeg reads from
it.

usage: stored_streams_test.py <nvx2svs> <folder of libNvxSlideLib.so>
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
import pydicom
import tifffile
from PIL import Image
from pydicom.encaps import generate_pixel_data_frame

from noisy_slide import HEADER_SIZE, level_shapes, write_slide_file

NVX2SVS = LIBRARY_FOLDER = None
SIDE = 1024
TILE = 256
JPEG_BASELINE = "1.2.840.10008.1.2.4.50"
SOF0, SOF1, DQT, SOS = 0xC0, 0xC1, 0xDB, 0xDA


def tile_jpeg(width, height, seed):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    base = np.stack([128 + 90 * np.sin(x / (9 + seed % 7) + c) * np.cos(y / 13) for c in range(3)],
                    axis=-1)
    pixels = np.clip(base + rng.normal(0, 20, base.shape), 0, 255).astype(np.uint8)
    out = io.BytesIO()
    Image.fromarray(pixels).save(out, "JPEG", quality=90, subsampling=0)
    return out.getvalue()


def segments(stream):
    """(start, marker, length) of each segment up to and with the scan's."""
    found, at = [], 2
    while True:
        while stream[at + 1] == 0xFF:  # fill bytes
            at += 1
        length = struct.unpack(">H", stream[at + 2:at + 4])[0]
        found.append((at, stream[at + 1], length))
        if stream[at + 1] == SOS:
            return found
        at += 2 + length


def find(stream, marker):
    return next(at for at, code, _ in segments(stream) if code == marker)


def rgb_ids(stream):
    data = bytearray(stream)
    frame, scan = find(stream, SOF0), find(stream, SOS)
    for i, name in enumerate(b"RGB"):
        data[frame + 10 + 3 * i] = name
        data[scan + 5 + 2 * i] = name
    return bytes(data)


def fill_bytes(stream):
    data = bytearray(stream[:-2] + b"\xff\xff\xff" + stream[-2:])
    for at, _, _ in reversed(segments(stream)):
        data[at:at] = b"\xff\xff"
    return bytes(data)


def extended_frame(stream):
    data = bytearray(stream)
    data[find(stream, SOF0) + 1] = SOF1
    return bytes(data)


def wide_tables(stream):
    out, at = bytearray(stream[:2]), 2
    for start, code, length in segments(stream):
        body = stream[start + 4:start + 2 + length]
        if code == DQT:
            wide = bytearray()
            for p in range(0, len(body), 65):
                wide.append(0x10 | (body[p] & 0x0F))
                for step in body[p + 1:p + 65]:
                    wide += bytes([0, step])
            out += bytes([0xFF, DQT]) + struct.pack(">H", len(wide) + 2) + wide
        else:
            out += stream[start:start + 2 + length]
        at = start + 2 + length
    return bytes(out + stream[at:])


# Tile i of the full-resolution level is changed by KINDS[i % len(KINDS)]:
# (name, change, copied). The first tile's names the instance's colour.
KINDS = (("JFIF with ids R G B", rgb_ids, True), ("fill bytes", fill_bytes, True),
         ("plain", lambda s: s, True), ("SOF1", extended_frame, False),
         ("16-bit tables", wide_tables, False))


def write_slide(path):
    shapes = level_shapes(SIDE, SIDE, TILE)
    body, indexes, stored = bytearray(), [], []
    for level, (w, h, columns, rows) in enumerate(shapes):
        index = bytearray()
        for r in range(rows):
            for c in range(columns):
                data = tile_jpeg(min(TILE, w - c * TILE), min(TILE, h - r * TILE),
                                 (level * 100 + r) * 100 + c)
                if level == 0:
                    data = KINDS[len(stored) % len(KINDS)][1](data)
                    stored.append(data)
                index += struct.pack("<QII", HEADER_SIZE + len(body), len(data), zlib.crc32(data))
                body.extend(data)
        indexes.append(bytes(index))
    write_slide_file(path, SIDE, SIDE, TILE, 40, shapes, body, indexes)
    return stored


def frame_and_tables(stream):
    """The frame's marker and the quantisation tables' precisions."""
    found = segments(stream)
    frame = next(code for _, code, _ in found if 0xC0 <= code <= 0xCF and code != 0xC4)
    return frame, {stream[at + 4] >> 4 for at, code, _ in found if code == DQT}


def decoded(stream, colour):
    """libjpeg's decode, in RGB or, without the colour transform, in YCbCr."""
    image = Image.open(io.BytesIO(stream))
    if colour == "YCbCr":
        image.draft("YCbCr", image.size)
    return np.asarray(image.convert(colour))


class StoredStreams(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-streams-")
        cls.folder = cls.holder.name
        cls.slide = os.path.join(cls.folder, "kinds.nvx")
        cls.stored = write_slide(cls.slide)

    @classmethod
    def tearDownClass(cls):
        cls.holder.cleanup()

    def convert(self, output, args):
        environment = dict(os.environ, LC_ALL="C.UTF-8", LD_LIBRARY_PATH=LIBRARY_FOLDER)
        done = subprocess.run([NVX2SVS, self.slide, os.path.join(self.folder, output), "2",
                               "--tiles", "copy", "--mpp", "0.25"] + args,
                              env=environment, capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        return os.path.join(self.folder, output)

    def test_each_kind_in_the_tiff_and_the_dicom_instance(self):
        tiff = self.convert("kinds.svs", [])
        folder = self.convert("kinds.dicom", ["--format", "dicom", "--section-thickness", "4"])
        with tifffile.TiffFile(tiff) as tif, open(tiff, "rb") as f:
            tiles = []
            for offset, count in zip(tif.pages[0].dataoffsets, tif.pages[0].databytecounts):
                f.seek(offset)
                tiles.append(f.read(count))
        instance = os.path.join(folder, "level-0.dcm")
        dataset = pydicom.dcmread(instance)
        self.assertEqual(dataset.file_meta.TransferSyntaxUID, JPEG_BASELINE)
        self.assertEqual(dataset.PhotometricInterpretation, "YBR_FULL_422")
        frames = list(generate_pixel_data_frame(dataset.PixelData, int(dataset.NumberOfFrames)))
        self.assertEqual(len(frames), len(self.stored))
        pixels = dataset.pixel_array
        for i, (stored, tile, frame) in enumerate(zip(self.stored, tiles, frames)):
            name, _, copied = KINDS[i % len(KINDS)]
            with self.subTest(tile=i, kind=name):
                self.assertEqual(tile == stored, copied)
                # The same stream in both outputs, baseline.
                self.assertEqual(frame.rstrip(b"\x00"), tile.rstrip(b"\x00"))
                self.assertEqual(frame_and_tables(tile), (SOF0, {0}))
                # pydicom leaves YBR_FULL_422 frames in YCbCr.
                self.assertTrue(np.array_equal(pixels[i], decoded(tile, "YCbCr")), "pydicom")
                # dcmtk, frame by frame (its frames count from 1).
                out = os.path.join(self.folder, "frame.ppm")
                done = subprocess.run(["dcmj2pnm", "+F", str(i + 1), instance, out],
                                      capture_output=True)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertTrue(np.array_equal(np.asarray(Image.open(out).convert("RGB")),
                                               decoded(tile, "RGB")), "dcmtk")


if __name__ == "__main__":
    NVX2SVS, LIBRARY_FOLDER = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
