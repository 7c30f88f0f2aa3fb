"""The Debian packages as a lab installs them: `cpack -G DEB`, run under
umask 077, makes nvx2svs, libnvxslidelib0 and libnvxslidelib-dev with
folders 0755 and files 0644 or 0755 all the same; dpkg installs them into a
clean root that holds nothing but the packages their Depends lines name
(and theirs, taken from this system's installed packages), and the
installed nvxmake and nvx2svs, run inside that root, make a slide and
convert it. Their documentation follows Debian policy: each copyright file
holds the licence and the third-party notices, and the man pages and the
changelogs are compressed by gzip -9n; lintian (where installed) finds
nothing past the known tags.

usage: debian_package_test.py BUILD_DIR SOURCE_DIR
"""
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import openslide

from gzip_header import REPRODUCIBLE, how_compressed

BUILD = SOURCE = None
HOLDER = None
# Package name -> its .deb.
PACKAGES = {}
# The packages' files, unpacked by dpkg-deb -x.
UNPACKED = None
# Each package's Depends (names only; dpkg-shlibdeps finds the libraries the
# binaries link), Recommends and some of its files. libtiff writes the TIFF,
# libjpeg-turbo's two libraries encode and decode, zlib the slide library's
# index, OpenSSL's libcrypto the SHA-256 digests (the slide library's of a
# slide, the converter's of the DICOM frames), OpenSlide nvxmake's sources;
# the converter loads the slide library at run time; the workflow runs on
# Snakemake and OpenSlide's Python binding.
RUNTIME = ["libc6", "libstdc++6", "libgcc-s1"]
LAYOUT = {
    "nvx2svs": (RUNTIME + ["libtiff6", "libjpeg62-turbo", "libturbojpeg0", "libopenslide0",
                           "zlib1g", "libssl3", "libnvxslidelib0", "python3", "python3-openslide", "snakemake"],
                "slurm-client",
                ["usr/bin/nvx2svs", "usr/bin/nvxmake", "usr/bin/nvx2svs-batch",
                 "usr/bin/nvx2svs-view", "usr/share/nvx2svs/Snakefile",
                 "usr/share/nvx2svs/viewer/openseadragon/openseadragon.min.js",
                 "usr/share/man/man1/nvx2svs.1.gz", "usr/share/man/man1/nvxmake.1.gz",
                 "usr/share/doc/nvx2svs/nvx-format.md",
                 "usr/share/doc/nvx2svs/run-report.schema.json"]),
    "libnvxslidelib0": (RUNTIME + ["libturbojpeg0", "zlib1g", "libssl3"], "",
                        ["usr/lib/libNvxSlideLib.so.{major}",
                         "usr/lib/libNvxSlideLib.so.{version}"]),
    "libnvxslidelib-dev": (["libnvxslidelib0"], "",
                           ["usr/include/NvxSlideLib.h", "usr/lib/libNvxSlideLib.so",
                            "usr/lib/pkgconfig/nvxslidelib.pc",
                            "usr/lib/cmake/NvxSlideLib/NvxSlideLibConfig.cmake"]),
}
# Of the Essential packages every Debian system has, the ones the package's
# scripts use: /bin/sh and ldconfig.
ESSENTIAL = "dash, libc-bin"
# What lintian still says of the package, errors and warnings (informational
# and pedantic tags aside), and why it stays so.
KNOWN_LINTIAN_TAGS = {
    # nvx2svs-batch and nvx2svs-view explain themselves with --help.
    "no-manual-page",
    # CPack's own postinst and postrm, beside the package's ldconfig trigger.
    "maintscript-calls-ldconfig",
    # The library lives in /usr/lib, not the multiarch /usr/lib/x86_64-linux-gnu.
    "pkg-config-unavailable-for-cross-compilation",
}
# Left out of the root as dpkg's path-exclude does in a minimal system.
UNNEEDED = ("/usr/share/doc/", "/usr/share/man/", "/usr/share/locale/", "/usr/share/info/")


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kw)


def installed_packages():
    """Every installed package: name -> (Pre-Depends + Depends, Provides)."""
    out = run(["dpkg-query", "-W", "-f",
               "${Package}\t${db:Status-Status}\t${Pre-Depends}, ${Depends}\t${Provides}\n"]).stdout
    packages = {}
    providers = {}
    for line in out.splitlines():
        name, status, depends, provides = line.split("\t")
        if status != "installed":
            continue
        packages[name] = depends
        for virtual in provides.split(","):
            if virtual.strip():
                providers.setdefault(virtual.split()[0], []).append(name)
    return packages, providers


