"""output_safety_test.py - what happens to the output path when a run does
not end well, tried as a user meets it: interrupted by a signal (with and
without an earlier good output at the path), a signal the caller ignores,
standard output closed under it, two runs on one output at once, a full
disk. The slides are noise pictures that convert slowly enough to be
interrupted (noisy_slide.py), read through our own slide library.

usage: output_safety_test.py <nvx2svs> <folder of libNvxSlideLib.so>
"""

import os
import signal
import subprocess
import sys
import tempfile
import unittest

import openslide

from noisy_slide import write_noisy_slide

NVX2SVS = LIBRARY_FOLDER = None
WAITING = "正在转换中，请等待...\n".encode()
COMPLETION = "\nOK...转换完成".encode()


def environment():
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    env.update(LC_ALL="C.UTF-8", LD_LIBRARY_PATH=LIBRARY_FOLDER)
    return env


def ignore_sigint():
    signal.signal(signal.SIGINT, signal.SIG_IGN)


class OutputSafety(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-safety-")
        # Long enough to be caught mid-level even on a fast machine.
        cls.slow = os.path.join(cls.holder.name, "slow.nvx")
        write_noisy_slide(cls.slow, 12288, 12288)
        cls.small = os.path.join(cls.holder.name, "small.nvx")
        write_noisy_slide(cls.small, 3000, 2000)

    @classmethod
    def tearDownClass(cls):
        cls.holder.cleanup()

    def setUp(self):
        self.folder_holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-out-")
        self.folder = self.folder_holder.name
        self.output = os.path.join(self.folder, "out.svs")

    def tearDown(self):
        self.folder_holder.cleanup()

    def start(self, slide, output=None, preexec=None):
        return subprocess.Popen([NVX2SVS, slide, output or self.output, "2"], env=environment(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=preexec)

    def wait_for_first_dot(self, process):
        seen = b""
        while len(seen) <= len(WAITING) or not seen.endswith(b"."):
            byte = process.stdout.read(1)
            self.assertNotEqual(byte, b"", f"the run ended before its first dot: {seen!r}")
            seen += byte
        self.assertTrue(seen.startswith(WAITING), seen)

    def assert_nothing_beside(self, expected_names):
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(expected_names))

    def test_an_interrupted_run_leaves_the_output_path_as_it_found_it(self):
        earlier = b"an earlier good output"
        for sig, name in ((signal.SIGINT, "SIGINT"), (signal.SIGTERM, "SIGTERM")):
            for with_earlier in (False, True):
                with self.subTest(signal=name, earlier=with_earlier):
                    if with_earlier:
                        with open(self.output, "wb") as f:
                            f.write(earlier)
                    elif os.path.exists(self.output):
                        os.remove(self.output)
                    process = self.start(self.slow)
                    self.wait_for_first_dot(process)
                    process.send_signal(sig)
                    _, stderr = process.communicate(timeout=120)
                    # Ended by the signal itself: a shell shows 128 + its number.
                    self.assertEqual(process.returncode, -sig, stderr)
                    self.assertEqual(stderr.decode().count("\n"), 1, stderr)
                    self.assertIn(f"({name}); the output was not written", stderr.decode())
                    if with_earlier:
                        with open(self.output, "rb") as f:
                            self.assertEqual(f.read(), earlier)
                        self.assert_nothing_beside(["out.svs"])
                    else:
                        self.assert_nothing_beside([])

    def test_a_signal_the_caller_ignores_stays_ignored(self):
        process = self.start(self.small, preexec=ignore_sigint)
        self.wait_for_first_dot(process)
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=120)
        self.assertEqual(process.returncode, 0, stderr)
        self.assertTrue(stdout.endswith(COMPLETION))
        self.assertEqual(len(openslide.OpenSlide(self.output).level_dimensions), 2)

    def test_standard_output_closed_under_the_run(self):
        process = self.start(self.slow)
        self.wait_for_first_dot(process)
        process.stdout.close()
        process.wait(timeout=120)
        stderr = process.stderr.read().decode()
        process.stderr.close()
        self.assertEqual(process.returncode, -signal.SIGPIPE, stderr)
        self.assertIn("(SIGPIPE)", stderr)
        self.assert_nothing_beside([])

    def test_two_runs_on_one_output_both_leave_a_whole_file(self):
        single = os.path.join(self.folder, "single.svs")
        done = subprocess.run([NVX2SVS, self.small, single, "2"], env=environment(),
                              capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        first, second = self.start(self.small), self.start(self.small)
        for process in (first, second):
            stdout, stderr = process.communicate(timeout=120)
            self.assertEqual(process.returncode, 0, stderr)
            self.assertTrue(stdout.endswith(COMPLETION))
        with open(self.output, "rb") as a, open(single, "rb") as b:
            self.assertTrue(a.read() == b.read(), "the shared output differs from a single run's")
        self.assert_nothing_beside(["out.svs", "single.svs"])

    def test_a_full_disk_fails_the_run_with_one_clear_line(self):
        disk = os.path.join(self.folder, "small-disk")
        os.mkdir(disk)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", disk],
                                 capture_output=True)
        if mounted.returncode != 0:
            self.skipTest("cannot mount a small tmpfs here: " + mounted.stderr.decode().strip())
        try:
            output = os.path.join(disk, "out.svs")
            done = subprocess.run([NVX2SVS, self.small, output, "2"], env=environment(),
                                  capture_output=True, timeout=120)
            self.assertEqual(done.returncode, 255, done.stderr)
            self.assertNotIn(COMPLETION, done.stdout)
            ours = [line for line in done.stderr.decode().splitlines()
                    if line.startswith("nvx2svs: error: ")]
            self.assertEqual(len(ours), 1, done.stderr)
            self.assertIn("the disk is full", ours[0])
            self.assertTrue(ours[0].endswith(f"{output} was left as it was"), ours[0])
            # libtiff's messages come each once, not once per tile.
            theirs = [line for line in done.stderr.decode().splitlines()
                      if not line.startswith("nvx2svs: ")]
            self.assertLess(len(theirs), 10, done.stderr)
            self.assertEqual(os.listdir(disk), [])
        finally:
            subprocess.run(["umount", disk], check=True)


if __name__ == "__main__":
    NVX2SVS, LIBRARY_FOLDER = sys.argv[1:3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
