"""wine_conversion_test.py - the Windows package (nvx2svs.exe beside our
NvxSlideLib.dll) converting a slide made by the Linux nvxmake, under Wine:
a whole slide and a region, each byte-identical to the Linux build's output
for the same arguments and opened with OpenSlide; file names beyond the ANSI code page; the same-file check,
which must know a file by its identity, not by how its name is spelled; and
the sweep of the temporaries that killed runs left beside an output, which
must know a live process of this host, and a process id taken again, from
what Windows says of them. And --format dicom: every file of the folder
of instances byte-identical to the Linux build's for the same slide file
(its time of writing set, as the instances' dates and UIDs come from it),
an earlier folder of ours replaced whole, and a plain file at the path
refused and left as it is.

usage: wine_conversion_test.py WINDOWS_PACKAGE_FOLDER LINUX_BUILD
"""
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import openslide
import tifffile

import wine_console

PACKAGE = LINUX = None
WAITING = "正在转换中，请等待...\n"
COMPLETION = "\nOK...转换完成"


def host_tag():
    """The tag our temporaries' names give this machine: FNV-1a of its
    Windows computer name, as Wine gives it (the Linux host name in capitals)."""
    shown = subprocess.run(["wine", "cmd", "/c", "echo %COMPUTERNAME%"], capture_output=True,
                           check=True, timeout=120).stdout
    tag = 2166136261
    for byte in shown.strip():
        tag = ((tag ^ byte) * 16777619) & 0xFFFFFFFF
    return "%08x" % tag


def windows_processes():
    """{process id: executable} of the Windows processes Wine runs, as
    Windows sees them (Wine's ids are not Linux ones)."""
    listed = subprocess.run(["wine", "winedbg", "--command", "info proc"], capture_output=True,
                            timeout=120).stdout.decode("utf-8", "replace")
    return {int(m.group(1), 16): m.group(2)
            for m in re.finditer(r"^[ =]([0-9a-f]{8}) +\d+ +(?:\\_ )?'([^']+)'", listed, re.M)}


def sha256(path):
    with open(path, "rb") as f:
        return sha256_of(f.read())


def sha256_of(data):
    return hashlib.sha256(data).hexdigest()


