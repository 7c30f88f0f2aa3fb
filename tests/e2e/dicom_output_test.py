"""dicom_output_test.py - --format dicom on real nvx slides made by nvxmake:
for a whole slide, a region, --tiles copy, --chroma 420 and --no-label,
dciodvfy finds no error in any instance (copied 4:4:4 tiles are
YBR_FULL_422 as every YCbCr frame is), dcmdump and pydicom read
every one, each level's frames are the TIFF route's tiles for the same
options (the same complete streams, or the TIFF's abbreviated tiles given
the level's JPEGTables), each level's Basic Offset Table leads
straight to its first and last frame, which dcmtk decodes to the TIFF's
pixels, the pictures decode to what the TIFF's decode
to, and two runs give the same bytes; a different slide or metadata gives
different UIDs; DICOM output without a pixel size or the section's
thickness (or with two thicknesses that differ), through a slide
library without the content digest, or of a slide file whose time of
writing cannot be read is refused; an earlier folder of ours is replaced
and anything else at the path refused; the report says the format and
the folder; the optical path is the metadata file's, brightfield unless
it says fluorescence.

usage: dicom_output_test.py <nvx2svs> <nvxmake> <splice_frames> <build>/tests
"""

import io
import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

import jsonschema
import numpy as np
import pydicom
import tifffile
from PIL import Image
from pydicom.encaps import generate_pixel_data_frame

import nvxmake_runs_test as runs
from dicom_frames import frames_by_table

NVX2SVS = NVXMAKE = SPLICE = FAKE_ROOT = None
# The source tree, for the report's schema.
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
WIDTH, HEIGHT = 3000, 2000
# DICOM output, with the section's thickness it must state.
DICOM = ["--format", "dicom", "--section-thickness", "4"]
NO_PIXEL_SIZE = ("nvx2svs: error: neither '{}' nor --mpp gives the pixel size, which DICOM "
                 "output must state; give it with --mpp\n")
NO_THICKNESS = ("nvx2svs: error: neither --section-thickness nor a --dicom-metadata file gives "
                "the section's thickness, which DICOM output must state; give it with "
                "--section-thickness\n")
THICKNESS_DIFFERS = ("nvx2svs: error: --section-thickness and section_thickness_um in '{}' give "
                     "different thicknesses; give it once\n")
NO_DIGEST = ("nvx2svs: error: cannot create {}: the slide library gives no digest of the "
             "slide's content, which the instances' UIDs are made from\n")
NO_TIME = "nvx2svs: error: cannot create {}: the system does not say when {} was written\n"


def run(args, fake=None):
    """`fake`: the fake slide library's folder to run with, for the faults
    only it can stage; otherwise our own library."""
    env = dict(runs.CHILD_ENV, LC_ALL="C.UTF-8")
    env.pop("LD_LIBRARY_PATH", None)
    if fake:
        env.update(LD_LIBRARY_PATH=os.path.join(FAKE_ROOT, fake), NVXFAKE_MPP="0.25")
    return subprocess.run([NVX2SVS] + [str(a) for a in args], env=env, capture_output=True,
                          timeout=300)


def instances(folder):
    return sorted(name for name in os.listdir(folder) if name.endswith(".dcm"))


def frames_of(path):
    dataset = pydicom.dcmread(path)
    count = int(dataset.NumberOfFrames)
    return dataset, list(generate_pixel_data_frame(dataset.PixelData, count))


def unpadded(frame):
    # Frames are padded to an even length with a zero after their EOI.
    return frame[:-1] if frame.endswith(b"\xff\xd9\x00") else frame


def tile_pixels(stream):
    with Image.open(io.BytesIO(stream)) as image:
        return np.asarray(image.convert("RGB"))


def dcmtk_frame(path, k):
    """Frame k (from 0) of the instance as dcmtk decodes it."""
    with tempfile.TemporaryDirectory() as holder:
        out = os.path.join(holder, "frame.ppm")
        done = subprocess.run(["dcmj2pnm", "--frame", str(k + 1), path, out],
                              capture_output=True, env=runs.CHILD_ENV)
        assert done.returncode == 0, done.stderr
        with Image.open(out) as image:
            return np.asarray(image.convert("RGB"))


