"""cmake --install into a fresh prefix, used as a lab's IT and a programmer
would: the installed files and nothing else, the installed converter
converting a slide without LD_LIBRARY_PATH through the installed library, a
C program built against the library with pkg-config and with CMake's
find_package, both man pages, compressed as Debian has them, rendered
without a warning, and the batch workflow run from the prefix alone
(nvx2svs-batch on a folder of slides, nvx2svs-view showing one in Chromium).

usage: install_test.py BUILD_DIR SOURCE_DIR
"""
import glob
import gzip
import http.client
import os
import re
import subprocess
import sys
import tempfile
import unittest

import openslide
import PIL.Image
import PIL.ImageStat

from gzip_header import REPRODUCIBLE, how_compressed

BUILD = SOURCE = None
PREFIX = None
HOLDER = None


def plain_env(**extra):
    """The environment of a fresh login: no library path of ours."""
    env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "LC_ALL": "C.UTF-8", "HOME": HOLDER}
    env.update(extra)
    return env


def run(args, **kw):
    kw.setdefault("env", plain_env())
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kw)


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        text = f.read()
    return re.search(r"project\(nvx2svs VERSION (\d+\.\d+\.\d+)", text).group(1)


class InstalledFiles(unittest.TestCase):
    def test_the_prefix_holds_exactly_the_installed_files(self):
        version = project_version()
        major = version.split(".")[0]
        found = sorted(os.path.relpath(os.path.join(d, f), PREFIX)
                       for d, _, files in os.walk(PREFIX) for f in files)
        expected = sorted([
            "bin/nvx2svs", "bin/nvxmake", "include/NvxSlideLib.h",
            "lib/libNvxSlideLib.so", f"lib/libNvxSlideLib.so.{major}",
            f"lib/libNvxSlideLib.so.{version}", "lib/pkgconfig/nvxslidelib.pc",
            "lib/cmake/NvxSlideLib/NvxSlideLibConfig.cmake",
            "lib/cmake/NvxSlideLib/NvxSlideLibConfigVersion.cmake",
            "lib/cmake/NvxSlideLib/NvxSlideLibTargets.cmake",
            "share/man/man1/nvx2svs.1.gz", "share/man/man1/nvxmake.1.gz",
            "share/doc/nvx2svs/nvx-format.md", "share/doc/nvx2svs/run-report.schema.json",
            "share/doc/nvx2svs/LICENSE",
            "share/doc/nvx2svs/THIRD-PARTY-NOTICES",
            "bin/nvx2svs-batch", "bin/nvx2svs-view", "share/nvx2svs/Snakefile",
            "share/nvx2svs/config.yaml", "share/nvx2svs/profiles/slurm/config.yaml",
            "share/nvx2svs/viewer/openseadragon/openseadragon.min.js"] + [
            f"share/nvx2svs/scripts/{name}.py" for name in (
                "batch_plan", "batch_report", "batch_viewer", "convert_slide", "file_pictures",
                "slurm_size")])
        images = [name for name in found if name.startswith("share/nvx2svs/viewer/openseadragon/images/")]
        self.assertIn("share/nvx2svs/viewer/openseadragon/images/zoomin_rest.png", images)
        expected += images
        configs = glob.glob(os.path.join(PREFIX, "lib/cmake/NvxSlideLib/NvxSlideLibTargets-*.cmake"))
        self.assertEqual(len(configs), 1, configs)
        expected.append(os.path.relpath(configs[0], PREFIX))
        self.assertEqual(found, sorted(expected))

    def test_one_version_in_the_binary_the_soname_and_the_package_files(self):
        version = project_version()
        lib = os.path.join(PREFIX, "lib")
        self.assertEqual(os.readlink(os.path.join(lib, "libNvxSlideLib.so")),
                         f"libNvxSlideLib.so.{version.split('.')[0]}")
        dynamic = run(["readelf", "-d", os.path.join(lib, f"libNvxSlideLib.so.{version}")]).stdout
        self.assertIn(f"Library soname: [libNvxSlideLib.so.{version.split('.')[0]}]", dynamic)
        dynamic = run(["readelf", "-d", os.path.join(PREFIX, "bin", "nvx2svs")]).stdout
        self.assertIn("Library runpath: [$ORIGIN/../lib]", dynamic)
        shown = run([os.path.join(PREFIX, "bin", "nvx2svs"), "--version"])
        self.assertEqual(shown.returncode, 0)
        self.assertEqual(shown.stdout.splitlines()[0], "nvx2svs " + version)
        pc = run(["pkg-config", "--modversion", "nvxslidelib"],
                 env=plain_env(PKG_CONFIG_PATH=os.path.join(lib, "pkgconfig"))).stdout.strip()
        self.assertEqual(pc, version)
        for page in ("nvx2svs.1.gz", "nvxmake.1.gz"):
            with gzip.open(os.path.join(PREFIX, "share/man/man1", page), "rt") as f:
                self.assertIn(f'"nvx2svs {version}"', f.readline() + f.readline())

    def test_man_pages_are_compressed_reproducibly_and_render_without_warnings(self):
        for name in ("nvx2svs", "nvxmake"):
            page = os.path.join(PREFIX, "share/man/man1", name + ".1.gz")
            with open(page, "rb") as f:
                data = f.read()
            self.assertEqual(how_compressed(data), REPRODUCIBLE, name)
            groff = run(["groff", "-ww", "-man", "-Tutf8"], input=gzip.decompress(data).decode())
            self.assertEqual((groff.returncode, groff.stderr), (0, ""), name)
            shown = run(["man", "--warnings", "-l", page], env=plain_env(MANWIDTH="80"))
            self.assertEqual((shown.returncode, shown.stderr), (0, ""), name)
            self.assertIn("SYNOPSIS", shown.stdout)
            self.assertIn("EXIT STATUS", shown.stdout)
            whatis = run(["lexgrog", page]).stdout
            self.assertIn(f'"{name} - ', whatis)