class WindowsConversions(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory(prefix="nvx2svs-wine-conv-")
        cls.dir = cls.holder.name
        cls.exe = wine_console.package_folder(cls.dir, os.path.join(PACKAGE, "nvx2svs.exe"),
                                              os.path.join(PACKAGE, "NvxSlideLib.dll"))
        cls.slide = os.path.join(cls.dir, "slide.nvx")
        subprocess.run([os.path.join(LINUX, "nvxmake"), "--synthetic", "3000x2200", cls.slide,
                        "--tile", "240", "--threads", "2"], check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        cls.holder.cleanup()

    def linux(self, output, *args):
        result = subprocess.run([os.path.join(LINUX, "nvx2svs"), self.slide, output, *args],
                                cwd=self.dir, capture_output=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        return os.path.join(self.dir, output)

    def windows(self, output, *args, code_page=936, encoding="gbk"):
        stdout, stderr, status = wine_console.run(code_page, self.exe,
                                                  [self.slide, output, *args], self.dir)
        self.assertEqual(status, 0, stderr)
        self.assertTrue(stdout.startswith(WAITING.encode(encoding)), stdout)
        self.assertTrue(stdout.endswith(COMPLETION.encode(encoding)), stdout)
        self.assertEqual([f for f in os.listdir(self.dir) if f.endswith(".part")], [],
                         "the file written beside the output is gone once it is published")
        return os.path.join(self.dir, output)

    def assertSameOutput(self, windows, linux):
        """Byte for byte the Linux build's file (tiles are written in order,
        so a conversion gives the same bytes every run); and, to say where
        they differ when they do, directory for directory the same tags and
        the same stored data of every tile and strip."""
        def tags(page):
            return {t.name: t.value for t in page.tags.values()
                    if t.name not in ("TileOffsets", "StripOffsets")}

        def segments(tiff, page):
            for offset, count in zip(page.dataoffsets, page.databytecounts):
                tiff.filehandle.seek(offset)
                yield tiff.filehandle.read(count)

        with tifffile.TiffFile(windows) as w, tifffile.TiffFile(linux) as l:
            self.assertEqual(len(w.pages), len(l.pages))
            for i, (pw, pl) in enumerate(zip(w.pages, l.pages)):
                self.assertEqual(tags(pw), tags(pl), f"directory {i}")
                self.assertTrue(all(a == b for a, b in zip(segments(w, pw), segments(l, pl))),
                                f"directory {i} data")
        self.assertEqual(sha256(windows), sha256(linux), "the files differ")
        sw, sl = openslide.OpenSlide(windows), openslide.OpenSlide(linux)
        try:
            self.assertEqual(sw.properties["openslide.vendor"], "aperio")
            self.assertEqual(sw.level_dimensions, sl.level_dimensions)
            self.assertEqual(sorted(sw.associated_images), sorted(sl.associated_images))
            self.assertEqual(dict(sw.properties), dict(sl.properties))
        finally:
            sw.close()
            sl.close()

    def test_whole_slide_as_on_linux(self):
        self.assertSameOutput(self.windows("win-whole.svs", "4"),
                              self.linux("linux-whole.svs", "4"))

    def test_region_as_on_linux(self):
        # At 10x on a 40x slide: 4x the numbers in full-resolution pixels, cut at the right edge.
        region = ["3", "10", "600", "120", "300", "250"]
        self.assertSameOutput(self.windows("win-region.tif", *region, code_page=65001,
                                           encoding="utf-8"),
                              self.linux("linux-region.tif", *region))

    def test_names_beyond_the_ansi_code_page(self):
        # Thai and Chinese in one name: no single ANSI code page holds both.
        source = os.path.join(self.dir, "切片 ก.nvx")
        shutil.copy(self.slide, source)
        output = os.path.join(self.dir, "输出 ก.svs")
        with open(output, "wb") as f:
            f.write(b"an older file of that name, which the conversion replaces")
        result = subprocess.run(["wine", self.exe, wine_console.windows_path(source),
                                 wine_console.windows_path(output), "2"],
                                cwd=self.dir, capture_output=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([f for f in os.listdir(self.dir) if f.endswith(".part")], [])
        slide = openslide.OpenSlide(output)
        self.assertEqual(slide.dimensions, (3000, 2200))
        slide.close()

    def test_output_naming_the_input_is_refused(self):
        before = sha256(self.slide)
        # The same file by another spelling: a full path, and capitals (Windows
        # names ignore case, and so does Wine).
        for output in (wine_console.windows_path(self.slide), "SLIDE.NVX"):
            stdout, stderr, status = wine_console.run(936, self.exe, ["slide.nvx", output, "2"],
                                                      self.dir)
            self.assertEqual(status, 255, output)
            self.assertIn(b"refusing to overwrite", stderr, output)
            self.assertEqual(sha256(self.slide), before, output)

    def test_a_run_removes_only_the_temporaries_of_its_own_dead_runs(self):
        # .<output>.<host tag>.<process id>.<random>.part, planted before a
        # run: what a run of this host that is gone left goes, the rest stays.
        folder = tempfile.mkdtemp(prefix="sweep-", dir=self.dir)
        tag = host_tag()
        processes = windows_processes()
        # Started by wineboot, before any file here was written.
        live = next((pid for pid, exe in processes.items() if exe == "services.exe"), None)
        dead = 4_000_000
        while dead in processes:
            dead += 4
        long_ago = 978307200  # 2001-01-01, long before this Wine prefix was made
        other_tag = ("0" if tag[0] != "0" else "1") + tag[1:]
        cases = [
            # (case, owner, name, write time or None for now, kept)
            ("no process has the id", dead, f".out.svs.{tag}.{dead}.0000000a.part", None, False),
            ("a live process that started before the write", live,
             f".out.svs.{tag}.{live}.0000000b.part", None, True),
            ("the id taken again by a process started after the write", live,
             f".out.svs.{tag}.{live}.0000000c.part", long_ago, False),
            ("another host's run", dead, f".out.svs.{other_tag}.{dead}.0000000d.part", None, True),
            ("another output's run", dead, f".other.svs.{tag}.{dead}.0000000e.part", None, True),
        ]
        planted = {name for _, owner, name, _, _ in cases if owner is not None}
        for _, owner, name, when, _ in cases:
            if owner is None:
                continue
            path = os.path.join(folder, name)
            open(path, "wb").close()
            if when is not None:
                os.utime(path, (when, when))
        output = os.path.join(folder, "out.svs")
        _, stderr, status = wine_console.run(936, self.exe,
                                             ["slide.nvx", wine_console.windows_path(output), "2"],
                                             self.dir)
        self.assertEqual(status, 0, stderr)
        slide = openslide.OpenSlide(output)
        self.assertEqual(slide.dimensions, (3000, 2200))
        slide.close()
        left = set(os.listdir(folder))
        for case, owner, name, _, kept in cases:
            with self.subTest(case):
                if owner is None:
                    self.skipTest("winedbg lists no services.exe to take a live process's id from")
                self.assertEqual(name in left, kept, name)
        self.assertEqual(left - planted, {"out.svs"}, "the run's own temporary is gone")


class WindowsDicomFolders(unittest.TestCase):
    # 2024-02-29 23:59:59.75 UTC: the instances' date and time are of the
    # whole second, whichever day a rounding or a time zone would give.
    WRITTEN_NS = 1709251199_750_000_000
    OPTIONS = ["2", "--format", "dicom", "--no-macro"]

    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory(prefix="nvx2svs-wine-dicom-")
        cls.dir = cls.holder.name
        cls.exe = wine_console.package_folder(cls.dir, os.path.join(PACKAGE, "nvx2svs.exe"),
                                              os.path.join(PACKAGE, "NvxSlideLib.dll"))
        cls.slide = os.path.join(cls.dir, "slide.nvx")
        subprocess.run([os.path.join(LINUX, "nvxmake"), "--synthetic", "2000x1500", cls.slide,
                        "--tile", "240", "--mpp", "0.25", "--threads", "2"], check=True,
                       capture_output=True)
        os.utime(cls.slide, ns=(cls.WRITTEN_NS, cls.WRITTEN_NS))
        # Tiles in its middle zeroed: the run fails after its folder is begun.
        cls.damaged = os.path.join(cls.dir, "damaged.nvx")
        shutil.copy(cls.slide, cls.damaged)
        with open(cls.damaged, "r+b") as f:
            f.seek(os.path.getsize(cls.damaged) // 2)
            f.write(bytes(20000))
        cls.metadata = os.path.join(cls.dir, "M.json")
        with open(cls.metadata, "w") as f:
            json.dump({"section_thickness_um": 4}, f)
        cls.options = cls.OPTIONS + ["--dicom-metadata", cls.metadata]
        cls.expected = os.path.join(cls.dir, "linux-dicom")
        result = subprocess.run([os.path.join(LINUX, "nvx2svs"), cls.slide, cls.expected,
                                 *cls.options], capture_output=True)
        assert result.returncode == 0, result.stderr

    @classmethod
    def tearDownClass(cls):
        cls.holder.cleanup()

    def windows(self, output, options, slide=None):
        args = [wine_console.windows_path(slide or self.slide), wine_console.windows_path(output),
                *options]
        return wine_console.run(65001, self.exe, args, self.dir)

    def files(self, folder):
        found = {}
        for name in os.listdir(folder):
            with open(os.path.join(folder, name), "rb") as f:
                found[name] = f.read()
        return found

    def test_folders_as_on_linux(self):
        expected = self.files(self.expected)
        self.assertGreater(sum(name.endswith(".dcm") for name in expected), 2, sorted(expected))
        plain = b"a file of someone else's"

        def earlier_folder(path):
            # Of a run with the macro: a file the new folder does not have.
            _, stderr, status = self.windows(path, ["2", "--format", "dicom", "--dicom-metadata",
                                                    self.metadata])
            self.assertEqual(status, 0, stderr)
            self.assertTrue(set(os.listdir(path)) - set(expected), sorted(os.listdir(path)))

        def plain_file(path):
            with open(path, "wb") as f:
                f.write(plain)

        rows = [
            # (case, what is at the path first, slide, status)
            ("a new folder", None, self.slide, 0),
            ("an earlier folder of ours, replaced whole", earlier_folder, self.slide, 0),
            ("a plain file, refused and left", plain_file, self.slide, 1),
            ("a run that fails leaves the earlier folder", earlier_folder, self.damaged, 255),
        ]
        for case, before, slide, expected_status in rows:
            with self.subTest(case):
                parent = tempfile.mkdtemp(prefix="row-", dir=self.dir)
                output = os.path.join(parent, "out")
                if before is not None:
                    before(output)
                there = self.files(output) if os.path.isdir(output) else None
                stdout, stderr, status = self.windows(output, self.options, slide)
                self.assertEqual(status, expected_status, stderr)
                if status == 0:
                    self.assertTrue(stdout.endswith(COMPLETION.encode()), stdout)
                    got = self.files(output)
                    self.assertEqual(sorted(got), sorted(expected))
                    for name in expected:
                        self.assertEqual(sha256_of(got[name]), sha256_of(expected[name]), name)
                elif there is None:
                    self.assertIn(b"cannot create " + wine_console.windows_path(output).encode(),
                                  stderr)
                    with open(output, "rb") as f:
                        self.assertEqual(f.read(), plain)
                else:
                    self.assertEqual(self.files(output), there)
                # Neither the new folder's temporary nor the earlier one moved aside stays.
                self.assertEqual(os.listdir(parent), ["out"])


if __name__ == "__main__":
    PACKAGE, LINUX = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    try:
        wine_console.start()
        suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
        ok = unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful()
    finally:
        wine_console.stop()
    sys.exit(0 if ok else 1)
