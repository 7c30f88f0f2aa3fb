"""convert_slide_test.py - one job of the batch workflow on its own: whatever
way a conversion fails, the job leaves no output and no partial file, keeps
the log and records the reason.

  - the real converter losing tiles (the fake slide library's corrupt tile
    streams) after it has created its output: our diagnostic is the reason;
  - a converter that writes part of a file and fails, one that exits 0 with a
    file OpenSlide cannot open, and a job stopped by SIGTERM mid-conversion.

usage: convert_slide_test.py BUILD_DIR
"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
JOB = os.path.join(TOP, "workflow", "scripts", "convert_slide.py")
BUILD = None


class Job(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="nvx-job-")
        self.dir = self.folder.name
        self.slide = os.path.join(self.dir, "slide.nvx")
        with open(self.slide, "wb") as f:
            f.write(b"only named: the fake library makes the pixels")
        self.output = os.path.join(self.dir, "out", "slide.svs")

    def tearDown(self):
        self.folder.cleanup()

    def command(self, converter):
        return [sys.executable, JOB, "--converter", converter,
                "--log", os.path.join(self.dir, "logs", "slide.log"),
                "--record", os.path.join(self.dir, "logs", "slide.json"),
                self.slide, self.output, "4"]

    def fake_converter(self, body):
        path = os.path.join(self.dir, "fake-nvx2svs")
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(path, 0o755)
        return path

    def assert_failed(self, done, reason):
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertEqual(os.listdir(os.path.dirname(self.output)), [])  # nothing, not even hidden
        with open(os.path.join(self.dir, "logs", "slide.json"), encoding="utf-8") as f:
            record = json.load(f)
        self.assertEqual(record["status"], "failed")
        self.assertIn(reason, record["reason"])
        with open(os.path.join(self.dir, "logs", "slide.log"), encoding="utf-8") as f:
            self.assertIn(reason, f.read())
        return record

    def test_lost_tiles_after_the_output_was_created(self):
        environment = dict(os.environ, LD_LIBRARY_PATH=os.path.join(BUILD, "tests", "fake"),
                           NVXFAKE_CORRUPT="tile")
        done = subprocess.run(self.command(os.path.join(BUILD, "nvx2svs")), env=environment,
                              capture_output=True, text=True, timeout=120)
        record = self.assert_failed(done, "could not be read")
        self.assertEqual(record["exit_status"], 255)
        self.assertTrue(record["reason"].endswith("(exit status 255)"), record["reason"])

    def test_a_converter_that_writes_part_of_a_file_and_fails(self):
        converter = self.fake_converter(
            'head -c 5000 /dev/urandom > "$2"\necho "nvx2svs: error: the disk is full" >&2\n'
            "exit 255\n")
        done = subprocess.run(self.command(converter), capture_output=True, text=True)
        record = self.assert_failed(done, "the disk is full")
        self.assertEqual(record["reason"], "the disk is full (exit status 255)")

    def test_success_with_an_output_openslide_cannot_open(self):
        converter = self.fake_converter('echo "not a TIFF" > "$2"\nexit 0\n')
        done = subprocess.run(self.command(converter), capture_output=True, text=True)
        self.assertEqual(self.assert_failed(done, "does not open in OpenSlide")["exit_status"], 0)

    def test_a_path_with_a_question_mark(self):
        # The converter would read the '?' as a blank and open another file.
        self.slide = os.path.join(self.dir, "what?.nvx")
        with open(self.slide, "wb") as f:
            f.write(b"never read")
        done = subprocess.run(self.command(self.fake_converter("exit 0\n")),
                              capture_output=True, text=True)
        self.assert_failed(done, "the path contains '?'")

    def test_a_partial_file_left_by_a_killed_job_is_cleared(self):
        os.makedirs(os.path.dirname(self.output))
        stale = os.path.join(os.path.dirname(self.output), ".slide.svs.partial-99999.svs")
        with open(stale, "wb") as f:
            f.write(b"half a slide")
        converter = self.fake_converter("exit 255\n")
        done = subprocess.run(self.command(converter), capture_output=True, text=True)
        self.assert_failed(done, "the conversion failed (exit status 255)")

    def test_stopped_mid_conversion(self):
        started = os.path.join(self.dir, "started")
        converter = self.fake_converter(
            f'head -c 5000 /dev/urandom > "$2"\ntouch {started}\nexec sleep 60\n')
        job = subprocess.Popen(self.command(converter), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while not os.path.exists(started) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(len(os.listdir(os.path.dirname(self.output))), 1)  # the partial file
        job.send_signal(signal.SIGTERM)
        self.assertEqual(job.wait(timeout=30), 128 + signal.SIGTERM)
        job.stdout.close()
        job.stderr.close()
        self.assertEqual(os.listdir(os.path.dirname(self.output)), [])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(argv=[sys.argv[0], "-v"])
