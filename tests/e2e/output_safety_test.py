"""output_safety_test.py - what happens to the output path when a run does
not end well, tried as a user meets it: interrupted by a signal (with and
without an earlier good output at the path), a signal the caller ignores,
standard output closed under it, two runs on one output at once, a full
disk, runs killed outright (their temporaries removed by the next run),
every signal that ends a run, standard streams closed at the start; and
what is at the output path before the run: devices, FIFOs,
sockets and links to them (refused), an earlier file's mode, owner, ACL and
hard links (kept or warned about), a restrictive umask, a name near the
file system's limit, a sticky folder where the rename cannot succeed, a file
mounted at the output's name; and what changes under a run that works: its
folder (or the report's) swapped for a link to another, something put at
its free output name, a run of another PID namespace sweeping beside it, a
folder it may write but not read. A DICOM folder gets the same: no
temporary folder left by a signal or, after the next run, by a kill, and
the earlier folder's modes, owner and ACLs kept. The slides are noise
pictures that convert slowly enough to be interrupted (noisy_slide.py),
read through our own slide library.

usage: output_safety_test.py <nvx2svs> <folder of libNvxSlideLib.so>
"""

import json
import os
import resource
import shutil
import signal
import socket
import stat
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


NOBODY = 65534


def as_nobody(umask=None):
    """Runs the child as nobody when the test runs as root, under `umask`."""
    def become():
        if umask is not None:
            os.umask(umask)
        if os.geteuid() == 0:
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)
    return become


def needs_root(test, why):
    if os.geteuid() != 0:
        test.skipTest(f"needs root: {why}")


