"""THIRD-PARTY-NOTICES quotes each licence as Debian ships it with the
library (/usr/share/doc/PACKAGE/copyright), and OpenSeadragon's as its npm
package holds it (workflow/viewer/node_modules, installed by setup.sh), word
for word: a licence text edited by hand or left behind by a library's new
licence shows up here.

usage: notices_test.py SOURCE_DIR
"""
import os
import re
import sys
import unittest

SOURCE = None
# (Debian package, the copyright file's License paragraph)
QUOTED = [("libjpeg62-turbo", "BSD-BY-LC-NE"), ("libjpeg62-turbo", "BSD-3-clause"),
          ("libjpeg62-turbo", "Zlib"), ("libtiff6", "Hylafax"), ("zlib1g", "Zlib"),
          ("libssl3", "Apache-2.0"),
          ("mingw-w64-x86-64-dev", "expat"), ("mingw-w64-x86-64-dev", "BSD-3-clause-Lockless")]


def words(text):
    return " ".join(text.split())


def licence_text(package, name):
    """The text of the `License: name` paragraph (its own or a Files paragraph's)."""
    with open(f"/usr/share/doc/{package}/copyright", encoding="utf-8") as f:
        text = f.read()
    for paragraph in re.split(r"\n\s*\n(?=\S)", text):
        m = re.search(r"^License:\s*" + re.escape(name) + r"\n((?:[ \t].*\n?)+)", paragraph,
                      re.MULTILINE)
        if m:
            lines = [line.strip() for line in m.group(1).splitlines()]
            return words(" ".join("" if line == "." else line for line in lines))
    raise AssertionError(f"no License: {name} in {package}'s copyright file")


class Notices(unittest.TestCase):
    def test_each_licence_is_quoted_as_debian_ships_it(self):
        with open(os.path.join(SOURCE, "THIRD-PARTY-NOTICES"), encoding="utf-8") as f:
            notices = words(f.read())
        for package, name in QUOTED:
            with self.subTest(package=package, licence=name):
                if not os.path.exists(f"/usr/share/doc/{package}/copyright"):
                    self.skipTest(f"{package} is not installed")
                quoted = licence_text(package, name)
                self.assertTrue(quoted in notices,
                                f"THIRD-PARTY-NOTICES lacks {package}'s {name} text: {quoted[:120]}...")

    def test_the_viewer_s_openseadragon_licence(self):
        licence = os.path.join(SOURCE, "workflow/viewer/node_modules/openseadragon/LICENSE.txt")
        if not os.path.exists(licence):
            self.skipTest("the viewer's npm packages are not installed (scripts/setup.sh)")
        with open(licence, encoding="utf-8") as f:
            quoted = words(f.read())
        with open(os.path.join(SOURCE, "THIRD-PARTY-NOTICES"), encoding="utf-8") as f:
            self.assertIn(quoted, words(f.read()))


if __name__ == "__main__":
    SOURCE = os.path.abspath(sys.argv[1])
    sys.exit(0 if unittest.main(argv=sys.argv[:1], exit=False).result.wasSuccessful() else 1)
