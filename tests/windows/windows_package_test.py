"""windows_package_test.py - the Windows zip as a user gets it: named after
the project's version, holding the two programs, the licence, the
third-party notices and the user's README in one folder, and a version
resource in nvx2svs.exe and NvxSlideLib.dll that objdump reads back with
the project's version.

usage: windows_package_test.py BUILD_WINDOWS_DIR SOURCE_DIR
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

FOLDER = SOURCE = None
VERSION = None


def resource_section(path):
    """The bytes of a PE file's .rsrc section, as objdump dumps them."""
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-s", "-j", ".rsrc", path],
                          capture_output=True, text=True, check=True).stdout
    data = bytearray()
    for line in dump.splitlines():
        m = re.match(r"^ ([0-9a-f]+) ((?:[0-9a-f]{2,8} ){1,4})", line + " ")
        if m:
            data += bytes.fromhex(m.group(2).replace(" ", ""))
    return bytes(data)


def version_strings(section):
    """The StringFileInfo values of the version resource: key -> value."""
    strings = {}
    for key in ("CompanyName", "FileDescription", "FileVersion", "OriginalFilename",
                "ProductName", "ProductVersion", "LegalCopyright"):
        start = section.find((key + "\0").encode("utf-16-le"))
        if start < 0:
            continue
        value = start + len(key + "\0") * 2
        value += (4 - value % 4) % 4  # the value starts on a 32-bit boundary
        end = value
        while section[end:end + 2] != b"\0\0":
            end += 2
        strings[key] = section[value:end].decode("utf-16-le")
    return strings


def fixed_file_version(section):
    """VS_FIXEDFILEINFO's file version as (major, minor, patch, build)."""
    at = section.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    most, least = struct.unpack_from("<II", section, at + 8)
    return (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)


class WindowsZip(unittest.TestCase):
    def setUp(self):
        self.name = f"nvx2svs-{VERSION}-windows-x64"
        self.zip = os.path.join(FOLDER, self.name + ".zip")

    def test_the_zip_holds_the_programs_licences_and_readme(self):
        self.assertTrue(os.path.exists(self.zip), os.listdir(FOLDER))
        with zipfile.ZipFile(self.zip) as z:
            files = sorted(n for n in z.namelist() if not n.endswith("/"))
            self.assertEqual(files, sorted(f"{self.name}/{f}" for f in (
                "nvx2svs.exe", "NvxSlideLib.dll", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt",
                "README.txt")))
            read = lambda f: z.read(f"{self.name}/{f}").decode("utf-8")
            for packed, original in (("LICENSE.txt", "LICENSE"),
                                     ("THIRD-PARTY-NOTICES.txt", "THIRD-PARTY-NOTICES")):
                with open(os.path.join(SOURCE, original), encoding="utf-8") as f:
                    self.assertEqual(read(packed), f.read().replace("\n", "\r\n"), packed)
            readme = read("README.txt")
            self.assertTrue(readme.startswith(f"nvx2svs {VERSION} for Windows"), readme[:80])
            for words in ("%ERRORLEVEL%", "chcp 65001", "936", "nvx2svs.exe SLIDE.nvx OUT.svs"):
                self.assertIn(words, readme)
            self.assertNotIn("@", readme.splitlines()[0])
            # What the notices must name for what the programs link in.
            notices = read("THIRD-PARTY-NOTICES.txt")
            for words in ("Independent JPEG Group", "libjpeg-turbo", "Sam Leffler",
                          "Jean-loup Gailly", "mingw-w64", "Niels Lohmann"):
                self.assertIn(words, notices)

    def test_version_resources_read_back(self):
        numbers = tuple(int(n) for n in VERSION.split(".")) + (0,)
        for program in ("nvx2svs.exe", "NvxSlideLib.dll"):
            with zipfile.ZipFile(self.zip) as z, tempfile.TemporaryDirectory() as holder:
                path = z.extract(f"{self.name}/{program}", holder)
                section = resource_section(path)
            self.assertEqual(fixed_file_version(section), numbers, program)
            strings = version_strings(section)
            self.assertEqual(strings.get("FileVersion"), VERSION, program)
            self.assertEqual(strings.get("ProductVersion"), VERSION, program)
            self.assertEqual(strings.get("OriginalFilename"), program)
            self.assertEqual(strings.get("ProductName"), "nvx2svs")
            self.assertIn("MIT", strings.get("LegalCopyright", ""))


if __name__ == "__main__":
    FOLDER, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    VERSION = subprocess.run([os.path.join(SOURCE, "scripts", "project-version.sh")],
                             capture_output=True, text=True, check=True).stdout.strip()
    sys.exit(0 if unittest.main(argv=sys.argv[:1], exit=False).result.wasSuccessful() else 1)
