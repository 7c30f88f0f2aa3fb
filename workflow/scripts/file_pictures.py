"""file_pictures.py - which of a slide's pictures (label, macro) a file
holds, told by what the file is, never by its name, and read from its
header alone: a TIFF's directories (an SVS marks its label and macro in
their ImageDescription and NewSubfileType) or a DICOM instance's ImageType
(LABEL, OVERVIEW).

pictures_in(descriptor, size) answers one of
  (None, set())            neither a TIFF nor a DICOM instance: no picture
                           of a slide that this can tell
  ("tiff" or "dicom", {...}) the pictures it holds, maybe none
  ("tiff" or "dicom", None)  it is one, but its header cannot be read (cut
                           short, a loop, too large): it may hold any
"""

import io
import os
import re
import struct

# What a directory's ImageDescription says it shows: Aperio writes "label
# WxH" and "macro WxH" on its second line, other scanners "Label Image",
# "Label_Image", "Macro", "Overview". Letter case aside; a word that only
# begins so counts too, as the safe side.
LABEL_WORD = re.compile(rb"(?<![a-z])label")
MACRO_WORD = re.compile(rb"(?<![a-z])(macro|overview)")
# NewSubfileType: 1 a reduced image, which SVS keeps its label as (in
# strips, where its pyramid levels are tiled); 9 the macro (reduced, and
# SVS's macro bit).
REDUCED = 1
SVS_MACRO = 9

TIFF_MAGIC = {b"II*\0": ("<", False), b"MM\0*": (">", False),
              b"II+\0": ("<", True), b"MM\0+": (">", True)}
NEW_SUBFILE_TYPE, IMAGE_DESCRIPTION, TILE_WIDTH, SUB_IFDS = 254, 270, 322, 330
TYPE_BYTES = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 6: 1, 7: 1, 8: 2, 9: 4, 10: 8, 11: 4, 12: 8,
              13: 4, 16: 8, 17: 8, 18: 8}
MOST_DIRECTORIES = 4096  # far more than any slide has; more cannot be told
MOST_ENTRIES = 4096  # tags of one directory (libtiff's own files have a few dozen)
DESCRIPTION_BYTES = 1 << 16  # of an ImageDescription read; the marks are in its first lines
DICOM_HEAD = 1 << 20  # bytes of an instance read for its ImageType
DICOM_KINDS = {"LABEL": "label", "OVERVIEW": "macro"}


class Unreadable(Exception):
    """A header cut short or not as its format says."""


def _read(descriptor, size, count, offset):
    if offset < 0 or count < 0 or offset + count > size:
        raise Unreadable("past the end of the file")
    data = os.pread(descriptor, count, offset)
    if len(data) != count:
        raise Unreadable("the file is shorter than it was")
    return data


def _numbers(data, order, kind, count):
    code = {1: "B", 3: "H", 4: "I", 13: "I", 16: "Q", 18: "Q"}.get(kind)
    if code is None:
        raise Unreadable(f"a number of TIFF type {kind}")
    return struct.unpack(f"{order}{count}{code}", data[: count * struct.calcsize(code)])


