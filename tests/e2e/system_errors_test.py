"""system_errors_test.py - a run the system refuses says why in the
system's own words: writes to the temporary that fail with a quota, a
failing disk, a full disk, a file too large or a read-only file system;
the temporary's sync failing; worker threads that cannot start. Each run
ends with status 255, one line of ours that names the cause, nothing
published and nothing left beside the output. A shim (LD_PRELOAD,
system_errors.c) makes the system refuse.

usage: system_errors_test.py NVX2SVS TESTS_BUILD_DIR SHIM
"""
import errno
import os
import re
import subprocess
import sys
import tempfile
import unittest

NVX2SVS = FAKE_ROOT = SHIM = None
WAITING = "正在转换中，请等待...\n"

# The first level's tiles pass this many bytes of the temporary.
AFTER = 60_000
TILE = r"writing tile \d+ \(\d+, \d+\) of pyramid level 1 failed: {}; pyramid level 1 ended " \
       r"short: \d+ of 1500 rows written"


class SystemErrors(unittest.TestCase):
    def convert(self, folder, env):
        output = os.path.join(folder, "out.svs")
        environment = dict(os.environ, LC_ALL="C.UTF-8", LD_PRELOAD=SHIM,
                           LD_LIBRARY_PATH=os.path.join(FAKE_ROOT, "fake"),
                           NVXFAKE_MPP="0.25", **env)
        done = subprocess.run([NVX2SVS, "slide.nvx", output, "4"], env=environment,
                              cwd=folder, capture_output=True, timeout=120)
        return done, output

    def test_the_line_names_the_systems_cause(self):
        rows = [
            ({"NVX_SHIM_WRITE_ERRNO": errno.EDQUOT}, TILE.format("disk quota exceeded")),
            ({"NVX_SHIM_WRITE_ERRNO": errno.EIO}, TILE.format("input/output error")),
            ({"NVX_SHIM_WRITE_ERRNO": errno.ENOSPC}, TILE.format("the disk is full")),
            ({"NVX_SHIM_WRITE_ERRNO": errno.EFBIG}, TILE.format("file too large")),
            ({"NVX_SHIM_WRITE_ERRNO": errno.EROFS}, TILE.format("read-only file system")),
            ({"NVX_SHIM_FSYNC_ERRNO": errno.EDQUOT},
             "the output could not be put on disk: disk quota exceeded"),
            ({"NVX_SHIM_FSYNC_ERRNO": errno.EIO},
             "the output could not be put on disk: input/output error"),
            ({"NVX_SHIM_THREAD_ERRNO": errno.EAGAIN},
             "starting the workers of pyramid level 1 failed: resource temporarily "
             "unavailable; pyramid level 1 ended short: 0 of 1500 rows written"),
        ]
        for settings, cause in rows:
            with self.subTest(settings=settings), \
                    tempfile.TemporaryDirectory(prefix="nvx-e2e-errno-") as folder:
                env = {name: str(value) for name, value in settings.items()}
                env["NVX_SHIM_WRITE_AFTER"] = str(AFTER)
                done, output = self.convert(folder, env)
                stderr = done.stderr.decode()
                self.assertEqual(done.returncode, 255, stderr)
                stdout = done.stdout.decode()
                self.assertTrue(stdout.startswith(WAITING), stdout)
                self.assertNotIn("OK...", stdout)
                ours = [line for line in stderr.splitlines() if line.startswith("nvx2svs: ")]
                self.assertEqual(len(ours), 1, stderr)
                self.assertRegex(ours[0], "^nvx2svs: error: the output is incomplete: " + cause +
                                 "; " + re.escape(output) + " was left as it was$")
                # libtiff's own lines come each once, not once per tile.
                theirs = [line for line in stderr.splitlines() if not line.startswith("nvx2svs: ")]
                self.assertLess(len(theirs), 5, stderr)
                self.assertEqual(os.listdir(folder), [])


if __name__ == "__main__":
    NVX2SVS, FAKE_ROOT, SHIM = sys.argv[1:4]
    unittest.main(argv=sys.argv[:1], verbosity=2)
