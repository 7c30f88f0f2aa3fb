"""thread_limit_test.py - `--threads 1` holds a run to one CPU, the slide
library's work included: a whole slide, and a region whose pixels the
library decodes and resamples on the threads that fetch them.

The CPU time comes from the run's own report (its rusage): CPU seconds over
wall seconds stay about 1. A process held to one thread cannot pass that
however loaded the machine is; a loaded machine only lowers it. With the
fake library, whose fetches each keep their thread busy a while, its log
also says how many fetches were under way at once.

usage: thread_limit_test.py <nvx2svs> <nvxmake> <our library's folder> <build>/tests
"""

import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

from nvxmake_runs_test import CHILD_ENV, make_slide

NVX2SVS = NVXMAKE = LIBRARY_FOLDER = FAKE_ROOT = None

# CPU seconds a wall second may hold at --threads 1: a little over one for
# the moments the main thread and a worker both run (a level's hand-over,
# the progress line).
MOST_CPUS = 1.15


class ThreadLimit(unittest.TestCase):
    def setUp(self):
        self.folder_holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-threads-")
        self.folder = self.folder_holder.name

    def tearDown(self):
        self.folder_holder.cleanup()

    def convert(self, slide, args, library_folder, env=None):
        """Converts `slide` with --threads 1; the report's wall and CPU seconds."""
        report = os.path.join(self.folder, "report.json")
        done = subprocess.run(
            [NVX2SVS, slide, os.path.join(self.folder, "out.svs")] + [str(a) for a in args]
            + ["--threads", "1", "--report", report],
            env=dict(CHILD_ENV, LD_LIBRARY_PATH=library_folder, **(env or {})),
            capture_output=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(report) as f:
            seconds = json.load(f)["seconds"]
        return seconds["wall"], seconds["cpu"]

    def test_one_thread_keeps_to_one_cpu_in_both_modes(self):
        slide = make_slide(NVXMAKE, ["--synthetic", "6000x4500"],
                           os.path.join(self.folder, "slide.nvx"), ["--threads", "2"])
        log = os.path.join(self.folder, "fake.log")
        fake = {"NVXFAKE_WIDTH": "6000", "NVXFAKE_HEIGHT": "4500", "NVXFAKE_FETCH_WORK": "3",
                "NVXFAKE_LOG": log}
        fake_folder = os.path.join(FAKE_ROOT, "fake")
        # (what, library, its settings, arguments): a region at a scale the
        # slide does not store is resampled by the library.
        cases = [("our library, whole slide", LIBRARY_FOLDER, None, [4]),
                 ("our library, region at 30x", LIBRARY_FOLDER, None,
                  [9, 30, 0, 0, 4500, 3375]),
                 ("fake library, whole slide", fake_folder, fake, [4]),
                 ("fake library, region at 30x", fake_folder, fake, [9, 30, 0, 0, 4500, 3375])]
        for what, library, env, args in cases:
            with self.subTest(what):
                if os.path.exists(log):
                    os.remove(log)
                wall, cpu = self.convert(slide, args, library, env)
                self.assertLessEqual(cpu, MOST_CPUS * wall, f"{cpu} CPU s in {wall} s")
                if env is None:
                    continue
                with open(log) as f:
                    under_way = [int(m.group(1)) for m in re.finditer(r"^fetching (\d+)$",
                                                                      f.read(), re.M)]
                self.assertGreater(len(under_way), 100)
                # Only the tiles being made are fetched: one, or two where
                # the process has but one CPU anyway (as without --threads).
                self.assertLessEqual(max(under_way), 2)


if __name__ == "__main__":
    NVX2SVS, NVXMAKE, LIBRARY_FOLDER, FAKE_ROOT = sys.argv[1:5]
    del sys.argv[1:5]
    unittest.main()
