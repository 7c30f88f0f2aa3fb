"""What a gzip stream's header (RFC 1952) says about how it was made, for
the packaging tests: Debian wants man pages and changelogs compressed by
gzip -9n, with no file name and no time stamp, so that two builds of the
same source give the same bytes.
"""
import gzip
import struct

FNAME = 0x08  # FLG: an original file name follows the header
BEST = 2  # XFL: compressed at the highest level (-9)


def how_compressed(data):
    """{'name stored', 'time stamp', 'level 9'} of one gzip stream; it must decompress."""
    if data[:3] != b"\x1f\x8b\x08":
        raise AssertionError(f"not a deflate gzip stream: {data[:3]!r}")
    gzip.decompress(data)
    flags, mtime, extra = struct.unpack("<BIB", data[3:9])
    return {"name stored": bool(flags & FNAME), "time stamp": mtime, "level 9": extra == BEST}


# What gzip -9n gives.
REPRODUCIBLE = {"name stored": False, "time stamp": 0, "level 9": True}
