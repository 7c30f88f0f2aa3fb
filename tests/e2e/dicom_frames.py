"""dicom_frames.py - an instance's frames read as a reader that goes
straight to frame k reads them: pydicom reads the data set up to the pixel
data, then the offset table says where each frame's item starts (the
Extended Offset Table and its lengths when present, and the Basic Offset
Table, which must then be empty, otherwise) and the file is read there,
without walking the items before it.
"""

import struct

import pydicom

ITEM = 0xE000FFFE
PIXEL_DATA = 0x00107FE0  # (7FE0,0010) as its four bytes read little-endian


def frames_by_table(path, wanted=None):
    """(the table used, "basic" or "extended"; {k: frame k's item value})
    for the frames `wanted` (all when None). Fails an assertion where the
    tables break the rules: both tables at once, a table of another length
    than the frames, an offset that is not an item's, a length that is not
    the item's."""
    with open(path, "rb") as f:
        dataset = pydicom.dcmread(f, stop_before_pixels=True)
        # pydicom stops at the pixel data element's start.
        tag, vr, _, length = struct.unpack("<I2sHI", f.read(12))
        assert (tag, vr, length) == (PIXEL_DATA, b"OB", 0xFFFFFFFF), (hex(tag), vr, length)
        tag, basic_length = struct.unpack("<II", f.read(8))
        assert tag == ITEM, hex(tag)
        basic = f.read(basic_length)
        first_item = f.tell()
        count = int(dataset.NumberOfFrames)
        if "ExtendedOffsetTable" in dataset:
            assert basic_length == 0, "a Basic Offset Table beside the Extended one"
            offsets = struct.unpack(f"<{count}Q", dataset.ExtendedOffsetTable)
            lengths = struct.unpack(f"<{count}Q", dataset.ExtendedOffsetTableLengths)
            kind = "extended"
        else:
            assert "ExtendedOffsetTableLengths" not in dataset
            assert basic_length == 4 * count, (basic_length, count)
            offsets = struct.unpack(f"<{count}I", basic)
            lengths = None
            kind = "basic"
        frames = {}
        for k in range(count) if wanted is None else wanted:
            f.seek(first_item + offsets[k])
            tag, length = struct.unpack("<II", f.read(8))
            assert tag == ITEM, f"frame {k}: no item at its offset"
            if lengths is not None:
                assert length == lengths[k], (k, length, lengths[k])
            frames[k] = f.read(length)
        return kind, frames