def _directory(descriptor, size, order, big, offset):
    """(NewSubfileType, tiled, ImageDescription bytes, SubIFD offsets, the
    next directory's offset) of the directory at offset."""
    count_format, entry_bytes, value_bytes = ("Q", 20, 8) if big else ("H", 12, 4)
    count_size = struct.calcsize(count_format)
    (count,) = struct.unpack(order + count_format, _read(descriptor, size, count_size, offset))
    if count > MOST_ENTRIES:
        raise Unreadable(f"a directory of {count} tags")
    table = _read(descriptor, size, count * entry_bytes + value_bytes, offset + count_size)
    subfile, tiled, description, children = 0, False, b"", []
    for at in range(0, count * entry_bytes, entry_bytes):
        entry = table[at: at + entry_bytes]
        tag, kind = struct.unpack(order + "HH", entry[:4])
        if tag not in (NEW_SUBFILE_TYPE, IMAGE_DESCRIPTION, TILE_WIDTH, SUB_IFDS):
            continue
        (values,) = struct.unpack(order + ("Q" if big else "I"), entry[4: 4 + value_bytes])
        inline = entry[4 + value_bytes:]
        length = values * TYPE_BYTES.get(kind, 1)
        if length <= value_bytes:
            data = inline[:length]
        else:
            (where,) = struct.unpack(order + ("Q" if big else "I"), inline)
            wanted = min(length, DESCRIPTION_BYTES if tag == IMAGE_DESCRIPTION else
                         MOST_DIRECTORIES * 8)
            data = _read(descriptor, size, wanted, where)
        if tag == IMAGE_DESCRIPTION:
            description = data.lower()
        elif tag == TILE_WIDTH:
            tiled = True
        elif tag == NEW_SUBFILE_TYPE and values:
            subfile = _numbers(data, order, kind, 1)[0]
        elif tag == SUB_IFDS:
            children = list(_numbers(data, order, kind, len(data) // TYPE_BYTES.get(kind, 1)))
    (following,) = struct.unpack(order + ("Q" if big else "I"),
                                 table[count * entry_bytes:])
    return subfile, tiled, description, children, following


def tiff_pictures(descriptor, size, head):
    """The pictures the directories of a TIFF (classic or BigTIFF) hold,
    SubIFDs included; raises Unreadable."""
    order, big = TIFF_MAGIC[head[:4]]
    if big:
        if len(head) < 16 or struct.unpack(order + "HH", head[4:8]) != (8, 0):
            raise Unreadable("not a BigTIFF header")
        (first,) = struct.unpack(order + "Q", head[8:16])
    else:
        if len(head) < 8:
            raise Unreadable("a header cut short")
        (first,) = struct.unpack(order + "I", head[4:8])
    held, seen, waiting = set(), set(), [first]
    while waiting:
        offset = waiting.pop()
        if offset == 0 or offset in seen:
            continue
        seen.add(offset)
        if len(seen) > MOST_DIRECTORIES:
            raise Unreadable(f"more than {MOST_DIRECTORIES} directories")
        subfile, tiled, description, children, following = _directory(
            descriptor, size, order, big, offset)
        if LABEL_WORD.search(description) or (subfile == REDUCED and not tiled):
            held.add("label")
        if MACRO_WORD.search(description) or subfile == SVS_MACRO:
            held.add("macro")
        waiting += [following, *children]
    return held


def dicom_pictures(head, part10):
    """The pictures a DICOM instance's ImageType says it shows, from the
    first bytes of the file; raises Unreadable."""
    from pydicom.filereader import read_partial

    try:
        dataset = read_partial(io.BytesIO(head), stop_when=lambda tag, _vr, _length:
                               tag > 0x00080008, force=not part10)
        kinds = dataset.get("ImageType")
    except Exception as e:  # pydicom's errors on what is not as DICOM says
        raise Unreadable(f"not a readable instance: {e}") from None
    if kinds is None:
        raise Unreadable("no ImageType")
    values = [kinds] if isinstance(kinds, str) else list(kinds)
    return {DICOM_KINDS[value] for value in values
            if isinstance(value, str) and value.strip().upper() in DICOM_KINDS}


def pictures_in(descriptor, size):
    """(format, pictures) of the open file; see the module's description."""
    head = _read(descriptor, size, min(size, 132), 0)
    if head[:4] in TIFF_MAGIC:
        try:
            return "tiff", tiff_pictures(descriptor, size, head)
        except (Unreadable, struct.error, OSError):
            return "tiff", None
    # A DICOM file: the preamble and DICM, or a data set that starts with
    # its file meta group or its first group (0008) without them.
    part10 = head[128:132] == b"DICM"
    if part10 or head[:2] in (b"\x02\x00", b"\x08\x00"):
        try:
            head = _read(descriptor, size, min(size, DICOM_HEAD), 0)
            return "dicom", dicom_pictures(head, part10)
        except (Unreadable, OSError):
            return "dicom", None
    return None, set()