def splice(tables, tiles):
    with tempfile.NamedTemporaryFile() as holder:
        holder.write(tables)
        holder.flush()
        records = b"".join(struct.pack("<I", len(t)) + t for t in tiles)
        done = subprocess.run([SPLICE, holder.name], input=records, capture_output=True,
                              check=True, env=runs.CHILD_ENV)
    out, at = [], 0
    while at < len(done.stdout):
        (n,) = struct.unpack_from("<I", done.stdout, at)
        out.append(done.stdout[at + 4:at + 4 + n])
        at += 4 + n
    return out


def tiff_levels_and_pictures(path):
    """The TIFF's tiled levels as (raw tiles, JPEGTables or None) in order,
    and its pictures' decoded pixels by name."""
    levels, pictures = [], {}
    with tifffile.TiffFile(path) as tiff, open(path, "rb") as raw:
        for number, page in enumerate(tiff.pages):
            if page.is_tiled:
                tiles = []
                for offset, count in zip(page.dataoffsets, page.databytecounts):
                    raw.seek(offset)
                    tiles.append(raw.read(count))
                tables = page.tags[347].value if 347 in page.tags else None
                levels.append((tiles, tables))
            else:
                description = page.tags[270].value if 270 in page.tags else ""
                name = ("label" if "label" in description else
                        "overview" if "macro" in description else "thumbnail")
                with Image.open(path) as image:
                    image.seek(number)
                    pictures[name] = np.asarray(image.convert("RGB"))
    return levels, pictures


