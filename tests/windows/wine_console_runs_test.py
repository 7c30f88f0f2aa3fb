"""wine_console_runs_test.py - every console case of the Linux console runs
(tests/cli/console_runs_test.py), run by the Windows converter under Wine in
a console set to code page 65001 and to code page 936: the same bytes on
standard output and the same exit status as the Linux build gives in a
UTF-8 and in a GBK locale. The fake slide library stands beside the
converter (Windows looks in the converter's folder first), or no library
at all, or one lacking an entry point.

usage: wine_console_runs_test.py WINDOWS_PROJECT_BUILD
"""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli"))
import console_runs_test as cases  # noqa: E402
import wine_console  # noqa: E402

BUILD = None
HOLDER = None
CODE_PAGES = {"C.UTF-8": 65001, "zh_CN.GBK": 936}
_folders = {}


def converter_with(fake):
    """nvx2svs.exe beside the fake library of tests/<fake>; where there is no
    such fake, beside our own library, as the Linux build's converter stands
    beside it; alone in its folder for None."""
    if fake not in _folders:
        library = None
        if fake is not None:
            library = os.path.join(BUILD, "tests", fake, "NvxSlideLib.dll")
            if not os.path.exists(library):
                library = os.path.join(BUILD, "NvxSlideLib.dll")
        _folders[fake] = wine_console.package_folder(HOLDER, os.path.join(BUILD, "nvx2svs.exe"),
                                                     library)
    return _folders[fake]


class WineRun:
    """console_runs_test.Run, under Wine: the locale names the console's code page."""

    def __init__(self, args, fake="fake", locale=None, converter=None, prepare=None,
                 **fake_env):
        self.dir = tempfile.mkdtemp(prefix="run-", dir=HOLDER)
        if prepare is not None:
            prepare(self.dir)
        self.log = os.path.join(self.dir, "calls.log")
        env = {k: v for k, v in os.environ.items() if not k.startswith("NVXFAKE_")}
        env["NVXFAKE_LOG"] = wine_console.windows_path(self.log)
        env.update({"NVXFAKE_" + k.upper(): str(v) for k, v in fake_env.items()})
        self.stdout, self.stderr, self.status = wine_console.run(
            CODE_PAGES[locale or cases.LOCALE], converter or converter_with(fake), list(args),
            self.dir, env)
        if self.status not in (0, 1, 255) or not (self.stdout or self.stderr):
            # A run that said nothing at all: what the console showed says why.
            print(f"\n[{' '.join(args)}] status {self.status}, stderr {self.stderr!r}, console "
                  f"{wine_console.last_console[-2000:]!r}", file=sys.stderr)

    def calls(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [line.split(" ")[0].strip() for line in f]


win = wine_console.windows_path


class WindowsSayWhy(cases.SayWhy):
    """The reasons on standard error whose Linux cases name Linux things (a
    FIFO, /dev/null, libNvxSlideLib.so, LD_LIBRARY_PATH), in Windows terms."""

    def test_inputs_that_are_not_slide_files(self):
        text = os.path.join(self.folder, "notes.nvx")
        with open(text, "w") as f:
            f.write("not a slide")
        long_path = "C:\\" + "d" * 300 + ".nvx"
        for path, reason in [
                ("no-such.nvx", "the input 'no-such.nvx' does not exist"),
                (win(self.folder), f"the input '{win(self.folder)}' is a folder, not a slide file"),
                (win(text), f"the slide library refused '{win(text)}': "
                            "file too short for an nvx header"),
                (long_path, "the input path is 307 bytes long; the slide library takes paths "
                            "of at most 255 bytes")]:
            with self.subTest(path=path[:40]):
                self.assertEqual(self.open_failure(path), reason)

    def test_a_library_that_gives_no_reason_or_lacks_an_entry_point(self):
        existing = win(converter_with("fake"))
        self.assertEqual(self.open_failure(existing, fake="fake", fail="open"),
                         f"the slide library refused '{existing}' without giving a reason")
        lacking = win(os.path.dirname(converter_with("fake-without-NvxOpenSlide")))
        self.assertEqual(self.open_failure("a.nvx", fake="fake-without-NvxOpenSlide"),
                         f"the slide library {lacking}\\NvxSlideLib.dll has no entry point "
                         "NvxOpenSlide")

    def test_a_library_that_cannot_be_loaded(self):
        # The converter alone in its folder, and nothing on the search path.
        alone = converter_with(None)
        reason = self.open_failure("a.nvx", fake=None)
        self.assertIn("the slide library NvxSlideLib.dll could not be loaded: ", reason)
        self.assertTrue(reason.endswith(
            f"then in the converter's folder {win(os.path.dirname(alone))})"), reason)
        # Something beside it that is no library: the loader's own words differ.
        beside_junk = wine_console.package_folder(HOLDER, alone, None)
        with open(os.path.join(os.path.dirname(beside_junk), "NvxSlideLib.dll"), "wb") as f:
            f.write(b"MZ" + b"\0" * 510)
        junk_reason = self.open_failure("a.nvx", converter=beside_junk)
        self.assertIn("the slide library NvxSlideLib.dll could not be loaded: ", junk_reason)
        self.assertNotEqual(junk_reason.split(": ", 1)[1].split(" (looked in")[0],
                            reason.split(": ", 1)[1].split(" (looked in")[0])


def main():
    global BUILD, HOLDER
    BUILD = os.path.abspath(sys.argv[1])
    cases.Run = WineRun
    cases.SayWhy = WindowsSayWhy
    holder = tempfile.TemporaryDirectory(prefix="nvx2svs-wine-console-")
    HOLDER = holder.name
    failed = False
    try:
        wine_console.start()
        for locale, encoding in (("C.UTF-8", "utf-8"), ("zh_CN.GBK", "gbk")):
            cases.LOCALE, cases.ENCODING = locale, encoding
            print("== Windows console code page", CODE_PAGES[locale], flush=True)
            suite = unittest.defaultTestLoader.loadTestsFromModule(cases)
            failed |= not unittest.TextTestRunner(verbosity=1).run(suite).wasSuccessful()
    finally:
        wine_console.stop()
        holder.cleanup()
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
