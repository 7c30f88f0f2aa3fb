"""big_dicom_test.py - a DICOM level above 4 GiB, past what the Basic
Offset Table's 32-bit offsets reach: a 45056 x 45056 slide of noise (small
on disk: every tile shares one stream), its stored tiles copied, makes a
level of about 5 GiB, which is written with the Extended Offset Table and
its lengths (the Basic one empty), and pydicom's data set plus the table
take a reader straight to the last frame, past 4 GiB, without walking the
items before it. Takes about a minute and 6 GB of disk at its peak; it is
skipped when the disk has less room.

usage: big_dicom_test.py <nvx2svs> <folder of libNvxSlideLib.so>
"""

import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import pydicom
from PIL import Image

from dicom_frames import frames_by_table
from noisy_slide import noise_jpeg, write_noisy_slide

NVX2SVS = LIBRARY_FOLDER = None
SIDE = 45056
TILE = 256
COMPLETION = "\nOK...转换完成".encode()


class BigDicom(unittest.TestCase):
    def test_a_level_above_4_gib_has_the_extended_offset_table(self):
        folder = tempfile.mkdtemp(prefix="nvx-e2e-big-dicom-")
        try:
            free = shutil.disk_usage(folder).free
            if free < 8 * 2**30:
                self.skipTest(f"needs 8 GiB free in {folder}, has {free / 2**30:.1f}")
            slide = os.path.join(folder, "noise.nvx")
            output = os.path.join(folder, "noise")
            write_noisy_slide(slide, SIDE, SIDE, TILE)
            env = dict(os.environ, LC_ALL="C.UTF-8", LD_LIBRARY_PATH=LIBRARY_FOLDER)
            done = subprocess.run([NVX2SVS, slide, output, "1", "--tiles", "copy", "--format",
                                   "dicom", "--section-thickness", "4"],
                                  env=env, capture_output=True, timeout=1200)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertTrue(done.stdout.endswith(COMPLETION))
            level = os.path.join(output, "level-0.dcm")
            self.assertGreater(os.path.getsize(level), 4 * 2**30)

            dataset = pydicom.dcmread(level, stop_before_pixels=True)
            count = int(dataset.NumberOfFrames)
            self.assertEqual(count, (SIDE // TILE) ** 2)
            last = count - 1
            kind, frames = frames_by_table(level, [0, last])
            self.assertEqual(kind, "extended")
            # The last frame's item lies past what 32 bits reach.
            offsets = np.frombuffer(dataset.ExtendedOffsetTable, dtype="<u8")
            self.assertGreater(int(offsets[last]), 2**32)
            self.assertTrue(np.all(np.diff(offsets.astype(np.int64)) > 0))
            # Every tile of the slide is the one stored stream, copied.
            stored = noise_jpeg(TILE, TILE, 1)
            for k in (0, last):
                frame = frames[k]
                self.assertEqual(frame[:len(stored)], stored, f"frame {k}")
                self.assertEqual(frame[len(stored):], b"\0" * (len(frame) - len(stored)))
                pixels = np.asarray(Image.open(io.BytesIO(frame)).convert("RGB"))
                self.assertEqual(pixels.shape, (TILE, TILE, 3))
                self.assertGreater(pixels.std(), 40, f"frame {k} is not noise")
        finally:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    NVX2SVS, LIBRARY_FOLDER = sys.argv[1:3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