def children(pid):
    """The processes whose parent is `pid`."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == pid:
            found.append(int(entry))
    return found


class OutputSafety(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-safety-")
        os.chmod(cls.holder.name, 0o755)  # some runs are nobody's
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

    def convert(self, output, preexec=None):
        return subprocess.run([NVX2SVS, self.small, output, "2"], env=environment(),
                              capture_output=True, timeout=120, preexec_fn=preexec)

    def assert_refused_before_any_work(self, done, *because):
        """Status 1, the usual line and one line of ours; no waiting line."""
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertEqual(done.stdout, b"Could not open output.tif for writing\n")
        lines = done.stderr.decode().splitlines()
        self.assertEqual(len(lines), 1, done.stderr)
        self.assertTrue(lines[0].startswith("nvx2svs: error: "), lines[0])
        for part in because:
            self.assertIn(part, lines[0])

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


    def test_only_a_regular_file_is_replaced(self):
        def fifo(path):
            os.mkfifo(path)

        def unix_socket(path):
            sock = socket.socket(socket.AF_UNIX)
            sock.bind(path)
            sock.close()

        def null_device(path):
            os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))

        def linked(make):
            def make_link(path):
                make(path + ".real")
                os.symlink(os.path.basename(path) + ".real", path)
            return make_link

        def dangling(path):
            os.symlink("nothing-here", path)

        def loop(path):
            os.symlink(path + ".b", path)
            os.symlink(path, path + ".b")

        cases = [("FIFO", fifo, "it is a FIFO", False),
                 ("socket", unix_socket, "it is a socket", False),
                 ("link to a FIFO", linked(fifo), "a symbolic link to a FIFO", False),
                 ("link to nothing", dangling, "a symbolic link to nothing", False),
                 ("loop of links", loop, "a loop of symbolic links", False),
                 ("folder", os.mkdir, "it is a folder", False),
                 # A node of its own, never the system's /dev/null.
                 ("device", null_device, "it is a character device", True),
                 ("link to a device", linked(null_device), "a symbolic link to a character device",
                  True)]
        for name, make, because, root in cases:
            with self.subTest(name):
                if root and os.geteuid() != 0:
                    print(f"skipped {name}: making a device node needs root", file=sys.stderr)
                    continue
                shutil.rmtree(self.folder)
                os.mkdir(self.folder)
                make(self.output)
                before = sorted((n, os.lstat(os.path.join(self.folder, n)).st_mode)
                                for n in os.listdir(self.folder))
                done = self.convert(self.output)
                self.assert_refused_before_any_work(done, f"cannot create {self.output}: ",
                                                    because)
                after = sorted((n, os.lstat(os.path.join(self.folder, n)).st_mode)
                               for n in os.listdir(self.folder))
                self.assertEqual(after, before)
        # What /dev/stdout is, as a link of our own: a converter that did
        # replace it must never get the system's to replace.
        standard_output = os.path.join(self.folder, "stdout")
        os.symlink("/proc/self/fd/1", standard_output)
        for output, because in (("", "the output path is empty"),
                                (standard_output, "a symbolic link to a FIFO")):
            with self.subTest(output=output):
                self.assert_refused_before_any_work(self.convert(output), because)
        self.assertTrue(os.path.islink(standard_output))

    def test_a_rerun_keeps_the_earlier_files_mode_owner_and_acl(self):
        cases = [("mode 0600", 0o600, None, False), ("mode 0640 with an ACL", 0o640, "u:1:rw", False),
                 ("0600, another user's", 0o600, None, True)]
        for name, mode, acl, other_owner in cases:
            with self.subTest(name):
                if other_owner:
                    needs_root(self, "to give the earlier output to another user")
                with open(self.output, "wb") as f:
                    f.write(b"an earlier output")
                os.chmod(self.output, mode)
                if other_owner:
                    os.chown(self.output, NOBODY, NOBODY)
                if acl and subprocess.run(["setfacl", "-m", acl, self.output]).returncode != 0:
                    self.skipTest("setfacl (Debian package acl) missing or no ACLs here")
                before = os.stat(self.output)
                acl_before = os.getxattr(self.output, "system.posix_acl_access") if acl else None
                done = self.convert(self.output)
                self.assertEqual(done.returncode, 0, done.stderr)
                after = os.stat(self.output)
                self.assertNotEqual(after.st_ino, before.st_ino)
                self.assertEqual(stat.S_IMODE(after.st_mode), stat.S_IMODE(before.st_mode))
                self.assertEqual((after.st_uid, after.st_gid), (before.st_uid, before.st_gid))
                if acl:
                    self.assertEqual(os.getxattr(self.output, "system.posix_acl_access"),
                                     acl_before)
                self.assertEqual(len(openslide.OpenSlide(self.output).level_dimensions), 2)
                self.assert_nothing_beside(["out.svs"])

    def test_a_file_with_more_hard_links_is_replaced_under_its_name_only(self):
        with open(self.output, "wb") as f:
            f.write(b"an earlier output")
        other = os.path.join(self.folder, "other-name.svs")
        os.link(self.output, other)
        done = self.convert(self.output)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(f"nvx2svs: warning: {self.output} is a new file; the other hard link "
                      "of the earlier one keeps its content\n", done.stderr.decode())
        with open(other, "rb") as f:
            self.assertEqual(f.read(), b"an earlier output")
        self.assertEqual(len(openslide.OpenSlide(self.output).level_dimensions), 2)

    def test_a_restrictive_umask_does_not_break_the_run(self):
        # As nobody (root may open any file, whatever its mode).
        os.chmod(self.folder, 0o777)
        done = self.convert(self.output, preexec=as_nobody(umask=0o277))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(self.output).st_mode), 0o400)
        self.assertEqual(len(openslide.OpenSlide(self.output).level_dimensions), 2)
        self.assert_nothing_beside(["out.svs"])

    def test_a_name_near_the_file_systems_limit_works(self):
        for name in ("n" * 246 + ".svs", "图" * 78 + ".svs"):
            with self.subTest(length=len(name.encode())):
                output = os.path.join(self.folder, name)
                done = self.convert(output)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(len(openslide.OpenSlide(output).level_dimensions), 2)
                self.assert_nothing_beside([name])
                os.remove(output)

    def test_a_folder_where_the_rename_cannot_succeed_is_refused_before_the_work(self):
        needs_root(self, "to leave another user's file in a sticky folder")
        os.chmod(self.folder, 0o1777)
        with open(self.output, "wb") as f:
            f.write(b"root's earlier output")
        os.chmod(self.output, 0o666)
        done = self.convert(self.output, preexec=as_nobody())
        self.assert_refused_before_any_work(done, "is sticky and", "belongs to another user")
        with open(self.output, "rb") as f:
            self.assertEqual(f.read(), b"root's earlier output")
        self.assert_nothing_beside(["out.svs"])

    def temporaries(self):
        return sorted(n for n in os.listdir(self.folder)
                      if n.startswith(".out.svs.") and n.endswith(".part"))

    def test_the_next_run_removes_the_temporaries_of_killed_runs(self):
        # At once: a run started after one was killed removes its temporary.
        runs = [self.start(self.slow) for _ in range(3)]
        for process in runs:
            self.wait_for_first_dot(process)
        for process in runs:
            process.kill()
            process.communicate(timeout=60)
        killed = self.temporaries()
        self.assertEqual(len(killed), 3, killed)
        # .out.svs.<host>.<pid>.<random>.part: the same name from a run on
        # another host sharing the folder is never touched.
        parts = killed[0].split(".")
        parts[-4] = "0" * 8 if parts[-4] != "0" * 8 else "1" * 8
        other_host = ".".join(parts)
        open(os.path.join(self.folder, other_host), "wb").close()
        # A live run, stopped for the while, keeps its temporary.
        live = self.start(self.slow)
        self.wait_for_first_dot(live)
        live.send_signal(signal.SIGSTOP)
        try:
            live_temporary = [n for n in self.temporaries() if n not in killed + [other_host]]
            self.assertEqual(len(live_temporary), 1)
            done = self.convert(self.output)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assert_nothing_beside(["out.svs", other_host] + live_temporary)
        finally:
            live.send_signal(signal.SIGTERM)
            live.send_signal(signal.SIGCONT)
            live.communicate(timeout=60)
        self.assert_nothing_beside(["out.svs", other_host])

    def test_every_catchable_ending_removes_the_temporary(self):
        # A crash goes on as it would have without us: no sanitizer's
        # report in its way here, and no core file.
        env = dict(environment(), ASAN_OPTIONS="handle_segv=0:handle_sigbus=0:handle_abort=0",
                   TSAN_OPTIONS="handle_segv=0:handle_sigbus=0:handle_abort=0")

        def no_core():
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

        endings = [(signal.SIGXCPU, "(SIGXCPU); the output was not written"),
                   (signal.SIGUSR1, "(SIGUSR1); the output was not written"),
                   (signal.SIGUSR2, "(SIGUSR2); the output was not written"),
                   (signal.SIGALRM, "(SIGALRM); the output was not written"),
                   (signal.SIGVTALRM, "(SIGVTALRM); the output was not written"),
                   (signal.SIGPROF, "(SIGPROF); the output was not written"),
                   (signal.SIGSEGV, None), (signal.SIGBUS, None), (signal.SIGABRT, None)]
        # All at once, each on an output of its own: the waits overlap.
        runs = []
        for sig, line in endings:
            output = os.path.join(self.folder, f"{sig.name}.svs")
            runs.append((sig, line, subprocess.Popen(
                [NVX2SVS, self.slow, output, "2"], env=env, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, preexec_fn=no_core)))
        for sig, line, process in runs:
            self.wait_for_first_dot(process)
            process.send_signal(sig)
        for sig, line, process in runs:
            with self.subTest(signal=sig.name):
                _, stderr = process.communicate(timeout=120)
                self.assertEqual(process.returncode, -sig, stderr)
                if line:
                    self.assertEqual(stderr.decode().count("\n"), 1, stderr)
                    self.assertIn(line, stderr.decode())
        self.assert_nothing_beside([])

    def test_closed_standard_streams_never_reach_the_output(self):
        single = os.path.join(self.folder, "single.svs")
        done = self.convert(single)
        self.assertEqual(done.returncode, 0, done.stderr)
        closed = subprocess.run([NVX2SVS, self.small, self.output, "2"], env=environment(),
                                preexec_fn=lambda: os.closerange(0, 3), timeout=120)
        self.assertEqual(closed.returncode, 0)
        with open(self.output, "rb") as a, open(single, "rb") as b:
            self.assertTrue(a.read() == b.read(), "console text went into the output")
        self.assert_nothing_beside(["out.svs", "single.svs"])

    def start_and_stop_after_first_dot(self, output):
        """A slow run, stopped once it has written part of its first level."""
        process = self.start(self.slow, output)
        self.wait_for_first_dot(process)
        process.send_signal(signal.SIGSTOP)
        return process

    def finish(self, process):
        process.send_signal(signal.SIGCONT)
        stdout, stderr = process.communicate(timeout=300)
        return process.returncode, stdout, stderr

    def test_the_output_goes_to_the_folder_that_was_looked_at(self):
        # The folder's owner (nobody, when root runs the test) swaps it for
        # a link to a folder of the run's own while the run works: the
        # output, and the earlier file's owner with it, stay in the folder
        # that was looked at, now under its new name.
        users, moved, ours = (os.path.join(self.folder, n) for n in ("users", "moved", "ours"))
        for earlier in (False, True):
            with self.subTest(earlier=earlier):
                for folder in (users, moved, ours):
                    if os.path.islink(folder):
                        os.remove(folder)
                    elif os.path.exists(folder):
                        shutil.rmtree(folder)
                os.mkdir(users)
                os.mkdir(ours)
                with open(os.path.join(ours, "out.svs"), "wb") as f:
                    f.write(b"the run's own file")
                os.chmod(os.path.join(ours, "out.svs"), 0o600)
                output = os.path.join(users, "out.svs")
                if earlier:
                    with open(output, "wb") as f:
                        f.write(b"an earlier output")
                if os.geteuid() == 0:
                    os.chown(users, NOBODY, NOBODY)
                    if earlier:
                        os.chown(output, NOBODY, NOBODY)
                process = self.start_and_stop_after_first_dot(output)
                os.rename(users, moved)
                os.symlink(ours, users)
                status, stdout, stderr = self.finish(process)
                self.assertEqual(status, 0, stderr)
                self.assertTrue(stdout.endswith(COMPLETION))
                self.assertEqual(os.listdir(ours), ["out.svs"])
                with open(os.path.join(ours, "out.svs"), "rb") as f:
                    self.assertEqual(f.read(), b"the run's own file")
                mine = os.stat(os.path.join(ours, "out.svs"))
                self.assertEqual((mine.st_uid, stat.S_IMODE(mine.st_mode)), (os.geteuid(), 0o600))
                self.assertEqual(os.listdir(moved), ["out.svs"])
                published = os.path.join(moved, "out.svs")
                self.assertEqual(len(openslide.OpenSlide(published).level_dimensions), 2)
                if earlier and os.geteuid() == 0:
                    self.assertEqual(os.stat(published).st_uid, NOBODY)

    def test_the_report_goes_to_the_folder_that_was_looked_at(self):
        # The report's folder is swapped for a link to another folder while
        # the run works, as the output's is above: the report goes to the
        # folder looked at when the options were read, and the file of the
        # same name in the other folder is left as it was.
        users, moved, ours = (os.path.join(self.folder, n) for n in ("users", "moved", "ours"))
        for earlier in (False, True):
            with self.subTest(earlier=earlier):
                for folder in (users, moved, ours):
                    if os.path.islink(folder):
                        os.remove(folder)
                    elif os.path.exists(folder):
                        shutil.rmtree(folder)
                os.mkdir(users)
                os.mkdir(ours)
                with open(os.path.join(ours, "r.json"), "wb") as f:
                    f.write(b"{} the run's own file")
                os.chmod(os.path.join(ours, "r.json"), 0o600)
                report = os.path.join(users, "r.json")
                if earlier:
                    with open(report, "wb") as f:
                        f.write(b'{"status": 1}')
                process = subprocess.Popen([NVX2SVS, "--report", report, self.slow, self.output,
                                            "2"], env=environment(), stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE)
                self.wait_for_first_dot(process)
                process.send_signal(signal.SIGSTOP)
                os.rename(users, moved)
                os.symlink(ours, users)
                status, stdout, stderr = self.finish(process)
                self.assertEqual(status, 0, stderr)
                self.assertTrue(stdout.endswith(COMPLETION))
                self.assertEqual(os.listdir(ours), ["r.json"])
                with open(os.path.join(ours, "r.json"), "rb") as f:
                    self.assertEqual(f.read(), b"{} the run's own file")
                self.assertEqual(stat.S_IMODE(os.stat(os.path.join(ours, "r.json")).st_mode),
                                 0o600)
                self.assertEqual(os.listdir(moved), ["r.json"])
                with open(os.path.join(moved, "r.json"), "rb") as f:
                    written = json.load(f)
                self.assertEqual((written["status"], written["output"]), (0, self.output))
                os.remove(self.output)

    def test_what_appears_at_a_free_output_name_during_the_run_is_left(self):
        for name, make, because in (("FIFO", os.mkfifo, "it is a FIFO, not a regular file"),
                                    ("folder", os.mkdir, "it is a folder, not a regular file")):
            with self.subTest(name):
                shutil.rmtree(self.folder)
                os.mkdir(self.folder)
                process = self.start_and_stop_after_first_dot(self.output)
                make(self.output)
                status, stdout, stderr = self.finish(process)
                self.assertEqual(status, 255, stderr)
                self.assertNotIn(COMPLETION, stdout)
                ours = [line for line in stderr.decode().splitlines()
                        if line.startswith("nvx2svs: error: ")]
                self.assertEqual(len(ours), 1, stderr)
                self.assertIn(because, ours[0])
                self.assertTrue(ours[0].endswith(f"{self.output} was left as it was"), ours[0])
                kind = os.lstat(self.output).st_mode
                self.assertTrue(stat.S_ISFIFO(kind) if name == "FIFO" else stat.S_ISDIR(kind))
                self.assert_nothing_beside(["out.svs"])

    def test_a_file_mounted_at_the_output_is_refused_before_the_work(self):
        needs_root(self, "to bind-mount a file")
        source = os.path.join(self.folder, "source.svs")
        for path, text in ((source, b"the mounted file"), (self.output, b"under the mount")):
            with open(path, "wb") as f:
                f.write(text)
        mounted = subprocess.run(["mount", "--bind", source, self.output], capture_output=True)
        if mounted.returncode != 0:
            self.skipTest("cannot bind-mount a file here: " + mounted.stderr.decode().strip())
        try:
            done = self.convert(self.output)
        finally:
            subprocess.run(["umount", self.output], check=True)
        self.assert_refused_before_any_work(done, f"cannot create {self.output}: ",
                                            "it is a mount point")
        with open(source, "rb") as f:
            self.assertEqual(f.read(), b"the mounted file")
        self.assert_nothing_beside(["out.svs", "source.svs"])

    def test_a_live_run_in_another_pid_namespace_keeps_its_temporary(self):
        needs_root(self, "to start runs in PID namespaces of their own (unshare --pid)")
        tried = subprocess.run(["unshare", "--pid", "--fork", "true"], capture_output=True)
        if tried.returncode != 0:
            self.skipTest("no PID namespace here: " + tried.stderr.decode().strip())
        # Process 2 of its namespace, under a shell; a run in a second
        # namespace, which has no process 2, would take it for gone.
        first = subprocess.Popen(["unshare", "--pid", "--fork", "sh", "-c", '"$0" "$@"; exit $?',
                                  NVX2SVS, self.slow, self.output, "2"], env=environment(),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.wait_for_first_dot(first)
        (shell,) = children(first.pid)
        (converter,) = children(shell)
        os.kill(converter, signal.SIGSTOP)
        try:
            (temporary,) = self.temporaries()
            self.assertEqual(temporary.split(".")[-3], "2", temporary)
            second = subprocess.run(["unshare", "--pid", "--fork", NVX2SVS, self.small,
                                     self.output, "2"], env=environment(), capture_output=True,
                                    timeout=120)
            self.assertEqual(second.returncode, 0, second.stderr)
            self.assertEqual(self.temporaries(), [temporary])
        finally:
            os.kill(converter, signal.SIGCONT)
        stdout, stderr = first.communicate(timeout=300)
        self.assertEqual(first.returncode, 0, stderr)
        self.assertTrue(stdout.endswith(COMPLETION))
        self.assertEqual(openslide.OpenSlide(self.output).dimensions, (12288, 12288))
        self.assert_nothing_beside(["out.svs"])

    def test_a_folder_we_may_write_but_not_read_takes_the_output_with_a_warning(self):
        # Mode 0333: the folder cannot be opened to sync it once the output
        # is in place. As nobody when root runs the test: root reads any
        # folder.
        os.chmod(self.folder, 0o755)
        folder = os.path.join(self.folder, "write-only")
        os.mkdir(folder)
        os.chmod(folder, 0o333)
        output = os.path.join(folder, "out.svs")
        try:
            done = self.convert(output, preexec=as_nobody())
        finally:
            os.chmod(folder, 0o755)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(done.stdout.endswith(COMPLETION))
        self.assertIn(f"nvx2svs: warning: {output} was written, but its folder {folder} could "
                      "not be synced to disk: Permission denied\n", done.stderr.decode())
        self.assertEqual(len(openslide.OpenSlide(output).level_dimensions), 2)
        self.assertEqual(os.listdir(folder), ["out.svs"])


DICOM = ["--format", "dicom", "--section-thickness", "4"]


class DicomFolderSafety(unittest.TestCase):
    """The DICOM folder's publication, as the file's above."""

    @classmethod
    def setUpClass(cls):
        OutputSafety.setUpClass.__func__(cls)

    @classmethod
    def tearDownClass(cls):
        OutputSafety.tearDownClass.__func__(cls)

    wait_for_first_dot = OutputSafety.wait_for_first_dot
    assert_nothing_beside = OutputSafety.assert_nothing_beside

    def setUp(self):
        self.folder_holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-dicom-")
        self.folder = self.folder_holder.name
        self.output = os.path.join(self.folder, "out.dicom")

    def tearDown(self):
        self.folder_holder.cleanup()

    def start(self, slide):
        return subprocess.Popen([NVX2SVS, *DICOM, slide, self.output, "2"], env=environment(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def convert(self, preexec=None):
        done = subprocess.run([NVX2SVS, *DICOM, self.small, self.output, "2"],
                              env=environment(), capture_output=True, timeout=120,
                              preexec_fn=preexec)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done

    def instances(self):
        """The folder's files, each read by pydicom as an instance of one series."""
        import pydicom
        names = sorted(os.listdir(self.output))
        series = {pydicom.dcmread(os.path.join(self.output, n)).SeriesInstanceUID
                  for n in names if n.endswith(".dcm")}
        self.assertEqual(len(series), 1, names)
        return names

    def test_an_interrupted_run_leaves_no_temporary_folder(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            for earlier in (False, True):
                with self.subTest(signal=sig.name, earlier=earlier):
                    shutil.rmtree(self.output, ignore_errors=True)
                    if earlier:
                        self.convert()
                    before = self.instances() if earlier else None
                    process = self.start(self.slow)
                    self.wait_for_first_dot(process)
                    process.send_signal(sig)
                    _, stderr = process.communicate(timeout=120)
                    self.assertEqual(process.returncode, -sig, stderr)
                    self.assertIn(f"({sig.name}); the output was not written", stderr.decode())
                    self.assert_nothing_beside(["out.dicom"] if earlier else [])
                    if earlier:
                        self.assertEqual(self.instances(), before)

    def test_the_next_run_removes_what_killed_runs_left(self):
        killed = [self.start(self.slow) for _ in range(2)]
        for process in killed:
            self.wait_for_first_dot(process)
        for process in killed:
            process.kill()
            process.communicate(timeout=60)
        left = [n for n in os.listdir(self.folder) if n.endswith(".part")]
        self.assertEqual(len(left), 2, left)
        # A live run, stopped for the while, keeps its folder.
        live = self.start(self.slow)
        self.wait_for_first_dot(live)
        live.send_signal(signal.SIGSTOP)
        try:
            (building,) = [n for n in os.listdir(self.folder) if n.endswith(".part")
                           and n not in left]
            self.convert()
            self.assert_nothing_beside(["out.dicom", building])
            self.assertIn("level-0.dcm", self.instances())
        finally:
            live.send_signal(signal.SIGTERM)
            live.send_signal(signal.SIGCONT)
            live.communicate(timeout=60)
        self.assert_nothing_beside(["out.dicom"])

    def test_a_rerun_keeps_the_earlier_folders_modes_and_owner(self):
        # (case, the folder's mode, its files', another user's, ACLs: the
        # folder's access and default ones, the files')
        cases = [("private", 0o700, 0o600, False, None),
                 ("group-readable", 0o750, 0o640, False, None),
                 ("a user's, converted by root", 0o755, 0o644, True, None),
                 ("with ACLs", 0o750, 0o640, False, ("u:1:rx", "d:u:1:r", "u:1:r"))]
        access, default = "system.posix_acl_access", "system.posix_acl_default"
        for name, folder_mode, file_mode, users, acls in cases:
            with self.subTest(name):
                if users:
                    needs_root(self, "to give the earlier folder to another user")
                shutil.rmtree(self.output, ignore_errors=True)
                self.convert()
                owner = NOBODY if users else os.geteuid()
                for entry in os.listdir(self.output):
                    os.chmod(os.path.join(self.output, entry), file_mode)
                    os.chown(os.path.join(self.output, entry), owner, owner)
                os.chmod(self.output, folder_mode)
                os.chown(self.output, owner, owner)
                if acls:
                    entries = os.listdir(self.output)
                    for path, acl in ([(self.output, acls[0]), (self.output, acls[1])]
                                      + [(os.path.join(self.output, e), acls[2])
                                         for e in entries]):
                        if subprocess.run(["setfacl", "-m", acl, path]).returncode != 0:
                            self.skipTest("setfacl (Debian package acl) missing or no ACLs here")
                    acl_before = (os.getxattr(self.output, access),
                                  os.getxattr(self.output, default),
                                  os.getxattr(os.path.join(self.output, entries[0]), access))
                before = os.stat(self.output)
                self.convert()
                after = os.stat(self.output)
                self.assertNotEqual(after.st_ino, before.st_ino)
                self.assertEqual(stat.S_IMODE(after.st_mode), folder_mode)
                self.assertEqual((after.st_uid, after.st_gid), (owner, owner))
                for entry in self.instances():
                    inside = os.stat(os.path.join(self.output, entry))
                    self.assertEqual(stat.S_IMODE(inside.st_mode), file_mode, entry)
                    self.assertEqual((inside.st_uid, inside.st_gid), (owner, owner), entry)
                    if acls:
                        self.assertEqual(os.getxattr(os.path.join(self.output, entry), access),
                                         acl_before[2], entry)
                if acls:
                    self.assertEqual((os.getxattr(self.output, access),
                                      os.getxattr(self.output, default)), acl_before[:2])
                self.assert_nothing_beside(["out.dicom"])
                if users:
                    # The user can remove it (in a folder of theirs).
                    os.chmod(self.folder, 0o777)
                    removed = subprocess.run(["rm", "-r", self.output], preexec_fn=as_nobody(),
                                             capture_output=True)
                    self.assertEqual(removed.returncode, 0, removed.stderr)
                    self.assert_nothing_beside([])


if __name__ == "__main__":
    NVX2SVS, LIBRARY_FOLDER = sys.argv[1:3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