def forged_copy(original, path, stream_at):
    """Copies the slide file at `original` to `path` with one byte of the
    stored JPEG stream that `stream_at(bytes)` gives as (offset, length)
    changed, and its CRC-32 kept: its JFIF units byte, with the four density
    bytes after it set so that the CRC comes out as before (CRC-32 is affine
    over GF(2), so they solve 32 linear equations). The pixels stay; the
    file time is the original's. Returns the stream's old and new bytes."""
    with open(original, "rb") as f:
        data = bytearray(f.read())
    offset, length = stream_at(data)
    assert data[offset + 6:offset + 11] == b"JFIF\0", "a JFIF stream"
    units, free = offset + 13, offset + 14

    def crc():
        return zlib.crc32(bytes(data[offset:offset + length]))

    before, old = crc(), bytes(data[offset:offset + length])
    data[units] ^= 0x01
    target = crc() ^ before
    basis = {}  # leading bit: (effect on the CRC, the free bits that make it)
    for i in range(32):
        data[free + i // 8] ^= 1 << (i % 8)
        effect, made = crc() ^ before ^ target, 1 << i
        data[free + i // 8] ^= 1 << (i % 8)
        while effect:
            top = effect.bit_length() - 1
            if top not in basis:
                basis[top] = (effect, made)
                break
            effect, made = effect ^ basis[top][0], made ^ basis[top][1]
    chosen = 0
    for top in sorted(basis, reverse=True):
        if (target >> top) & 1:
            target ^= basis[top][0]
            chosen ^= basis[top][1]
    for i in range(32):
        if (chosen >> i) & 1:
            data[free + i // 8] ^= 1 << (i % 8)
    assert crc() == before, "the CRC-32 is kept"
    with open(path, "wb") as f:
        f.write(data)
    times = os.stat(original)
    os.utime(path, ns=(times.st_atime_ns, times.st_mtime_ns))
    return old, bytes(data[offset:offset + length])


def label_stream(data):
    return struct.unpack_from("<QI", data, 72)


def first_tile_stream(data):
    (table,) = struct.unpack_from("<Q", data, 56)
    (index,) = struct.unpack_from("<Q", data, table + 16)
    return struct.unpack_from("<QI", data, index)


def psnr(a, b):
    error = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if error == 0 else 10 * np.log10(255.0 ** 2 / error)


class DicomOutput(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory(prefix="nvx-e2e-dicom-")
        cls.folder = cls.holder.name
        cls.slides = {}
        for name, args in (("slide", ["--mpp", "0.25"]), ("0.499", ["--mpp", "0.499"]),
                           ("other", ["--mpp", "0.25", "--seed", "2"]),
                           ("no-mpp", [])):
            cls.slides[name] = runs.make_slide(NVXMAKE, ["--synthetic", f"{WIDTH}x{HEIGHT}"],
                                               os.path.join(cls.folder, name + ".nvx"), args)
        cls.thickness = os.path.join(cls.folder, "thickness.json")
        with open(cls.thickness, "w") as f:
            json.dump({"section_thickness_um": 4}, f)

    @classmethod
    def tearDownClass(cls):
        cls.holder.cleanup()

    def convert(self, slide, output, args):
        output = os.path.join(self.folder, output)
        done = run([self.slides[slide], output] + args)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(done.stdout.decode("utf-8").endswith(runs.COMPLETION), done.stdout)
        return output

    def test_instances_against_the_tiff_route(self):
        # (name, arguments after the paths, the instances, the level-0
        #  photometric); a name that says "from a file" has the section's
        #  thickness from a metadata file, not --section-thickness
        cases = [
            ("whole slide", ["2"], ["label", "level-0", "level-1", "overview", "thumbnail"],
             "RGB"),
            ("region", ["9", "40", "300", "200", "1100", "900"],
             ["label", "level-0", "level-1", "overview", "thumbnail"], "RGB"),
            ("copied tiles", ["2", "--tiles", "copy"],
             ["label", "level-0", "level-1", "overview", "thumbnail"], "YBR_FULL_422"),
            ("4:2:0", ["2", "--chroma", "420"],
             ["label", "level-0", "level-1", "overview", "thumbnail"], "YBR_FULL_422"),
            ("no label", ["2", "--no-label"], ["level-0", "level-1", "overview", "thumbnail"],
             "RGB"),
            ("copied tiles, thickness from a file", ["2", "--tiles", "copy"],
             ["label", "level-0", "level-1", "overview", "thumbnail"], "YBR_FULL_422"),
        ]
        for name, args, expected, photometric in cases:
            with self.subTest(name):
                tag = name.replace(" ", "-").replace(":", "").replace(",", "")
                dicom = (["--format", "dicom", "--dicom-metadata", self.thickness]
                         if name.endswith("from a file") else DICOM)
                folder = self.convert("slide", tag, args + dicom)
                tiff = self.convert("slide", tag + ".tif", args)
                self.assertEqual(instances(folder), [e + ".dcm" for e in expected])
                for instance in instances(folder):
                    path = os.path.join(folder, instance)
                    # The tools run without the sanitizer's runtime the test may have.
                    done = subprocess.run(["dciodvfy", path], capture_output=True, text=True,
                                          env=runs.CHILD_ENV)
                    errors = {line for line in (done.stdout + done.stderr).splitlines()
                              if line.startswith("Error")}
                    self.assertEqual(errors, set(), instance)
                    done = subprocess.run(["dcmdump", "-q", path], capture_output=True,
                                          env=runs.CHILD_ENV)
                    self.assertEqual((done.returncode, done.stderr), (0, b""), instance)

                levels, pictures = tiff_levels_and_pictures(tiff)
                self.assertEqual(len(levels), 2)
                uids = set()
                for k, (tiles, tables) in enumerate(levels):
                    dataset, frames = frames_of(os.path.join(folder, f"level-{k}.dcm"))
                    uids.add(dataset.SOPInstanceUID)
                    self.assertEqual(len(frames), len(tiles))
                    if k == 0:
                        self.assertEqual(dataset.PhotometricInterpretation, photometric)
                    # The thickness in mm in the pixel measures, in um as the
                    # imaged volume's depth.
                    measures = dataset.SharedFunctionalGroupsSequence[0].PixelMeasuresSequence[0]
                    self.assertEqual((measures.SliceThickness, dataset.ImagedVolumeDepth),
                                     (0.004, 4.0))
                    complete = [b"\xff\xdb" in t[:t.find(b"\xff\xda")] for t in tiles]
                    spliced = splice(tables, tiles) if tables is not None else []
                    for i, (frame, tile) in enumerate(zip(frames, tiles)):
                        want = tile if complete[i] else spliced[i]
                        self.assertTrue(want, f"level {k} tile {i} did not splice")
                        self.assertEqual(unpadded(frame), want, f"level {k} tile {i}")
                    # The Basic Offset Table, as these levels cannot pass
                    # 4 GiB, takes a reader straight to the first and the
                    # last frame; they and dcmtk's decode of them show the
                    # TIFF route's pixels.
                    last = len(tiles) - 1
                    path = os.path.join(folder, f"level-{k}.dcm")
                    kind, by_table = frames_by_table(path, [0, last])
                    self.assertEqual(kind, "basic", f"level {k}")
                    for i in (0, last):
                        self.assertEqual(by_table[i], frames[i], f"level {k} frame {i}")
                        want = tile_pixels(tiles[i] if complete[i] else spliced[i])
                        got = np.asarray(Image.open(io.BytesIO(by_table[i])).convert("RGB"))
                        np.testing.assert_array_equal(got, want, f"level {k} frame {i}")
                        np.testing.assert_array_equal(dcmtk_frame(path, i), want,
                                                      f"dcmtk, level {k} frame {i}")
                    # The copied level: its tiles are the stored streams, its
                    # edge tiles complete streams made from pixels.
                    if name == "copied tiles" and k == 0:
                        self.assertTrue(all(complete))
                for picture in expected:
                    if picture.startswith("level"):
                        continue
                    dataset, frames = frames_of(os.path.join(folder, picture + ".dcm"))
                    uids.add(dataset.SOPInstanceUID)
                    self.assertEqual(dataset.PhotometricInterpretation, "RGB")
                    shown = np.asarray(Image.open(io.BytesIO(frames[0])).convert("RGB"))
                    want, least = pictures[picture], 40
                    if picture == "thumbnail":
                        # No larger than the smallest level, whose size it
                        # takes here (the TIFF's is two or four times that):
                        # the TIFF's scaled down, within what a second
                        # resampling changes.
                        smallest = pydicom.dcmread(os.path.join(folder, "level-1.dcm"),
                                                   stop_before_pixels=True)
                        size = (smallest.TotalPixelMatrixColumns, smallest.TotalPixelMatrixRows)
                        self.assertLess(size[0], want.shape[1])
                        want = np.asarray(Image.fromarray(want).resize(size, Image.BOX))
                        least = 30
                    self.assertEqual(shown.shape, want.shape, picture)
                    self.assertGreater(psnr(shown, want), least, picture)
                self.assertEqual(len(uids), len(expected))

                # The same slide and options: the same bytes.
                again = self.convert("slide", tag + "-again", args + dicom)
                for instance in instances(folder):
                    with open(os.path.join(folder, instance), "rb") as a, \
                            open(os.path.join(again, instance), "rb") as b:
                        self.assertEqual(a.read(), b.read(), instance)

    def uids_of(self, folder):
        found = set()
        for instance in instances(folder):
            dataset = pydicom.dcmread(os.path.join(folder, instance), stop_before_pixels=True)
            found |= {dataset.StudyInstanceUID, dataset.SeriesInstanceUID,
                      dataset.SOPInstanceUID, dataset.FrameOfReferenceUID}
        return found

    def test_uids_follow_the_slide_and_the_choices(self):
        first = self.convert("slide", "uids-slide", ["2"] + DICOM)
        other = self.convert("other", "uids-other", ["2"] + DICOM)
        metadata = os.path.join(self.folder, "metadata.json")
        with open(metadata, "w") as f:
            json.dump({"patient_id": "P-7", "container_identifier": "S-42"}, f)
        described = self.convert("slide", "uids-described",
                                 ["2"] + DICOM + ["--dicom-metadata", metadata])
        # The thickness from the file is the same choice as from the option.
        with open(metadata, "w") as f:
            json.dump({"patient_id": "P-7", "container_identifier": "S-42",
                       "section_thickness_um": 4}, f)
        from_file = self.convert("slide", "uids-from-file",
                                 ["2", "--format", "dicom", "--dicom-metadata", metadata])
        thicker = self.convert("slide", "uids-thicker",
                               ["2", "--format", "dicom", "--section-thickness", "5"])
        # (name, folder): one study; the levels and the thumbnail in one
        # series, the label and the overview in another; every instance its
        # own UID.
        for name, folder in (("slide", first), ("other", other), ("described", described),
                             ("from file", from_file), ("thicker", thicker)):
            datasets = [pydicom.dcmread(os.path.join(folder, i), stop_before_pixels=True)
                        for i in instances(folder)]
            with self.subTest(name):
                self.assertEqual(len({d.StudyInstanceUID for d in datasets}), 1)
                pictures = {d.ImageType[2] in ("LABEL", "OVERVIEW"): set() for d in datasets}
                for d in datasets:
                    pictures[d.ImageType[2] in ("LABEL", "OVERVIEW")].add(d.SeriesInstanceUID)
                self.assertEqual(len(pictures[False]), 1)
                self.assertEqual(len(pictures[True]), 1)
                self.assertNotEqual(pictures[False], pictures[True])
                self.assertEqual(len({d.SOPInstanceUID for d in datasets}), len(datasets))
        self.assertEqual(self.uids_of(first) & self.uids_of(other), set())
        self.assertEqual(self.uids_of(first) & self.uids_of(described), set())
        self.assertEqual(self.uids_of(described), self.uids_of(from_file))
        self.assertEqual(self.uids_of(first) & self.uids_of(thicker), set())
        for instance in instances(described):
            dataset = pydicom.dcmread(os.path.join(described, instance), stop_before_pixels=True)
            self.assertEqual((dataset.PatientID, dataset.ContainerIdentifier), ("P-7", "S-42"))
        dataset = pydicom.dcmread(os.path.join(first, "level-0.dcm"), stop_before_pixels=True)
        self.assertEqual((dataset.PatientID, dataset.ContainerIdentifier), ("", "UNKNOWN"))
        self.assertEqual([float(v) for v in dataset.SharedFunctionalGroupsSequence[0]
                          .PixelMeasuresSequence[0].PixelSpacing], [0.00025, 0.00025])

    def test_metadata_that_readers_would_flag(self):
        # Values the old checks let through and dciodvfy or pydicom flag in
        # the instances: (fields, the rule the line names). Each is refused
        # before any work, with the field and the rule.
        cases = [
            ({"patient_name": "A^B^C^D^E^F"},
             "patient_name has more than five components separated by '^' in one group"),
            ({"specimen_description": "x\u0085y"},
             "specimen_description holds a control character, which it may not"),
            ({"patient_id": "\u00e9" * 64}, "patient_id is longer than 64 bytes"),
            ({"accession_number": "\u20ac" * 6}, "accession_number is longer than 16 bytes"),
            ({"illumination": "fluorescence"},
             "fluorescence illumination needs illumination_wavelength_nm or "
             "illumination_color"),
            ({"section_thickness_um": 1e-320},
             "section_thickness_um is too small for the instances to state as a positive "
             "number (the least is about 1.2e-38 micrometres)"),
        ]
        for number, (fields, rule) in enumerate(cases):
            with self.subTest(rule):
                metadata = os.path.join(self.folder, f"flagged-{number}.json")
                with open(metadata, "w") as f:
                    json.dump(fields, f)
                output = os.path.join(self.folder, f"flagged-{number}")
                done = run([self.slides["slide"], output, "2", "--format", "dicom",
                            "--dicom-metadata", metadata, "--section-thickness", "4"])
                self.assertEqual(done.returncode, 255, done.stderr)
                self.assertEqual(done.stderr.decode(),
                                 f"nvx2svs: error: {metadata}: {rule}\n")
                self.assertFalse(os.path.lexists(output))
        # The same thickness on the command line.
        output = os.path.join(self.folder, "flagged-option")
        done = run([self.slides["slide"], output, "2", "--format", "dicom",
                    "--section-thickness", "1e-320"])
        self.assertEqual(done.returncode, 255, done.stderr)
        self.assertIn(b"--section-thickness '1e-320' is not", done.stderr)
        # A container identifier of blanks is none: UNKNOWN, as for an empty one.
        metadata = os.path.join(self.folder, "blank-container.json")
        with open(metadata, "w") as f:
            json.dump({"container_identifier": "   ", "patient_name": "A^B^C^D^E"}, f)
        folder = self.convert("slide", "blank-container",
                              ["2", "--dicom-metadata", metadata] + DICOM)
        for instance in instances(folder):
            path = os.path.join(folder, instance)
            dataset = pydicom.dcmread(path, stop_before_pixels=True)
            self.assertEqual((dataset.ContainerIdentifier,
                              dataset.SpecimenDescriptionSequence[0].SpecimenIdentifier),
                             ("UNKNOWN", "UNKNOWN"), instance)
            done = subprocess.run(["dciodvfy", path], capture_output=True, text=True,
                                  env=runs.CHILD_ENV)
            self.assertEqual([line for line in (done.stdout + done.stderr).splitlines()
                              if line.startswith("Error")], [], instance)

    def test_the_optical_path_from_the_metadata(self):
        # (name, the metadata's optical path fields, the illumination's code,
        #  the wavelength written, the colour's code): brightfield unless the
        #  file says otherwise, every instance the same path.
        cases = [
            ("not said", None, "111744", None, "414298005"),
            ("brightfield", {"illumination": "brightfield"}, "111744", None, "414298005"),
            ("fluorescence by wavelength",
             {"illumination": "fluorescence", "illumination_wavelength_nm": 488}, "111743",
             488.0, None),
            ("fluorescence by colour and wavelength",
             {"illumination": "fluorescence", "illumination_wavelength_nm": 647.5,
              "illumination_color": "red"}, "111743", 647.5, "371240000"),
            ("fluorescence by colour",
             {"illumination": "fluorescence", "illumination_color": "blue"}, "111743", None,
             "405738005"),
        ]
        uids = {}
        for name, fields, method, wavelength, color in cases:
            with self.subTest(name):
                tag = "optical-" + name.replace(" ", "-")
                args = ["2"] + DICOM
                if fields is not None:
                    metadata = os.path.join(self.folder, tag + ".json")
                    with open(metadata, "w") as f:
                        json.dump(fields, f)
                    args += ["--dicom-metadata", metadata]
                folder = self.convert("slide", tag, args)
                for instance in instances(folder):
                    path = os.path.join(folder, instance)
                    done = subprocess.run(["dciodvfy", path], capture_output=True, text=True,
                                          env=runs.CHILD_ENV)
                    self.assertEqual([line for line in (done.stdout + done.stderr).splitlines()
                                      if line.startswith("Error")], [], instance)
                    optical = pydicom.dcmread(path, stop_before_pixels=True).OpticalPathSequence
                    self.assertEqual(len(optical), 1)
                    path_item = optical[0]
                    self.assertEqual(path_item.IlluminationTypeCodeSequence[0].CodeValue, method)
                    self.assertEqual(path_item.get("IlluminationWaveLength"), wavelength)
                    colors = path_item.get("IlluminationColorCodeSequence")
                    self.assertEqual(colors[0].CodeValue if colors else None, color, instance)
                uids[name] = self.uids_of(folder)
        # The same instances when brightfield is said as when nothing is;
        # instances of another path are others, with UIDs of their own.
        self.assertEqual(uids["not said"], uids["brightfield"])
        for name in ("fluorescence by wavelength", "fluorescence by colour and wavelength",
                     "fluorescence by colour"):
            self.assertEqual(uids["not said"] & uids[name], set(), name)
        self.assertEqual(uids["fluorescence by wavelength"] & uids["fluorescence by colour"],
                         set())

    def test_pixel_spacing_and_the_matrix_origin(self):
        """PixelSpacing is the decimal the TIFF's descriptions give as MPP
        (no float noise), and the origin with the orientation put every
        pixel of every level, the thumbnail too, at positive slide
        coordinates, the same place for each."""
        folder = self.convert("0.499", "geometry", ["2"] + DICOM)
        tiff = self.convert("0.499", "geometry.tif", ["2"])
        with tifffile.TiffFile(tiff) as t:
            mpp = t.pages[0].description.split("MPP = ")[1]
        self.assertEqual(mpp, "0.499000")
        origins = set()
        for name in ("level-0", "level-1", "thumbnail"):
            with self.subTest(name):
                ds = pydicom.dcmread(os.path.join(folder, name + ".dcm"),
                                     stop_before_pixels=True)
                spacing = (ds.SharedFunctionalGroupsSequence[0].PixelMeasuresSequence[0]
                           .PixelSpacing)
                if name == "level-0":
                    # As written, not as pydicom reads it back.
                    self.assertEqual([v.original_string for v in spacing],
                                     ["0.000499", "0.000499"])
                    self.assertEqual(float(spacing[0]) * 1000, float(mpp))
                origin = ds.TotalPixelMatrixOriginSequence[0]
                x0, y0 = float(origin.XOffsetInSlideCoordinateSystem), \
                    float(origin.YOffsetInSlideCoordinateSystem)
                origins.add((x0, y0))
                row, column = np.array(ds.ImageOrientationSlide[:3], dtype=float), \
                    np.array(ds.ImageOrientationSlide[3:], dtype=float)
                # The corners of the total pixel matrix (a pixel's top left
                # corner and the far one of the last).
                for r in (0, ds.TotalPixelMatrixRows):
                    for c in (0, ds.TotalPixelMatrixColumns):
                        x, y, _ = (np.array([x0, y0, 0]) + row * c * float(spacing[1])
                                   + column * r * float(spacing[0]))
                        self.assertGreaterEqual(min(x, y), -1e-9, (r, c))
        self.assertEqual(len(origins), 1)

    def test_uids_come_from_every_stored_byte_and_one_slide_is_one_study(self):
        # Slides that differ from "slide" in one byte of a stored stream
        # only, its CRC-32 and the file's time kept: the label, a tile.
        forged = {}
        for name, stream_at in (("label", label_stream), ("tile", first_tile_stream)):
            path = os.path.join(self.folder, f"forged-{name}.nvx")
            old, new = forged_copy(self.slides["slide"], path, stream_at)
            self.assertNotEqual(old, new)
            self.assertEqual(zlib.crc32(old), zlib.crc32(new))
            forged[name] = path

        def uids(folder):
            """{instance: (study, series, SOP instance, frame of reference,
            pyramid or None)}"""
            found = {}
            for instance in instances(folder):
                d = pydicom.dcmread(os.path.join(folder, instance), stop_before_pixels=True)
                pyramid = d.get((0x0008, 0x0019))  # PyramidUID, by tag: newer than some pydicoms
                found[instance] = (d.StudyInstanceUID, d.SeriesInstanceUID, d.SOPInstanceUID,
                                   d.FrameOfReferenceUID, pyramid.value if pyramid else None)
                self.assertEqual(d.file_meta.MediaStorageSOPInstanceUID, d.SOPInstanceUID)
            return found

        def convert(slide, output, args):
            done = run([slide, os.path.join(self.folder, output)] + args)
            self.assertEqual(done.returncode, 0, done.stderr)
            return uids(os.path.join(self.folder, output))

        report = os.path.join(self.folder, "same-1.json")
        first = convert(self.slides["slide"], "same-1", ["2", "--report", report] + DICOM)
        again = convert(self.slides["slide"], "same-2", ["2"] + DICOM)
        # The report names the study, the series and every instance file
        # with its SOP Instance UID, as the files hold them.
        with open(report) as f:
            facts = json.load(f)
        with open(os.path.join(SOURCE, "docs", "run-report.schema.json")) as f:
            jsonschema.validate(facts, json.load(f))
        self.assertEqual({(i["file"], i["sop_instance_uid"], i["series_instance_uid"])
                          for i in facts["dicom"]["instances"]},
                         {(name, u[2], u[1]) for name, u in first.items()})
        self.assertEqual([i["file"] for i in facts["dicom"]["instances"]],
                         ["level-0.dcm", "thumbnail.dcm", "level-1.dcm", "label.dcm",
                          "overview.dcm"])
        self.assertEqual(facts["dicom"]["study_instance_uid"], first["level-0.dcm"][0])
        self.assertEqual(facts["dicom"]["series_instance_uid"], first["level-0.dcm"][1])
        self.assertEqual(first, again, "the same slide and options give the same UIDs")
        studies = {u[0] for u in first.values()}
        self.assertEqual(len(studies), 1)
        # One pyramid: its levels share a PyramidUID, the pictures have none.
        self.assertEqual({i: u[4] is not None for i, u in first.items()},
                         {"label.dcm": False, "level-0.dcm": True, "level-1.dcm": True,
                          "overview.dcm": False, "thumbnail.dcm": False})
        self.assertEqual(len({u[4] for u in first.values() if u[4]}), 1)
        every = {v for u in first.values() for v in u if v}

        for name, path in forged.items():
            with self.subTest(f"a byte of the {name}"):
                other = convert(path, f"forged-{name}", ["2"] + DICOM)
                self.assertEqual(every & {v for u in other.values() for v in u if v}, set())

        # Options choose the series and the instances, never the study.
        for name, args in (("4:2:0", ["2", "--chroma", "420"]),
                           ("region", ["9", "40", "300", "200", "1100", "900"]),
                           ("no label", ["2", "--no-label"])):
            with self.subTest(name):
                other = convert(self.slides["slide"], "study-" + name.replace(" ", "-")
                                .replace(":", ""), args + DICOM)
                self.assertEqual({u[0] for u in other.values()}, studies)
                self.assertEqual({u[1] for u in other.values()} & {u[1] for u in first.values()},
                                 set())
                self.assertEqual({u[2] for u in other.values()} & {u[2] for u in first.values()},
                                 set())

    def test_refusals_and_the_earlier_folder(self):
        # Refused before anything is made: (output, slide, fake library or
        # None for ours, exit status, the one line of standard error). The
        # fake opens any path, so one with no file behind it stands for a
        # slide file whose time of writing the system does not give.
        missing = os.path.join(self.folder, "gone.nvx")
        given = ["--format", "dicom", "--dicom-metadata", self.thickness]
        cases = [
            ("no-mpp", self.slides["no-mpp"], DICOM, None, 255, NO_PIXEL_SIZE.format(
                self.slides["no-mpp"])),
            ("no-thickness", self.slides["slide"], ["--format", "dicom"], None, 255,
             NO_THICKNESS),
            ("thickness-differs", self.slides["slide"], given + ["--section-thickness", "5"],
             None, 255, THICKNESS_DIFFERS.format(self.thickness)),
            ("no-digest", self.slides["slide"], DICOM, "fake-without-NvxSlideDigest", 1,
             NO_DIGEST),
            ("no-time", missing, DICOM, "fake", 1, NO_TIME),
        ]
        for output, slide, args, fake, status, line in cases:
            with self.subTest(output):
                path = os.path.join(self.folder, output)
                done = run([slide, path, "2"] + args, fake=fake)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertEqual(done.stderr.decode(),
                                 line if fake is None else line.format(path, slide))
                self.assertFalse(os.path.lexists(path))
                self.assertEqual([n for n in os.listdir(self.folder)
                                  if n.startswith("." + output)], [])
        # The digest is made while the instances are written: a library that
        # has it but cannot make it fails the run at its end, and nothing is
        # published.
        path = os.path.join(self.folder, "digest-refused")
        env = dict(runs.CHILD_ENV, LC_ALL="C.UTF-8", NVXFAKE_DIGEST="refuse",
                   NVXFAKE_MPP="0.25", LD_LIBRARY_PATH=os.path.join(FAKE_ROOT, "fake"))
        done = subprocess.run([NVX2SVS, self.slides["slide"], path, "2"] + DICOM, env=env,
                              capture_output=True, timeout=300)
        self.assertEqual(done.returncode, 255, done.stderr)
        self.assertIn(b"the slide library gives no digest of the slide's content", done.stderr)
        self.assertFalse(os.path.lexists(path))
        # --mpp gives it; the same thickness from the option and the file is
        # given once.
        self.convert("no-mpp", "no-mpp", ["2", "--mpp", "0.5"] + DICOM)
        self.convert("slide", "thickness-twice", ["2"] + given + ["--section-thickness", "4"])
        # A metadata file that cannot be used refuses the run before any work.
        metadata = os.path.join(self.folder, "bad.json")
        with open(metadata, "w") as f:
            json.dump({"colour": "blue"}, f)
        output = os.path.join(self.folder, "bad-metadata")
        done = run([self.slides["slide"], output, "2", "--dicom-metadata", metadata] + DICOM)
        self.assertEqual(done.returncode, 255)
        lines = done.stderr.decode().splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith("nvx2svs: error: ") and metadata in lines[0], lines)
        self.assertFalse(os.path.lexists(output))

        # An earlier folder of ours is replaced whole.
        report = os.path.join(self.folder, "report.json")
        folder = self.convert("slide", "replaced", ["2"] + DICOM)
        self.assertIn("label.dcm", instances(folder))
        self.convert("slide", "replaced", ["2", "--no-label", "--report", report] + DICOM)
        self.assertNotIn("label.dcm", instances(folder))
        with open(report) as f:
            facts = json.load(f)
        self.assertEqual((facts["format"], facts["output_folder"], facts["output_replaced"],
                          facts["options"]["section_thickness"]), ("dicom", folder, True, 4))

        # Anything else at the path is left as it is.
        plain = os.path.join(self.folder, "plain")
        with open(plain, "w") as f:
            f.write("mine")
        theirs = os.path.join(self.folder, "theirs")
        os.mkdir(theirs)
        with open(os.path.join(theirs, "notes.txt"), "w") as f:
            f.write("mine")
        ours = os.path.join(self.folder, "ours-touched")
        self.convert("slide", "ours-touched", ["2"] + DICOM)
        with open(os.path.join(ours, "notes.txt"), "w") as f:
            f.write("mine")

        def held(path):
            if os.path.isdir(path):
                return sorted(os.listdir(path))
            with open(path) as f:
                return f.read()

        for path in (plain, theirs, ours):
            with self.subTest(path):
                before = held(path)
                done = run([self.slides["slide"], path, "2"] + DICOM)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertIn(f"cannot create {path}: ".encode(), done.stderr)
                self.assertEqual(held(path), before)


if __name__ == "__main__":
    NVX2SVS, NVXMAKE, SPLICE, FAKE_ROOT = sys.argv[1:5]
    del sys.argv[1:5]
    unittest.main()