def dependency_closure(depends):
    """The installed packages that `depends` (a Depends line) needs, and theirs."""
    packages, providers = installed_packages()
    wanted, queue = set(), [depends]
    while queue:
        for clause in queue.pop().split(","):
            if not clause.strip():
                continue
            names = [alt.split()[0].split(":")[0] for alt in clause.split("|")]
            chosen = next((n for n in names if n in packages), None)
            if chosen is None:
                chosen = next((p for n in names for p in providers.get(n, [])), None)
            if chosen is None:
                raise AssertionError(f"nothing installed satisfies '{clause.strip()}'")
            if chosen not in wanted:
                wanted.add(chosen)
                queue.append(packages[chosen])
    return sorted(wanted)


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(nvx2svs VERSION (\d+\.\d+\.\d+)", f.read()).group(1)


def words(text):
    return " ".join(text.split())


def make_clean_root(root, names):
    """A root with these packages' files and a dpkg database that lists them."""
    for top in ("bin", "sbin", "lib", "lib64"):
        if os.path.islink("/" + top):
            os.symlink(os.readlink("/" + top), os.path.join(root, top))
    dpkg = os.path.join(root, "var/lib/dpkg")
    for sub in ("info", "updates", "triggers"):
        os.makedirs(os.path.join(dpkg, sub))
    open(os.path.join(dpkg, "available"), "w").close()
    with open(os.path.join(dpkg, "status"), "w") as status:
        for name in names:
            status.write(run(["dpkg-query", "-s", name]).stdout.rstrip("\n") + "\n\n")
            files = run(["dpkg-query", "-L", name]).stdout.splitlines()
            with open(os.path.join(dpkg, "info", name + ".list"), "w") as listing:
                listing.write("\n".join(files) + "\n")
            for path in files:
                if path.startswith(UNNEEDED) or not os.path.lexists(path) or (
                        os.path.isdir(path) and not os.path.islink(path)):
                    continue
                # Through the system's own links (/lib -> usr/lib), as the root has them.
                target = os.path.join(root, os.path.realpath(os.path.dirname(path))[1:],
                                      os.path.basename(path))
                os.makedirs(os.path.dirname(target), exist_ok=True)
                if os.path.lexists(target):
                    continue
                # A hard link where it can be (the Python stack is large);
                # nothing in the root writes to these files.
                try:
                    if os.path.islink(path):
                        raise OSError
                    os.link(path, target)
                except OSError:
                    shutil.copy2(path, target, follow_symlinks=False)
    os.makedirs(os.path.join(root, "tmp"), mode=0o1777)


def field_of(deb, name):
    return run(["dpkg-deb", "-f", deb, name]).stdout.strip()


def field(package, name):
    return field_of(PACKAGES[package], name)


class DebianPackage(unittest.TestCase):
    def test_control_fields_and_files(self):
        version = project_version()
        self.assertEqual(sorted(os.path.basename(p) for p in PACKAGES.values()),
                         sorted(f"{name}_{version}_amd64.deb" for name in LAYOUT))
        for package, (needed, recommended, files) in LAYOUT.items():
            with self.subTest(package=package):
                self.assertEqual((field(package, "Version"), field(package, "Architecture")),
                                 (version, "amd64"))
                depends = [clause.split()[0] for clause in field(package, "Depends").split(", ")]
                self.assertEqual(sorted(depends), sorted(needed), field(package, "Depends"))
                self.assertEqual(field(package, "Recommends"), recommended)
                if "libnvxslidelib0" in needed:
                    self.assertIn(f"libnvxslidelib0 (= {version})", field(package, "Depends"))
                contents = run(["dpkg-deb", "-c", PACKAGES[package]]).stdout
                for path in files + [f"usr/share/doc/{package}/copyright",
                                     f"usr/share/doc/{package}/changelog.gz"]:
                    path = path.format(version=version, major=version.split(".")[0])
                    self.assertIn(" ./" + path, contents)
                # The copyright file holds these; the packages have no second copy.
                self.assertNotIn("/LICENSE\n", contents)
                self.assertNotIn("/THIRD-PARTY-NOTICES\n", contents)

    def test_modes_whatever_the_umask_of_the_build(self):
        # Packed under umask 077 (main): folders 0755, files 0644 or 0755.
        usual = {"d": {"rwxr-xr-x"}, "-": {"rw-r--r--", "rwxr-xr-x"}, "l": {"rwxrwxrwx"}}
        for package, deb in PACKAGES.items():
            listings = [run(["dpkg-deb", "-c", deb]).stdout]
            control = subprocess.run(["dpkg-deb", "--ctrl-tarfile", deb], capture_output=True)
            listings.append(run(["tar", "-tvf", "-"], input=control.stdout.decode("latin-1")).stdout)
            for line in "".join(listings).splitlines():
                with self.subTest(package=package, entry=line.split()[-1]):
                    self.assertIn(line[1:10], usual[line[0]], line)

    def test_copyright_file_holds_the_licence_and_the_notices(self):
        for package in PACKAGES:
            with open(os.path.join(UNPACKED, f"usr/share/doc/{package}/copyright"),
                      encoding="utf-8") as f:
                copyright_file = words(f.read())
            for name in ("LICENSE", "THIRD-PARTY-NOTICES"):
                with open(os.path.join(SOURCE, name), encoding="utf-8") as f:
                    self.assertIn(words(f.read()), copyright_file, (package, name))

    def test_man_pages_and_changelog_compressed_reproducibly(self):
        for path in ["usr/share/man/man1/nvx2svs.1.gz", "usr/share/man/man1/nvxmake.1.gz"] + [
                f"usr/share/doc/{package}/changelog.gz" for package in PACKAGES]:
            with open(os.path.join(UNPACKED, path), "rb") as f:
                self.assertEqual(how_compressed(f.read()), REPRODUCIBLE, path)
        for name in ("nvx2svs", "nvxmake"):
            page = os.path.join(UNPACKED, "usr/share/man/man1", name + ".1.gz")
            shown = run(["man", "--warnings", "-l", page],
                        env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
            self.assertEqual((shown.returncode, shown.stderr), (0, ""), name)
            self.assertIn("SYNOPSIS", shown.stdout)
            self.assertIn(f'"{name} - ', run(["lexgrog", page]).stdout)

    def test_changelog_names_this_version(self):
        changelog = os.path.join(HOLDER, "changelog")
        with gzip.open(os.path.join(UNPACKED, "usr/share/doc/nvx2svs/changelog.gz")) as packed, \
                open(changelog, "wb") as plain:
            plain.write(packed.read())
        parsed = run(["dpkg-parsechangelog", "-l", changelog])
        self.assertEqual(parsed.returncode, 0, parsed.stderr)
        fields = dict(line.split(": ", 1) for line in parsed.stdout.splitlines()
                      if re.match(r"^(Source|Version|Distribution|Maintainer): ", line))
        self.assertEqual((fields["Source"], fields["Version"]), ("nvx2svs", project_version()))
        self.assertEqual(fields["Maintainer"], field("nvx2svs", "Maintainer"))

    @unittest.skipIf(shutil.which("lintian") is None, "lintian is not installed (scripts/setup.sh)")
    def test_lintian_finds_only_the_known_tags(self):
        checked = run(["lintian", "--pedantic", *PACKAGES.values()])
        # 0: nothing found, 2: tags found; 1 is lintian's own failure.
        self.assertIn(checked.returncode, (0, 2), checked.stdout + checked.stderr)
        found = set(re.findall(r"^[EW]: \S+: (\S+)", checked.stdout, re.MULTILINE))
        self.assertEqual(found - KNOWN_LINTIAN_TAGS, set(), checked.stdout)

    @unittest.skipIf(os.geteuid() != 0, "chroot and dpkg --root need root")
    def test_installs_into_a_clean_root_and_converts(self):
        ours = "|".join(PACKAGES)
        depends = ", ".join(re.sub(rf"(^|, )({ours}) \([^)]*\)", "", field(package, "Depends"))
                            for package in PACKAGES)
        root = os.path.join(HOLDER, "root")
        os.makedirs(root)
        make_clean_root(root, dependency_closure(depends + ", " + ESSENTIAL))
        installed = run(["dpkg", "--root=" + root, "--force-not-root", "-i", *PACKAGES.values()],
                        env=dict(os.environ, PATH="/usr/sbin:/usr/bin:/sbin:/bin"))
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        status = run(["dpkg", "--root=" + root, "-s", "nvx2svs"]).stdout
        self.assertIn("Status: install ok installed", status)

        inside = lambda *args: run(["/usr/sbin/chroot", root] + list(args),
                                   env={"PATH": "/usr/bin:/bin", "LC_ALL": "C"})
        made = inside("/usr/bin/nvxmake", "--synthetic", "1200x900", "/tmp/slide.nvx")
        self.assertEqual(made.returncode, 0, made.stderr)
        done = inside("/usr/bin/nvx2svs", "/tmp/slide.nvx", "/tmp/slide.svs", "3")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        with openslide.OpenSlide(os.path.join(root, "tmp", "slide.svs")) as slide:
            self.assertEqual(slide.dimensions, (1200, 900))
            self.assertEqual(slide.properties["openslide.vendor"], "aperio")
        shown = inside("/usr/bin/nvx2svs", "--version")
        self.assertEqual(shown.returncode, 0)
        self.assertTrue(shown.stdout.startswith("nvx2svs "), shown.stdout)


def main():
    global BUILD, SOURCE, HOLDER, UNPACKED
    BUILD, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    holder = tempfile.TemporaryDirectory(prefix="nvx2svs-deb-")
    HOLDER = holder.name
    # As one whose umask keeps everything to themselves would pack it.
    made = subprocess.run(["cpack", "-G", "DEB", "-B", os.path.join(HOLDER, "package")],
                          cwd=BUILD, capture_output=True, text=True, timeout=300,
                          preexec_fn=lambda: os.umask(0o077))
    packages = [os.path.join(HOLDER, "package", f)
                for f in os.listdir(os.path.join(HOLDER, "package")) if f.endswith(".deb")]
    if made.returncode != 0 or not packages:
        print(made.stdout + made.stderr)
        sys.exit(1)
    PACKAGES.update((field_of(p, "Package"), p) for p in sorted(packages))
    UNPACKED = os.path.join(HOLDER, "unpacked")
    for package in packages:
        unpacked = run(["dpkg-deb", "-x", package, UNPACKED])
        if unpacked.returncode != 0:
            print(unpacked.stderr)
            sys.exit(1)
    try:
        result = unittest.main(argv=sys.argv[:1], exit=False).result
    finally:
        holder.cleanup()
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
