"""wsm_instances_test.py - whole-slide instances of each kind, written by
write_test_instances from synthetic tiles: dciodvfy finds no error in
them, dcmdump and pydicom read every one, and their frames decode to the
pixels the tiles themselves decode to, or, for the pictures encoded from
pixels, close to those pixels.

usage: wsm_instances_test.py <write_test_instances>
"""

import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np
import pydicom
from PIL import Image
from pydicom.encaps import generate_pixel_data_frame
from pydicom.pixel_data_handlers.util import convert_color_space

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from dicom_frames import frames_by_table  # noqa: E402

WRITER = None
IMAGE_TYPES = {
    "volume": ["ORIGINAL", "PRIMARY", "VOLUME", "NONE"],
    "resampled": ["DERIVED", "PRIMARY", "VOLUME", "RESAMPLED"],
    "label": ["ORIGINAL", "PRIMARY", "LABEL", "NONE"],
    "overview": ["ORIGINAL", "PRIMARY", "OVERVIEW", "NONE"],
    "thumbnail": ["DERIVED", "PRIMARY", "THUMBNAIL", "RESAMPLED"],
    "volume444": ["ORIGINAL", "PRIMARY", "VOLUME", "NONE"],
}


class WsmInstances(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="nvx-dicom-")
        subprocess.run([WRITER, cls.folder], check=True, timeout=120)
        cls.instances = {}
        cls.matches = {}
        with open(os.path.join(cls.folder, "instances.txt"), encoding="ascii") as listing:
            for line in listing:
                name, frames, width, height, photometric, match = line.split()
                cls.instances[name] = (int(frames), int(width), int(height), photometric)
                cls.matches[name] = match

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def path(self, name):
        return os.path.join(self.folder, name + ".dcm")

    def expected_frames(self, name):
        frames, width, height, _ = self.instances[name]
        raw = np.fromfile(os.path.join(self.folder, name + ".rgb"), dtype=np.uint8)
        return raw.reshape(frames, height, width, 3)

    def test_every_kind_was_written(self):
        self.assertEqual(sorted(self.instances), sorted(IMAGE_TYPES))

    def test_the_same_bytes_every_run(self):
        again = tempfile.mkdtemp(prefix="nvx-dicom-")
        try:
            subprocess.run([WRITER, again], check=True, timeout=120)
            for name in self.instances:
                with self.subTest(name):
                    with open(self.path(name), "rb") as first, \
                         open(os.path.join(again, name + ".dcm"), "rb") as second:
                        self.assertEqual(first.read(), second.read())
        finally:
            shutil.rmtree(again)

    def test_one_study_and_two_series_with_uids_of_their_own(self):
        datasets = [pydicom.dcmread(self.path(name)) for name in self.instances]
        self.assertEqual(len({ds.StudyInstanceUID for ds in datasets}), 1)
        # The pyramid's series, and the label's and overview's.
        series = {(ds.SeriesInstanceUID, ds.SeriesNumber): set() for ds in datasets}
        for ds in datasets:
            series[(ds.SeriesInstanceUID, ds.SeriesNumber)].add(ds.ImageType[2])
        self.assertEqual(sorted((number, sorted(kinds)) for (_, number), kinds in series.items()),
                         [(1, ["THUMBNAIL", "VOLUME"]), (2, ["LABEL", "OVERVIEW"])])
        self.assertEqual(len({ds.FrameOfReferenceUID for ds in datasets}), 1)
        instances = {ds.SOPInstanceUID for ds in datasets}
        self.assertEqual(len(instances), len(datasets))
        for ds in datasets:
            self.assertEqual(ds.file_meta.MediaStorageSOPInstanceUID, ds.SOPInstanceUID)
            for uid in (ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.SOPInstanceUID):
                self.assertRegex(uid, r"^2\.25\.(0|[1-9][0-9]*)$")
                self.assertLessEqual(len(uid), 64)

    def test_metadata_from_a_file_in_utf_8(self):
        folder = tempfile.mkdtemp(prefix="nvx-dicom-")
        try:
            metadata = os.path.join(folder, "metadata.json")
            with open(metadata, "w", encoding="utf-8") as out:
                out.write('{"patient_id": "ID-7", "patient_name": "M\u00fcller^J\u00fcrgen",'
                          ' "container_identifier": "Gl\u00e4schen 3"}')
            subprocess.run([WRITER, folder, metadata], check=True, timeout=120)
            path = os.path.join(folder, "volume.dcm")
            ds = pydicom.dcmread(path)
            self.assertEqual(ds.SpecificCharacterSet, "ISO_IR 192")
            self.assertEqual(str(ds.PatientName), "M\u00fcller^J\u00fcrgen")
            self.assertEqual(ds.PatientID, "ID-7")
            self.assertEqual(ds.ContainerIdentifier, "Gl\u00e4schen 3")
            self.assertEqual(ds.SpecimenDescriptionSequence[0].SpecimenIdentifier, "Gl\u00e4schen 3")
            # Left out of the file: empty, and the specimen has no description.
            self.assertEqual(ds.AccessionNumber, "")
            self.assertNotIn("SpecimenShortDescription", ds.SpecimenDescriptionSequence[0])
            run = subprocess.run(["dciodvfy", path], capture_output=True, text=True, timeout=60)
            self.assertEqual([line for line in (run.stdout + run.stderr).splitlines()
                              if line.startswith("Error")], [])
            with open(metadata, "w", encoding="utf-8") as out:
                out.write('{"patient_id": "ID-7", "birth_date": "19700101"}')
            run = subprocess.run([WRITER, folder, metadata], capture_output=True, text=True,
                                 timeout=120)
            self.assertNotEqual(run.returncode, 0)
            self.assertIn(metadata + ': unknown field "birth_date"', run.stderr)
        finally:
            shutil.rmtree(folder)

    def test_dciodvfy_finds_no_error(self):
        for name in self.instances:
            with self.subTest(name):
                run = subprocess.run(["dciodvfy", self.path(name)], capture_output=True,
                                     text=True, timeout=60)
                lines = (run.stdout + run.stderr).splitlines()
                self.assertIn("VLWholeSlideMicroscopyImage", lines)
                errors = [line for line in lines if line.startswith("Error")]
                self.assertEqual(errors, [])
                warnings = {line for line in lines if line.startswith("Warning")}
                self.assertLessEqual(warnings, {
                    "Warning - Missing attribute or value that would be needed to build "
                    f"DICOMDIR - Study {what}" for what in ("Date", "Time", "ID")})

    def test_dcmdump_reads_every_instance(self):
        for name, (frames, _, _, photometric) in self.instances.items():
            with self.subTest(name):
                run = subprocess.run(["dcmdump", "-q", "+P", "0028,0004", "+P", "0028,0008",
                                      "+P", "0008,0008", self.path(name)],
                                     capture_output=True, text=True, timeout=60)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(run.stderr, "")
                self.assertIn(f"[{photometric}]", run.stdout)
                self.assertIn(f"IS [{frames}]", run.stdout)
                self.assertIn("[" + "\\".join(IMAGE_TYPES[name]) + "]", run.stdout)

    def test_pydicom_reads_the_attributes_and_frames(self):
        for name, (frames, width, height, photometric) in self.instances.items():
            with self.subTest(name):
                ds = pydicom.dcmread(self.path(name))
                self.assertEqual(ds.file_meta.TransferSyntaxUID, "1.2.840.10008.1.2.4.50")
                self.assertEqual(ds.SOPClassUID, "1.2.840.10008.5.1.4.1.1.77.1.6")
                self.assertEqual(list(ds.ImageType), IMAGE_TYPES[name])
                self.assertEqual(ds.PhotometricInterpretation, photometric)
                self.assertEqual((ds.NumberOfFrames, ds.Columns, ds.Rows), (frames, width, height))
                self.assertEqual(ds.DimensionOrganizationType, "TILED_FULL")
                self.assertEqual(ds.PatientName, "Doe^Jane")
                self.assertEqual(ds.ContainerIdentifier, "SLIDE-42")
                shared = ds.SharedFunctionalGroupsSequence[0]
                self.assertEqual(list(shared.WholeSlideMicroscopyImageFrameTypeSequence[0]
                                      .FrameType), IMAGE_TYPES[name])
                self.assertNotIn("PerFrameFunctionalGroupsSequence", ds)
                if name in ("label", "overview"):
                    self.assertNotIn("PixelSpacing", shared.PixelMeasuresSequence[0])
                else:
                    # 600 x 400 pixels of 0.25 um, whatever the level's size.
                    spacing = [float(v) for v in shared.PixelMeasuresSequence[0].PixelSpacing]
                    total = (ds.TotalPixelMatrixRows, ds.TotalPixelMatrixColumns)
                    self.assertAlmostEqual(spacing[0] * total[0], 0.1)
                    self.assertAlmostEqual(spacing[1] * total[1], 0.15)
                    self.assertAlmostEqual(ds.ImagedVolumeWidth, 0.15, places=6)
                    self.assertAlmostEqual(ds.ImagedVolumeHeight, 0.1, places=6)

    def test_frames_decode_as_the_tiles(self):
        for name, (frames, _, _, photometric) in self.instances.items():
            with self.subTest(name):
                ds = pydicom.dcmread(self.path(name))
                expected = self.expected_frames(name)
                streams = list(generate_pixel_data_frame(ds.PixelData, frames))
                self.assertEqual(len(streams), frames)
                decoded = np.stack([np.asarray(Image.open(io.BytesIO(stream)).convert("RGB"))
                                    for stream in streams])
                if self.matches[name] == "exact":
                    np.testing.assert_array_equal(decoded, expected)
                else:
                    # A picture encoded from these pixels at quality 90:
                    # close on average, with ringing only beside the sharp
                    # edges between glass and tissue. Read with the wrong
                    # colour transform it would be off by tens everywhere.
                    difference = np.abs(decoded.astype(int) - expected.astype(int))
                    self.assertLess(difference.mean(), 2.5)
                    self.assertLessEqual(difference.max(), 48)
                    self.assertEqual(photometric, "RGB")
                    np.testing.assert_array_equal(ds.pixel_array.reshape(expected.shape), decoded)
                    continue
                # pydicom's own decode; it gives YCbCr frames as YCbCr, which
                # its conversion (in floating point) turns into RGB within one
                # step of libjpeg's.
                pixels = ds.pixel_array.reshape(expected.shape)
                if photometric.startswith("YBR"):
                    pixels = convert_color_space(pixels, "YBR_FULL", "RGB", per_frame=True)
                    difference = np.abs(pixels.astype(int) - expected.astype(int))
                    self.assertLessEqual(difference.max(), 1)
                else:
                    np.testing.assert_array_equal(pixels, expected)

    def test_the_offset_table_leads_to_each_frame(self):
        # The resampled level is written with the Extended Offset Table,
        # every other instance with the Basic one (filled ahead or at the end).
        for name, (frames, _, _, _) in self.instances.items():
            with self.subTest(name):
                kind, by_table = frames_by_table(self.path(name))
                self.assertEqual(kind, "extended" if name == "resampled" else "basic")
                walked = list(generate_pixel_data_frame(pydicom.dcmread(self.path(name))
                                                        .PixelData, frames))
                self.assertEqual([by_table[k] for k in range(frames)], walked)

    def test_icc_profile_is_read_by_littlecms(self):
        from PIL import ImageCms
        ds = pydicom.dcmread(self.path("volume"))
        profile = ImageCms.ImageCmsProfile(io.BytesIO(ds.OpticalPathSequence[0].ICCProfile))
        self.assertEqual(ImageCms.getProfileDescription(profile).strip(), "sRGB")
        srgb = ImageCms.createProfile("sRGB")
        picture = Image.new("RGB", (1, 1), (200, 120, 40))
        same = ImageCms.profileToProfile(picture, profile, srgb)
        for ours, theirs in zip(same.getpixel((0, 0)), (200, 120, 40)):
            self.assertLessEqual(abs(ours - theirs), 1)


if __name__ == "__main__":
    WRITER = sys.argv[1]
    unittest.main(argv=sys.argv[:1], verbosity=2)
