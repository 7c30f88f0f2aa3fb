"""big_output_test.py - an output above 4 GiB, the limit of a classic TIFF:
a 57344 x 57344 slide of noise (small on disk: every tile shares one noise
picture) converts into a BigTIFF, chosen before writing, with the usual
directories and texts, which OpenSlide, libvips, tifffile and GDAL open. Takes minutes and about 10 GB of
disk at its peak; it is skipped when the disk has less room.

usage: big_output_test.py <nvx2svs> <folder of libNvxSlideLib.so>
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import openslide
import tifffile

from noisy_slide import write_noisy_slide

NVX2SVS = LIBRARY_FOLDER = None
SIDE = 57344
COMPLETION = "\nOK...转换完成".encode()


class BigOutput(unittest.TestCase):
    def test_an_output_above_4_gib_is_written_as_a_bigtiff(self):
        folder = tempfile.mkdtemp(prefix="nvx-e2e-big-")
        try:
            free = shutil.disk_usage(folder).free
            if free < 14 * 2**30:
                self.skipTest(f"needs 14 GiB free in {folder}, has {free / 2**30:.1f}")
            slide = os.path.join(folder, "noise.nvx")
            output = os.path.join(folder, "noise.svs")
            write_noisy_slide(slide, SIDE, SIDE)
            env = dict(os.environ, LC_ALL="C.UTF-8", LD_LIBRARY_PATH=LIBRARY_FOLDER)
            done = subprocess.run([NVX2SVS, slide, output, "2"], env=env, capture_output=True,
                                  timeout=3000)
            stderr = done.stderr.decode()
            self.assertEqual(done.returncode, 0, stderr)
            self.assertTrue(done.stdout.endswith(COMPLETION))
            # Its size is estimated before writing: a BigTIFF from the start,
            # not a classic file written again. The slide has no pictures.
            self.assertEqual(stderr, "".join(
                f"nvx2svs: warning: the slide has no {name} picture; its directory is left out\n"
                for name in ("label", "macro")))
            self.assertEqual(sorted(os.listdir(folder)), ["noise.nvx", "noise.svs"])
            self.assertGreater(os.path.getsize(output), 4 * 2**30)

            with tifffile.TiffFile(output) as tif:
                self.assertTrue(tif.is_bigtiff)
                pages = tif.pages
                self.assertEqual(len(pages), 3)  # two levels and the thumbnail: no pictures
                self.assertEqual((pages[0].imagewidth, pages[0].imagelength), (SIDE, SIDE))
                self.assertEqual(pages[0].tags["NewSubfileType"].value, 2)
                self.assertTrue(pages[0].description.startswith(
                    f"Aperio Image Format\r\n{SIDE}x{SIDE} [0,0 {SIDE}x{SIDE}] (256x256) "
                    "JPEG/RGB Q=60|AppMag = 40|MPP = 0.250000"), pages[0].description)
                self.assertEqual(pages[2].imagewidth, SIDE // 4)
                self.assertEqual(pages[2].tags["PageNumber"].value, (3, 3))

            slide_reader = openslide.OpenSlide(output)
            try:
                self.assertEqual(slide_reader.properties["openslide.vendor"], "aperio")
                self.assertEqual(slide_reader.level_dimensions,
                                 ((SIDE, SIDE), (SIDE // 4, SIDE // 4)))
                for level, (w, h) in enumerate(slide_reader.level_dimensions):
                    # The far corner: its tiles lie beyond 4 GiB in the file.
                    factor = int(slide_reader.level_downsamples[level])
                    corner = np.asarray(slide_reader.read_region(
                        ((w - 300) * factor, (h - 300) * factor), level, (300, 300)).convert("RGB"))
                    self.assertGreater(corner.std(), 40, f"level {level} is not noise")
            finally:
                slide_reader.close()

            header = subprocess.run(["vipsheader", f"{output}[level=1]"], capture_output=True)
            self.assertEqual(header.returncode, 0, header.stderr)
            self.assertIn(f"{SIDE // 4}x{SIDE // 4}", header.stdout.decode())
            crop = os.path.join(folder, "corner.png")
            cut = subprocess.run(["vips", "crop", output, crop, str(SIDE - 256), str(SIDE - 256),
                                  "256", "256"], capture_output=True)
            self.assertEqual(cut.returncode, 0, cut.stderr)
            os.remove(crop)

            if shutil.which("gdalinfo"):
                info = subprocess.run(["gdalinfo", output], capture_output=True)
                self.assertEqual(info.returncode, 0, info.stderr)
                self.assertIn(f"Size is {SIDE}, {SIDE}", info.stdout.decode())
        finally:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    NVX2SVS, LIBRARY_FOLDER = sys.argv[1:3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
