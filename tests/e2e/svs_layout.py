"""svs_layout.py - checks shared by the end-to-end tests: the converted
file's directory order and every tag of every directory, the JPEG data
(quality tables, RGB without subsampling), and what OpenSlide makes of it."""

import struct
import subprocess

import numpy as np
import openslide
import tifffile

LEVEL_TAGS = {297, 274, 256, 257, 322, 323, 258, 277, 270, 305, 262, 266, 284, 259,
              324, 325, 347}
THUMBNAIL_TAGS = {254, 297, 274, 256, 257, 258, 277, 262, 266, 284, 259, 278, 282, 283,
                  296, 273, 279, 347}
LABEL_TAGS = THUMBNAIL_TAGS | {270}
MACRO_TAGS = {254, 274, 256, 257, 258, 277, 270, 262, 266, 284, 259, 278, 273, 279, 347}

LUMA_BASE = [16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55,
             14, 13, 16, 24, 40, 57, 69, 56, 14, 17, 22, 29, 51, 87, 80, 62,
             18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
             49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99]


class LayoutError(AssertionError):
    pass


def expect(condition, message):
    if not condition:
        raise LayoutError(message)


def luma_table(quality):
    scale = 5000 // quality if quality < 50 else 200 - 2 * quality
    return sorted(min(255, max(1, (v * scale + 50) // 100)) for v in LUMA_BASE)


def jpeg_segments(data):
    """(marker, payload) of each segment up to the scan."""
    pos = 2
    expect(data[:2] == b"\xff\xd8", "JPEG data does not start with SOI")
    while pos + 4 <= len(data):
        expect(data[pos] == 0xFF, "broken JPEG marker chain")
        marker = data[pos + 1]
        if marker == 0xD9:
            return
        length = struct.unpack(">H", data[pos + 2:pos + 4])[0]
        yield marker, data[pos + 4:pos + 2 + length]
        if marker == 0xDA:
            return
        pos += 2 + length


def quality_of(jpeg_tables):
    """The quality whose standard luminance table the JPEGTables hold."""
    for marker, payload in jpeg_segments(jpeg_tables):
        if marker == 0xDB and payload[0] & 0x0F == 0:
            values = sorted(payload[1:65])
            for quality in range(1, 101):
                if luma_table(quality) == values:
                    return quality
    return None


def check_rgb_stream(raw):
    """An abbreviated RGB stream: three components sampled 1x1, no tables of its own."""
    found_frame = False
    for marker, payload in jpeg_segments(raw):
        expect(marker not in (0xDB, 0xC4), "a tile carries its own JPEG tables")
        if marker == 0xC0:
            found_frame = True
            expect(payload[5] == 3, "JPEG frame is not three components")
            for c in range(3):
                expect(payload[6 + 3 * c + 1] == 0x11, "JPEG components are subsampled")
    expect(found_frame, "no baseline frame header in the stream")


def tags_of(page):
    return {tag.code: tag.value for tag in page.tags.values()}


def first_raw_segment(tf, page):
    offset, count = page.dataoffsets[0], page.databytecounts[0]
    tf.filehandle.seek(offset)
    return tf.filehandle.read(count)


def check_layout(path, levels, tile_size, magnification, mpp_text, thumbnail=True, label=True,
                 macro=True, page_count=None):
    """levels: [(width, height)] of the pyramid levels in order. Every
    PageNumber's total is the number of directories the file holds."""
    n = page_count if page_count is not None else (
        len(levels) + int(thumbnail) + int(label) + int(macro))
    # libtiff itself reads every directory and decodes every tile and strip.
    done = subprocess.run(["tiffinfo", "-D", path], capture_output=True)
    expect(done.returncode == 0 and done.stderr == b"",
           f"tiffinfo -D: {done.stderr.decode(errors='replace')}")
    expect(done.stdout.count(b"TIFF Directory at offset") ==
           len(levels) + int(thumbnail) + int(label) + int(macro), "tiffinfo directory count")
    with tifffile.TiffFile(path) as tf:
        expect(not tf.is_bigtiff and tf.tiff.version == 42, "not a classic TIFF")
        expect(tf.byteorder == "<", "not little-endian")
        pages = list(tf.pages)
        kinds = [("level", 0)]
        if thumbnail:
            kinds.append(("thumbnail", None))
        kinds += [("level", k) for k in range(1, len(levels))]
        if label:
            kinds.append(("label", None))
        if macro:
            kinds.append(("macro", None))
        expect(len(pages) == len(kinds), f"{len(pages)} directories, expected {len(kinds)}")
        position = 0
        for page, (kind, level) in zip(pages, kinds):
            position += 1
            tags = tags_of(page)
            expect(347 in tags, f"directory {position} lacks JPEGTables")
            expect(tags[259] == 7 and tags[262] == 2 and tags[266] == 1 and tags[284] == 1
                   and tags[274] == 1 and tags[277] == 3 and tuple(tags[258]) == (8, 8, 8),
                   f"directory {position}: not 8-bit RGB JPEG, top-left, contiguous")
            quality = quality_of(tags[347])
            check_rgb_stream(first_raw_segment(tf, page))
            if kind == "level":
                w, h = levels[level]
                expected = LEVEL_TAGS | ({254} if level == 0 else set())
                expect(set(tags) == expected, f"directory {position} tags {sorted(tags)}")
                if level == 0:
                    expect(tags[254] == 2, "first level NewSubfileType is not 2")
                page_number = position if thumbnail else (1 if level == 0 else position + 1)
                expect(tuple(tags[297]) == (page_number, n), f"level PageNumber {tags[297]}")
                expect((tags[256], tags[257]) == (w, h), f"level size {(tags[256], tags[257])}")
                expect(tags[322] == tile_size and tags[323] == tile_size, "tile size")
                expect(tags[305] == "NORVEX", "Software")
                description = (f"Aperio Image Format\r\n{w}x{h} [0,0 {w}x{h}] ({tile_size}x"
                               f"{tile_size}) JPEG/RGB Q=60|AppMag = {magnification}|MPP = {mpp_text}")
                expect(tags[270] == description, f"level description {tags[270]!r}")
                expect(quality == (60 if page_number <= 3 else 75), f"level quality {quality}")
                tiles = ((w + tile_size - 1) // tile_size) * ((h + tile_size - 1) // tile_size)
                expect(len(page.dataoffsets) == tiles, "tile count")
            elif kind == "thumbnail":
                expect(set(tags) == THUMBNAIL_TAGS, f"thumbnail tags {sorted(tags)}")
                expect(tags[254] == 0 and tuple(tags[297]) == (2, n), "thumbnail type/page")
                expect(tags[256] < 2048 and tags[257] < 2048, "thumbnail too large")
                expect(tags[278] == tags[257] and quality == 75, "thumbnail strip/quality")
                expect(tuple(tags[282]) == (150, 1) and tuple(tags[283]) == (150, 1)
                       and tags[296] == 2, "thumbnail resolution")
            elif kind == "label":
                expect(set(tags) == LABEL_TAGS, f"label tags {sorted(tags)}")
                expect(tags[254] == 1 and tuple(tags[297]) == (position, n),
                       f"label type/page {tags[297]}")
                expect(tags[270] == f"Aperio Image Format\nlabel {tags[256]}x{tags[257]}",
                       f"label description {tags[270]!r}")
                expect(tags[278] == tags[257] and quality == 60, "label strip/quality")
                expect(tuple(tags[282]) == (150, 1) and tags[296] == 2, "label resolution")
            else:
                expect(set(tags) == MACRO_TAGS, f"macro tags {sorted(tags)}")
                expect(tags[254] == 9, "macro type")
                expect(tags[270] == f"|macro = macro|\nmacro {tags[256]}x{tags[257]}",
                       f"macro description {tags[270]!r}")
                expect(tags[278] == tags[257] and quality == 60, "macro strip/quality")
        return [tags_of(p) for p in pages]


def check_openslide(path, levels, magnification, mpp, associated=("label", "macro", "thumbnail")):
    slide = openslide.OpenSlide(path)
    try:
        props = slide.properties
        expect(props["openslide.vendor"] == "aperio", "vendor is not aperio")
        expect(slide.level_count == len(levels), f"level count {slide.level_count}")
        expect(list(slide.level_dimensions) == [tuple(l) for l in levels],
               f"level sizes {slide.level_dimensions}")
        expect(props.get("openslide.objective-power") == str(magnification),
               f"objective power {props.get('openslide.objective-power')}")
        expect(abs(float(props["openslide.mpp-x"]) - mpp) < 1e-6, "mpp-x")
        expect(sorted(slide.associated_images) == sorted(associated),
               f"associated images {sorted(slide.associated_images)}")
        if "thumbnail" in associated:
            w, h = slide.associated_images["thumbnail"].size
            expect(w < 2048 and h < 2048, "thumbnail too large")
    finally:
        slide.close()


def read_level(path, level):
    slide = openslide.OpenSlide(path)
    try:
        w, h = slide.level_dimensions[level]
        region = slide.read_region((0, 0), level, (w, h)).convert("RGB")
        return np.asarray(region, dtype=np.int16)
    finally:
        slide.close()


def mean_difference(a, b):
    expect(a.shape == b.shape, f"shapes differ: {a.shape} vs {b.shape}")
    return np.abs(a.astype(np.int16) - b.astype(np.int16)).reshape(-1, 3).mean(axis=0)
