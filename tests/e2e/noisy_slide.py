"""noisy_slide.py - writes an nvx slide that is small on disk but large in
pixels: every tile of every level is the same picture of noise, stored once
per tile size (the format lets tile index entries share a stream). Noise
barely compresses, so the converted output is about as large as a slide of
that size can get.

usage: noisy_slide.py WIDTHxHEIGHT OUT.nvx [tile size, default 256]
"""

import io
import struct
import sys
import zlib

import numpy as np
from PIL import Image

MAGIC = b"\x89NVX\r\n\x1a\n"
HEADER_SIZE = 128


def level_shapes(width, height, tile):
    """The format's level rule: halve until one tile holds the level."""
    shapes = []
    k = 0
    while True:
        w, h = width >> k, height >> k
        shapes.append((w, h, (w + tile - 1) // tile, (h + tile - 1) // tile))
        if (w <= tile and h <= tile) or w < 2 or h < 2:
            return shapes
        k += 1


def noise_jpeg(width, height, seed):
    pixels = np.random.default_rng(seed).integers(0, 256, (height, width, 3), dtype=np.uint8)
    out = io.BytesIO()
    Image.fromarray(pixels).save(out, "JPEG", quality=95, subsampling=0)
    return out.getvalue()


def write_slide_file(path, width, height, tile, magnification, shapes, body, indexes):
    """Writes an nvx file whose `body` holds the tile streams so far and whose
    `indexes` are the levels' tile indexes (of `shapes`): the indexes and
    level records go after the streams, then the header; no label and no
    preview."""
    records = bytearray()
    for (w, h, columns, rows), index in zip(shapes, indexes):
        offset = HEADER_SIZE + len(body)
        body.extend(index)
        records += struct.pack("<IIIIQII", w, h, columns, rows, offset, zlib.crc32(index), 0)
    table_offset = HEADER_SIZE + len(body)
    body.extend(records)

    header = bytearray(HEADER_SIZE)
    header[0:8] = MAGIC
    struct.pack_into("<IIIIII", header, 8, 1, HEADER_SIZE, width, height, magnification, tile)
    struct.pack_into("<ffd", header, 32, 0.25, 0.0, 0.0)
    struct.pack_into("<IIQQ", header, 48, len(shapes), zlib.crc32(records), table_offset,
                     HEADER_SIZE + len(body))
    # Both picture references stay zero.
    struct.pack_into("<I", header, 124, zlib.crc32(bytes(header[:124])))
    with open(path, "wb") as f:
        f.write(header)
        f.write(body)


def write_noisy_slide(path, width, height, tile=256, magnification=40):
    shapes = level_shapes(width, height, tile)
    body = bytearray()
    streams = {}  # (w, h) -> (offset, length, crc)

    def stream_for(w, h):
        if (w, h) not in streams:
            data = noise_jpeg(w, h, len(streams) + 1)
            streams[(w, h)] = (HEADER_SIZE + len(body), len(data), zlib.crc32(data))
            body.extend(data)
        return streams[(w, h)]

    indexes = []
    for w, h, columns, rows in shapes:
        index = bytearray()
        for r in range(rows):
            th = min(tile, h - r * tile)
            for c in range(columns):
                tw = min(tile, w - c * tile)
                offset, length, crc = stream_for(tw, th)
                index += struct.pack("<QII", offset, length, crc)
        indexes.append(bytes(index))

    write_slide_file(path, width, height, tile, magnification, shapes, body, indexes)


if __name__ == "__main__":
    size = sys.argv[1].split("x")
    write_noisy_slide(sys.argv[2], int(size[0]), int(size[1]),
                      int(sys.argv[3]) if len(sys.argv) > 3 else 256)
