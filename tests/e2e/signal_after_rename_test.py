"""signal_after_rename_test.py - a signal that ends a run after its output
was renamed into place (while the folder is synced) says that the new
output is in place, not that it was not written, and still ends the run
as the signal's own. A shim (LD_PRELOAD) raises the signal at the folder's
fsync.

usage: signal_after_rename_test.py NVX2SVS TESTS_BUILD_DIR SHIM
"""
import os
import signal
import subprocess
import sys
import tempfile
import unittest

import openslide

NVX2SVS = FAKE_ROOT = SHIM = None


class SignalAfterRename(unittest.TestCase):
    def test_the_line_says_the_new_output_is_in_place(self):
        cases = ((signal.SIGTERM, "terminated (SIGTERM)"), (signal.SIGINT, "interrupted (SIGINT)"))
        for number, cause in cases:
            with self.subTest(cause), tempfile.TemporaryDirectory(prefix="nvx-e2e-late-") as folder:
                output = os.path.join(folder, "out.svs")
                with open(output, "wb") as f:
                    f.write(b"an earlier output")
                env = dict(os.environ, LC_ALL="C.UTF-8", LD_PRELOAD=SHIM,
                           LD_LIBRARY_PATH=os.path.join(FAKE_ROOT, "fake"),
                           NVXFAKE_WIDTH="1200", NVXFAKE_HEIGHT="900", NVXFAKE_MPP="0.25",
                           NVX_SHIM_FOLDER_SYNC_SIGNAL=str(int(number)))
                done = subprocess.run([NVX2SVS, "slide.nvx", output, "3"], env=env, cwd=folder,
                                      capture_output=True, timeout=120)
                self.assertEqual(done.returncode, -number, done.stderr)
                self.assertEqual(done.stderr.decode(),
                                 f"nvx2svs: {cause}; the new output was already in place\n")
                with openslide.OpenSlide(output) as slide:
                    self.assertEqual(slide.dimensions, (1200, 900))
                self.assertEqual(os.listdir(folder), ["out.svs"])


if __name__ == "__main__":
    NVX2SVS, FAKE_ROOT, SHIM = sys.argv[1:4]
    unittest.main(argv=sys.argv[:1], verbosity=2)