class InstalledPrograms(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(dir=HOLDER)
        cls.slide = os.path.join(cls.work, "made here.nvx")
        made = run([os.path.join(PREFIX, "bin", "nvxmake"), "--synthetic", "1500x1000",
                    "--mag", "20", cls.slide], cwd=cls.work)
        assert made.returncode == 0, made.stderr

    def test_the_installed_converter_uses_the_installed_library(self):
        converter = os.path.join(PREFIX, "bin", "nvx2svs")
        output = os.path.join(self.work, "out.svs")
        done = run([converter, self.slide, output, "3"], cwd=self.work)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        with openslide.OpenSlide(output) as slide:
            self.assertEqual(slide.dimensions, (1500, 1000))
            self.assertEqual(slide.properties["openslide.vendor"], "aperio")
        # The library it loaded is the installed one: without it, it has none.
        library = os.path.join(PREFIX, "lib", "libNvxSlideLib.so")
        os.rename(library, library + ".away")
        try:
            failed = run([converter, self.slide, output + "2", "3"], cwd=self.work)
        finally:
            os.rename(library + ".away", library)
        self.assertEqual(failed.returncode, 255)
        self.assertIn("libNvxSlideLib.so could not be loaded", failed.stderr)

    def check_program(self, program):
        shown = run([program, self.slide],
                    env=plain_env(LD_LIBRARY_PATH=os.path.join(PREFIX, "lib")))
        self.assertEqual((shown.returncode, shown.stdout, shown.stderr),
                         (0, "1500 x 1000 at 20x\n", ""))

    def test_a_program_built_with_pkg_config(self):
        env = plain_env(PKG_CONFIG_PATH=os.path.join(PREFIX, "lib", "pkgconfig"))
        flags = run(["pkg-config", "--cflags", "--libs", "nvxslidelib"], env=env)
        self.assertEqual(flags.returncode, 0, flags.stderr)
        program = os.path.join(self.work, "open_slide_pc")
        built = run(["cc", "-Wall", "-Wextra", "-Werror", "-o", program,
                     os.path.join(SOURCE, "tests/packaging/open_slide.c")] + flags.stdout.split())
        self.assertEqual(built.returncode, 0, built.stderr)
        self.check_program(program)

    def test_a_program_built_with_cmake_find_package(self):
        build = os.path.join(self.work, "find_package_build")
        configured = run(["cmake", "-S", os.path.join(SOURCE, "tests/packaging/find_package"),
                          "-B", build, "-DCMAKE_PREFIX_PATH=" + PREFIX])
        self.assertEqual(configured.returncode, 0, configured.stdout + configured.stderr)
        built = run(["cmake", "--build", build])
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        self.check_program(os.path.join(build, "open_slide"))


class StagedInstallUnderUsr(unittest.TestCase):
    """Under /usr the library goes to lib/<multiarch>: the converter's run
    path must lead there from bin/, or a staged install (DESTDIR) finds no
    library. Read from the install script a /usr configuration writes."""

    def test_the_run_path_leads_to_where_the_library_is_installed(self):
        staged = tempfile.mkdtemp(dir=HOLDER)
        configured = run(["cmake", "-S", SOURCE, "-B", staged, "-DCMAKE_INSTALL_PREFIX=/usr"],
                         env=dict(os.environ))
        self.assertEqual(configured.returncode, 0, configured.stderr)
        with open(os.path.join(staged, "packaging", "cmake_install.cmake")) as f:
            script = f.read()
        library = re.search(r'\$\{CMAKE_INSTALL_PREFIX\}/([^"]*)/libNvxSlideLib\.so\.\d+\.\d+\.\d+"',
                            script)
        self.assertIsNotNone(library)
        run_paths = re.findall(r'NEW_RPATH "\\\$ORIGIN/\.\./([^"]*)"', script)
        self.assertEqual(run_paths, [library.group(1)])


class InstalledBatch(unittest.TestCase):
    """The batch and its viewer as a lab runs them: from the prefix, in a
    folder of their own, with no checkout on the path."""

    def test_a_batch_and_its_viewer_from_the_prefix(self):
        work = tempfile.mkdtemp(dir=HOLDER)
        slides, output = os.path.join(work, "slides"), os.path.join(work, "converted")
        os.makedirs(os.path.join(slides, "day 1"))
        for name, size in (("a", "1500x1000"), ("day 1/b", "2400x1800")):
            made = run([os.path.join(PREFIX, "bin", "nvxmake"), "--synthetic", size,
                        os.path.join(slides, name + ".nvx")])
            self.assertEqual(made.returncode, 0, made.stderr)
        done = run([os.path.join(PREFIX, "bin", "nvx2svs-batch"), slides, output], cwd=work)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        with openslide.OpenSlide(os.path.join(output, "day 1", "b.svs")) as slide:
            self.assertEqual(slide.dimensions, (2400, 1800))
        with open(os.path.join(output, "logs", "a.svs.log"), encoding="utf-8") as f:
            self.assertTrue(f.readline().startswith(
                f"command: {os.path.join(PREFIX, 'bin', 'nvx2svs')} "))
        with open(os.path.join(output, "report.html"), encoding="utf-8") as f:
            self.assertIn("nvx2svs-view", f.read())

        log = open(os.path.join(work, "viewer.log"), "w")
        server = subprocess.Popen([os.path.join(PREFIX, "bin", "nvx2svs-view"), output,
                                   "--port", "0"], stdout=subprocess.PIPE, stderr=log,
                                  text=True, env=plain_env(), cwd=work)
        try:
            line = server.stdout.readline()
            port = int(re.search(r"http://127\.0\.0\.1:(\d+)/", line).group(1))
            for path in ("/report.html", "/osd/openseadragon.min.js",
                         "/osd/images/zoomin_rest.png", "/dzi/day%201/b.svs.dzi"):
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
                connection.request("GET", path)
                self.assertEqual(connection.getresponse().status, 200, path)
                connection.close()
            picture = os.path.join(BUILD, "tests", "packaging", "viewer-installed.png")
            os.makedirs(os.path.dirname(picture), exist_ok=True)
            with tempfile.TemporaryDirectory(dir=HOLDER) as profile:
                shot = run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                            "--disable-quic", "--no-first-run", "--disable-background-networking",
                            "--disable-component-update", "--disable-sync",
                            f"--user-data-dir={profile}", "--window-size=1300,800",
                            "--virtual-time-budget=15000", f"--screenshot={picture}",
                            f"http://127.0.0.1:{port}/view/day%201/b.svs"])
            self.assertEqual(shot.returncode, 0, shot.stderr[-2000:])
            # The viewer's middle shows tissue: neither blank nor the dark backdrop.
            with PIL.Image.open(picture) as image:
                middle = image.convert("L").crop((250, 150, 750, 650))
            self.assertGreater(PIL.ImageStat.Stat(middle).stddev[0], 10)
            self.assertGreater(PIL.ImageStat.Stat(middle).mean[0], 60)
        finally:
            server.terminate()
            server.wait(timeout=30)
            server.stdout.close()
            log.close()


def main():
    global BUILD, SOURCE, PREFIX, HOLDER
    BUILD, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    holder = tempfile.TemporaryDirectory(prefix="nvx2svs-install-")
    HOLDER = holder.name
    PREFIX = os.path.join(HOLDER, "prefix")
    installed = subprocess.run(["cmake", "--install", BUILD, "--prefix", PREFIX],
                               capture_output=True, text=True)
    if installed.returncode != 0:
        print(installed.stdout + installed.stderr)
        sys.exit(1)
    try:
        result = unittest.main(argv=sys.argv[:1], exit=False).result
    finally:
        holder.cleanup()
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
