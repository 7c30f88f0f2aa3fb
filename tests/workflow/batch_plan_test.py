"""batch_plan_test.py - the batch's plan and report on their own, without
Snakemake: sheet values held to the converter's number rules, the
converter's options as settings and sheet columns (the pictures left out,
de-identification and the spellings of yes and no among them), sheets that
cannot be read, names that collide or do not fit, the report's links and
CSV for names that look like something else, one name in two formats and
the names an earlier batch gave a slide's files, and pictures left out that
the report never shows and the plan takes from earlier records; format
dicom, dicom_metadata and the PACS settings, and the report's DICOM rows.

usage: batch_plan_test.py
"""

import csv
import json
import os
import sys
import tempfile
import unittest
import urllib.parse

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "workflow", "scripts"))
import batch_plan  # noqa: E402
import batch_report  # noqa: E402


class SheetValues(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="nvx-plan-")
        self.dir = self.folder.name
        with open(os.path.join(self.dir, "a.nvx"), "wb") as f:
            f.write(b"slide")

    def tearDown(self):
        self.folder.cleanup()

    def planned_row(self, environment):
        """The one row of the sample sheet in `environment`, as the batch
        plans it with the settings there."""
        setting = lambda key: environment.get("NVX_BATCH_" + key.upper())  # noqa: E731
        [row] = batch_plan.check(batch_plan.read_sheet(
            environment["NVX_BATCH_SAMPLES"], self.dir, "4", batch_plan.option_settings(setting),
            deidentify=batch_plan.deidentified(setting)), os.path.join(self.dir, "out"))
        return row

    def sheet(self, text, encoding="utf-8"):
        path = os.path.join(self.dir, "sheet.csv")
        with open(path, "w", encoding=encoding, newline="") as f:
            f.write(text)
        return path

    def rows(self, text):
        entries = batch_plan.read_sheet(self.sheet(text), self.dir, "4")
        return batch_plan.check(entries, os.path.join(self.dir, "out"))

    def test_region_values_follow_the_converters_rules(self):
        good = ["10", "0", "0", "100", "100"]
        # (column, value, accepted as): None where the row must fail
        cases = [
            ("x", "1e3", None), ("x", "1_000", None), ("x", "１２", None), ("x", "nan", None),
            ("x", "1.5", None), ("x", "", None), ("x", "2147483648", None), ("x", "-5", "-5"),
            ("x", "+7", "7"), ("width", "-1", None), ("height", "0x10", None),
            ("scale", "nan", None), ("scale", "inf", None), ("scale", "1e1", None),
            ("scale", "0", None), ("scale", "80.5", None), ("scale", "2.5", "2.5"),
            ("scale", ".5", ".5"), ("scale", "80", "80"), ("scale", "٣", None),
        ]
        for column, value, accepted in cases:
            with self.subTest(column=column, value=value):
                region = dict(zip(batch_plan.REGION_COLUMNS, good), **{column: value})
                text = ("slide,scale,x,y,width,height\n"
                        f"a.nvx,{','.join(region[c] for c in batch_plan.REGION_COLUMNS)}\n")
                [row] = self.rows(text)
                if accepted is None:
                    self.assertIsNotNone(row["reason"])
                    self.assertIsNone(row["name"])
                else:
                    self.assertIsNone(row["reason"])
                    self.assertEqual(row["region"][batch_plan.REGION_COLUMNS.index(column)],
                                     accepted)
                    self.assertEqual(row["layers"], "9")  # a region is nine layers

    def test_layers(self):
        for value, accepted in [("3", "3"), ("9", "9"), ("0", None), ("10", None),
                                ("2.5", None), ("²", None), ("３", None), ("1e0", None)]:
            with self.subTest(value=value):
                [row] = self.rows(f"slide,layers\na.nvx,{value}\n")
                self.assertEqual(row["layers"] if not row["reason"] else None, accepted)

    def test_converter_options_from_the_sheet_and_the_batch_setting(self):
        # (the option, the batch's setting, the row's cell, the options the
        # slide gets, or the reason its row fails; a bad setting stops the
        # batch). The rules themselves are checked against the converter's
        # in convert_job.
        bad = "mpp must be a number above 0 (about 1.2e-38 at least) and up to 1000"
        cpus = "threads must be a whole number of CPUs, at least 1"
        quality = "quality must be a JPEG quality, a whole number from 1 to 100"
        cases = [
            ("mpp", "", "0.25", {"mpp": "0.25"}), ("mpp", "", " 1e-1 ", {"mpp": "1e-1"}),
            ("mpp", "", "", {}), ("mpp", "0.5", "", {"mpp": "0.5"}),
            ("mpp", "0.5", "0.3", {"mpp": "0.3"}),
            ("mpp", "", "0", bad), ("mpp", "", "1000.001", bad), ("mpp", "", "0,25", bad),
            ("mpp", "", "１", bad), ("mpp", "", "--no-label", bad), ("mpp", "", "--mpp=0.3", bad),
            ("mpp", "", "0.3 --threads 2", bad), ("mpp", "0.5", "abc", bad),
            ("threads", "", "2", {"threads": "2"}), ("threads", "4", "", {"threads": "4"}),
            ("threads", "4", "01", {"threads": "1"}), ("threads", "", "0", cpus),
            ("threads", "", "1.5", cpus), ("threads", "", "２", cpus),
            ("threads", "", "2 --tiles=copy", cpus), ("threads", "", "2147483648", cpus),
            ("tiles", "", "copy", {"tiles": "copy"}), ("tiles", "copy", "", {"tiles": "copy"}),
            ("tiles", "", "Copy", "tiles must be copy, not 'Copy'"),
            ("tiles", "", "decode", "tiles must be copy, not 'decode'"),
            ("quality", "", "100", {"quality": "100"}), ("quality", "90", "", {"quality": "90"}),
            ("quality", "90", "1", {"quality": "1"}), ("quality", "", "101", quality),
            ("quality", "", "0", quality), ("quality", "", "80%", quality),
            ("chroma", "", "420", {"chroma": "420"}), ("chroma", "420", "", {"chroma": "420"}),
            ("chroma", "", "444", "chroma must be 420, not '444'"),
            ("chroma", "", "4:2:0", "chroma must be 420, not '4:2:0'"),
            ("format", "", "dicom", {"format": "dicom"}),
            ("format", "dicom", "", {"format": "dicom"}),
            ("format", "dicom", "tiff", {"format": "tiff"}),
            ("format", "", "DICOM", "format must be tiff or dicom, not 'DICOM'"),
            ("format", "", "svs", "format must be tiff or dicom, not 'svs'"),
            ("format", "", "dicom --no-label", "format must be tiff or dicom"),
        ]
        for name, setting, cell, expected in cases:
            with self.subTest(name=name, setting=setting, cell=cell):
                environment = {"NVX_BATCH_INPUT": self.dir, "NVX_BATCH_" + name.upper(): setting,
                               "NVX_BATCH_SAMPLES": self.sheet(
                                   f'slide,{name.upper()}\na.nvx,"{cell}"\n')}
                self.assertIsNone(batch_plan.check_settings(environment))
                row = self.planned_row(environment)
                if isinstance(expected, str):
                    self.assertIn(expected, row["reason"] or "")
                    self.assertIn(repr(cell.strip()), row["reason"])
                    self.assertIsNone(row["name"])
                else:
                    self.assertIsNone(row["reason"])
                    self.assertEqual(row["options"], expected)
                    # Each value inside its option's one word.
                    self.assertEqual(batch_plan.option_words(row["options"]),
                                     [f"--{name}={value}" for name, value in expected.items()])
        for name, setting, line in [
                ("mpp", "0", f"{bad} (microns per pixel), not '0'"),
                ("mpp", "--no-label", f"{bad} (microns per pixel), not '--no-label'"),
                ("mpp", "0.25 --mpp=3", f"{bad} (microns per pixel), not '0.25 --mpp=3'"),
                ("threads", "all", f"{cpus}, not 'all'"),
                ("tiles", "copy --no-label", "tiles must be copy, not 'copy --no-label'"),
                ("quality", "high", f"{quality}, not 'high'"),
                ("chroma", "yes", "chroma must be 420, not 'yes'"),
                ("format", "dcm", "format must be tiff or dicom, not 'dcm'")]:
            with self.subTest(name=name, setting=setting):
                self.assertEqual(batch_plan.check_settings({"NVX_BATCH_" + name.upper(): setting}),
                                 f"the {name} setting: {line}")
        [scanned] = batch_plan.scan(self.dir, "4", {"mpp": "0.7"})
        self.assertEqual(scanned["options"], {"mpp": "0.7"})

    def test_dicom_metadata_and_the_pacs(self):
        # (settings, the row's cells, the slide's options and output, or the
        # reason its row fails, or the line that stops the batch)
        need = "dicom_metadata needs format dicom"
        pacs = "the pacs setting: pacs must be http://HOST[:PORT] or https://HOST[:PORT]"
        meta = os.path.join(self.dir, "m.json")
        cases = [
            ({}, {"format": "dicom", "dicom_metadata": "m.json"},
             ({"format": "dicom", "dicom_metadata": meta}, "a.dicom")),
            ({"format": "dicom", "dicom_metadata": "/x/p --no-label.json"}, {},
             ({"format": "dicom", "dicom_metadata": "/x/p --no-label.json"}, "a.dicom")),
            ({}, {"dicom_metadata": "m.json"}, need),
            ({"format": "dicom"}, {"format": "tiff", "dicom_metadata": "m.json"}, need),
            ({"dicom_metadata": "/m.json"}, {}, f"the dicom_metadata setting: {need}"),
            ({"format": "dicom", "pacs": "http://127.0.0.1:8042"}, {},
             ({"format": "dicom"}, "a.dicom")),
            ({"pacs": "https://pacs.example.org/", "pacs_api": "stowrs",
              "dicomweb_root": "/rs/aets/A"}, {}, ({}, "a.svs")),
            ({"pacs": "http://[::1]:80"}, {}, ({}, "a.svs")),
            ({"pacs": "javascript:alert(1)"}, {}, f"{pacs} (the scheme is http or https)"),
            ({"pacs": "file:///etc/passwd"}, {}, f"{pacs} (the scheme is http or https)"),
            ({"pacs": "HTTP://h"}, {}, f"{pacs} (the scheme is http or https)"),
            ({"pacs": "http://h/path"}, {}, f"{pacs} (a host and a port alone"),
            ({"pacs": "http://user:pw@h"}, {}, f"{pacs} (a host and a port alone"),
            ({"pacs": "http://h:8042?x=1"}, {}, f"{pacs} (a host and a port alone"),
            ({"pacs": "http://h:0"}, {}, f"{pacs} (the port is a number from 1 to 65535"),
            ({"pacs": "http://h:8042 --x"}, {}, f"{pacs} (a host and a port alone"),
            ({"pacs": "http://h_h"}, {}, f"{pacs} ('h_h' is not a host name or address)"),
            ({"pacs": "http://h", "pacs_api": "dicomweb"}, {},
             "the pacs_api setting: pacs_api must be orthanc or stowrs, not 'dicomweb'"),
            ({"pacs": "http://h", "dicomweb_root": "dicom-web"}, {},
             "the dicomweb_root setting: dicomweb_root must be a path"),
            ({"pacs": "http://h", "dicomweb_root": "/a/../b"}, {},
             "the dicomweb_root setting: dicomweb_root must be a path"),
            ({"pacs_api": "stowrs"}, {}, "the pacs_api setting needs a pacs setting"),
            ({"pacs_timeout": "60"}, {}, "the pacs_timeout setting needs a pacs setting"),
            ({"pacs": "http://h", "pacs_timeout": " 60 "}, {}, ({}, "a.svs")),
            *(({"pacs": "http://h", "pacs_timeout": value}, {},
               "the pacs_timeout setting: pacs_timeout must be a whole number of seconds from 1 "
               f"to 604800, not {value!r}") for value in ("0", "1e3", "-5", "604801", "2.5")),
            # A de-identified batch takes no patient details, from a setting or a cell.
            ({"format": "dicom", "deidentify": "yes", "dicom_metadata": "/m.json"}, {},
             "the dicom_metadata setting: the batch is de-identified: no patient details"),
            ({"format": "dicom", "deidentify": "yes"}, {"dicom_metadata": "m.json"},
             "dicom_metadata is given, but the batch is de-identified: no patient details go "
             "into its slides"),
            ({"format": "dicom", "deidentify": "yes"}, {},
             ({"format": "dicom", "no_label": "true", "no_macro": "true"}, "a.dicom")),
            # The section's thickness describes instances too, and is no
            # patient's detail.
            ({"format": "dicom", "deidentify": "yes"}, {"section_thickness": " 3.5 "},
             ({"format": "dicom", "no_label": "true", "no_macro": "true",
               "section_thickness": "3.5"}, "a.dicom")),
            ({}, {"section_thickness": "4"}, "section_thickness needs format dicom"),
            ({"section_thickness": "4"}, {},
             "the section_thickness setting: section_thickness needs format dicom"),
            ({"format": "dicom"}, {"section_thickness": "0"},
             "section_thickness must be a number above 0 (about 1.2e-38 at least) and up to "
             "1000 (microns), not '0'"),
        ]
        for settings, cells, expected in cases:
            with self.subTest(settings=settings, cells=cells):
                environment = {"NVX_BATCH_" + k.upper(): v for k, v in settings.items()}
                environment["NVX_BATCH_INPUT"] = self.dir
                environment["NVX_BATCH_SAMPLES"] = self.sheet(
                    "slide," + ",".join(cells) + "\na.nvx," + ",".join(cells.values()) + "\n")
                problem = batch_plan.check_settings(environment)
                if isinstance(expected, str) and expected.startswith("the "):
                    self.assertIsNotNone(problem)
                    self.assertTrue(problem.startswith(expected), problem)
                    continue
                self.assertIsNone(problem)
                pacs = batch_plan.pacs_settings(lambda name: settings.get(name))
                if pacs:
                    self.assertEqual(pacs["timeout"], int(settings.get("pacs_timeout") or 3600))
                row = self.planned_row(environment)
                if isinstance(expected, str):
                    self.assertEqual(row["reason"], expected)
                    continue
                self.assertIsNone(row["reason"])
                self.assertEqual((row["options"], batch_plan.output_name(row)), expected)
                if "dicom_metadata" in row["options"]:  # the path is one word
                    self.assertIn(f"--dicom-metadata={row['options']['dicom_metadata']}",
                                  batch_plan.option_words(row["options"]))
        # An output in the way that is not a folder the converter made.
        out = os.path.join(self.dir, "out")
        os.makedirs(os.path.join(out, "a.dicom"))
        for marker, reason in ((False, "a.dicom is in the output folder and is not a folder "
                                       "of DICOM instances the converter made"), (True, None)):
            if marker:
                open(os.path.join(out, "a.dicom", batch_plan.FOLDER_MARKER), "w").close()
            [row] = batch_plan.check(batch_plan.scan(self.dir, "4", {"format": "dicom"}), out)
            self.assertEqual(row["reason"], reason)

    def test_pictures_left_out(self):
        # (settings, the row's no_label and no_macro cells, the options the
        # slide gets or the reason its row fails, or the line that stops the
        # batch). Yes and no: true/false, yes/no, 1/0, letter case and blanks
        # aside; empty leaves the setting.
        spelling = "must be true or false (yes or no, 1 or 0), not"
        conflict = "but the batch is de-identified"
        cases = [
            ({"no_label": "yes"}, ("", ""), {"no_label": "true"}),
            ({}, ("", " TRUE "), {"no_macro": "true"}),
            ({"no_label": "1", "no_macro": "No"}, ("0", ""),
             {"no_label": "false", "no_macro": "false"}),
            ({"deidentify": "true"}, ("", ""), {"no_label": "true", "no_macro": "true"}),
            ({"deidentify": "Yes", "no_label": "1"}, ("yes", ""),
             {"no_label": "true", "no_macro": "true"}),
            ({"deidentify": "no"}, ("", ""), {}),
            ({"deidentify": "1"}, ("false", ""), f"no_label is false, {conflict}"),
            ({"deidentify": "1"}, ("", "0"), f"no_macro is false, {conflict}"),
            ({}, ("on", ""), f"no_label {spelling} 'on'"),
            ({}, ("", "y"), f"no_macro {spelling} 'y'"),
            ({}, ("--no-label", ""), f"no_label {spelling} '--no-label'"),
            ({"deidentify": "1"}, ("true --mpp=3", ""), f"no_label {spelling} 'true --mpp=3'"),
            ({"deidentify": "maybe"}, ("", ""),
             f"the deidentify setting: deidentify {spelling} 'maybe'"),
            ({"no_macro": "2"}, ("", ""), f"the no_macro setting: no_macro {spelling} '2'"),
            ({"deidentify": "true", "no_macro": "false"}, ("", ""),
             "the no_macro setting: false would keep the macro of a batch that is "
             "de-identified (deidentify=true)"),
        ]
        for settings, (label, macro), expected in cases:
            with self.subTest(settings=settings, label=label, macro=macro):
                environment = {"NVX_BATCH_" + k.upper(): v for k, v in settings.items()}
                environment.update(NVX_BATCH_INPUT=self.dir, NVX_BATCH_SAMPLES=self.sheet(
                    f'slide,No_Label,no_macro\na.nvx,"{label}","{macro}"\n'))
                stopped = batch_plan.check_settings(environment)
                if isinstance(expected, str) and expected.startswith("the "):
                    self.assertEqual(stopped, expected)
                    continue
                self.assertIsNone(stopped)
                setting = lambda name: environment.get("NVX_BATCH_" + name.upper())  # noqa
                [row] = batch_plan.check(batch_plan.read_sheet(
                    environment["NVX_BATCH_SAMPLES"], self.dir, "4",
                    batch_plan.option_settings(setting),
                    deidentify=batch_plan.deidentified(setting)), os.path.join(self.dir, "out"))
                if isinstance(expected, str):
                    self.assertIn(expected, row["reason"] or "")
                    self.assertIsNone(row["name"])
                    continue
                self.assertIsNone(row["reason"])
                self.assertEqual(row["options"], expected)
                # What the converter is given, and what the report hides.
                self.assertEqual(batch_plan.option_words(row["options"]),
                                 [f"--no-{kind}" for kind in batch_plan.left_out(expected)])
        # De-identification is the batch's: a column of that name is not read.
        warnings = []
        sheet = self.sheet("slide,deidentify\na.nvx,yes\n")
        batch_plan.check_settings({"NVX_BATCH_INPUT": self.dir, "NVX_BATCH_SAMPLES": sheet},
                                  warnings.append)
        self.assertEqual(len(warnings), 1)
        self.assertIn("a batch is de-identified as a whole (--config deidentify=true)",
                      warnings[0])

    def test_options_the_converter_does_not_have(self):
        # No setting, column or job option for what nvx2svs cannot take;
        # the report is the job's own.
        for name in ("sharpen", "report"):
            with self.assertRaisesRegex(ValueError, f"the converter has no option --{name}"):
                batch_plan.option_values({name: "80"})
        warnings = []
        sheet = self.sheet("slide,sharpen,notes,report\na.nvx,80,x,r.json\n")
        self.assertIsNone(batch_plan.check_settings(
            {"NVX_BATCH_INPUT": self.dir, "NVX_BATCH_SAMPLES": sheet}, warnings.append))
        self.assertEqual(len(warnings), 3)
        self.assertIn("the sample sheet's column 'sharpen' is not used", warnings[0])
        self.assertIn("column 'notes' is not used", warnings[1])
        self.assertIn("column 'report' is not used", warnings[2])
        [row] = self.rows("slide,sharpen,report\na.nvx,80,r.json\n")
        self.assertEqual(row["options"], {})

    def test_rows_that_fail_and_headers_in_any_case(self):
        rows = self.rows("Slide,NAME,Scale,X,Y,Width,Height\n"
                         "a.nvx,one,,,,,\n"
                         "missing.nvx,two,,,,,\n"
                         "a.nvx,three,10,1,,,\n"
                         "a.nvx,../four,,,,,\n"
                         "a.nvx,one,,,,,\n"
                         "a.nvx,ONE,,,,,\n")
        reasons = [row["reason"] for row in rows]
        self.assertIsNone(reasons[0])
        self.assertEqual(reasons[1], "the slide does not exist")
        self.assertEqual(reasons[2], "a region needs scale, x, y, width and height")
        self.assertIn("leaves the output folder", reasons[3])
        self.assertIn("has the same output name (one.svs", reasons[4])
        self.assertIn("has the same output name (ONE.svs", reasons[5])
        self.assertEqual([row["shown"] for row in rows][:2],
                         ["a.nvx (sheet line 2)", "missing.nvx (sheet line 3)"])

    def test_sheets_that_cannot_be_read(self):
        for text, encoding, message in [
                ("slide\na.nvx\n", "latin-1", None),
                ("slide\nä.nvx\n", "latin-1", "is not UTF-8 text"),
                ("name\na\n", "utf-8", "needs a 'slide' column"),
                ("", "utf-8", "needs a 'slide' column")]:
            with self.subTest(message=message):
                path = self.sheet(text, encoding)
                if message is None:
                    batch_plan.read_sheet(path, self.dir, "4")
                    continue
                with self.assertRaises(batch_plan.SheetError) as caught:
                    batch_plan.read_sheet(path, self.dir, "4")
                self.assertIn(message, str(caught.exception))
        with self.assertRaises(batch_plan.SheetError):
            batch_plan.read_sheet(os.path.join(self.dir, "none.csv"), self.dir, "4")


class Names(unittest.TestCase):
    def test_side_files_fit_the_name_limit(self):
        for name in ["a", "sub/b", "x" * 251, "sub/" + "é" * 125, "y" * 260]:
            with self.subTest(length=len(name)):
                for suffix in (".log", ".json"):
                    path = batch_plan.side_path(name, suffix)
                    base = os.path.basename(path)
                    self.assertLessEqual(len(base.encode()), batch_plan.NAME_MAX)
                    self.assertTrue(base.endswith(suffix))
                    self.assertEqual(os.path.dirname(path),
                                     os.path.join("logs", os.path.dirname(name)).rstrip("/"))
        # Two long names that differ only at the end keep distinct files.
        self.assertNotEqual(batch_plan.side_path("z" * 260 + "1", ".json"),
                            batch_plan.side_path("z" * 260 + "2", ".json"))

    def test_one_name_in_two_formats_is_two_slides(self):
        with tempfile.TemporaryDirectory(prefix="nvx-plan-") as folder:
            for name in ("a", "b"):
                open(os.path.join(folder, name + ".nvx"), "wb").close()
            sheet = os.path.join(folder, "sheet.csv")
            with open(sheet, "w", encoding="utf-8") as f:
                f.write("slide,name,format\na.nvx,a,tiff\nb.nvx,a,dicom\n")
            entries = batch_plan.check(batch_plan.read_sheet(sheet, folder, "4"),
                                       os.path.join(folder, "out"))
        self.assertEqual([e["reason"] for e in entries], [None, None])
        # Snakemake's rules and markers, the logs and the records: two of each.
        for name in ("key", "output_name", "log_path", "record_path"):
            with self.subTest(name=name):
                one, two = (e[name] if name == "key" else getattr(batch_plan, name)(e)
                            for e in entries)
                self.assertNotEqual(one, two)
        self.assertEqual([batch_plan.record_path(e) for e in entries],
                         ["logs/a.svs.json", "logs/a.dicom.json"])

    def test_what_an_earlier_batch_named_after_the_slide_alone_is_adopted(self):
        options = {"format": "dicom", "section_thickness": "4"}
        pacs = {"address": "http://127.0.0.1:8042", "api": "orthanc"}
        uploaded = dict(pacs, series="x")
        # (what the earlier marker holds, the earlier record beside the
        # output, the PACS set now, whether a record of today's name is
        # there, whether the earlier files are adopted)
        cases = [
            ("OUT/s.dicom\n", {}, None, False, True),
            ("OUT/s.dicom\n", {"pacs": uploaded}, pacs, False, True),
            ("/moved/elsewhere/s.dicom\n", {}, None, False, True),
            ("OUT/s.dicom\n", {}, pacs, False, False),  # never uploaded there
            ("OUT/s.dicom\n", {"pacs": dict(uploaded, api="stowrs")}, pacs, False, False),
            ("OUT/s.dicom.dicom\n", {}, None, False, False),  # another output's
            ("OUT/s.dicom", {}, None, False, False),
            ("OUT/s.dicom\n", {"status": "failed"}, None, False, False),
            ("OUT/s.dicom\n", {"options": {"format": "dicom"}}, None, False, False),
            ("OUT/s.dicom\n", {"layers": "3"}, None, False, False),
            ("OUT/s.dicom\n", {"region": ["1", "0", "0", "5", "5"]}, None, False, False),
            ("OUT/s.dicom\n", {}, None, True, False),
        ]
        for text, changed, now, there, adopted in cases:
            with self.subTest(text=text, changed=changed, now=now, there=there), \
                    tempfile.TemporaryDirectory(prefix="nvx-plan-") as out:
                item = batch_plan.entry("s", "/in/s.nvx", "4", options=options)
                done = os.path.join(out, ".snakemake", "nvx-batch", "done")
                os.makedirs(done)
                os.makedirs(os.path.join(out, "logs"))
                output = os.path.join(out, "s.dicom")
                earlier = {"marker": os.path.join(done, batch_plan.key_of("s")),
                           "log": os.path.join(out, "logs", "s.log"),
                           "record": os.path.join(out, "logs", "s.json")}
                with open(earlier["marker"], "w", encoding="utf-8") as f:
                    f.write(text.replace("OUT/", out + "/"))
                with open(earlier["log"], "w", encoding="utf-8") as f:
                    f.write("the converter's output\n")
                record = dict({"status": "converted", "output": output, "options": options,
                               "layers": "4", "region": None}, **changed)
                with open(earlier["record"], "w", encoding="utf-8") as f:
                    json.dump(record, f)
                if there:
                    with open(os.path.join(out, batch_plan.record_path(item)), "w") as f:
                        f.write("{}")
                marker = os.path.join(done, item["key"])
                self.assertEqual(batch_plan.adopt_earlier_names(item, out, marker, now), adopted)
                today = {"marker": marker, "log": os.path.join(out, batch_plan.log_path(item)),
                         "record": os.path.join(out, batch_plan.record_path(item))}
                for what in ("marker", "log", "record"):
                    self.assertEqual(os.path.exists(earlier[what]), not adopted, what)
                    self.assertEqual(os.path.exists(today[what]), adopted or (
                        there and what == "record"), what)
                if adopted:
                    with open(today["record"], encoding="utf-8") as f:
                        self.assertEqual(json.load(f), record)

    def test_names_that_one_share_or_the_batch_would_take_twice(self):
        nfc, nfd = "caf\u00e9", "cafe\u0301"
        # (slide names in sorted order, the reason each is refused or None)
        cases = [
            ([nfc, nfd], [None, f"{nfc}.nvx has the same output name ({nfd}.svs, "
                                "in another Unicode normalisation)"]),
            (["A", "a"], [None, "A.nvx has the same output name (a.svs, letter case aside)"]),
            (["STRA\u1e9eE", "stra\u00dfe"], [None, "letter case aside"]),
            (["Stra\u00dfe", "STRASSE"], [None, None]),  # no file system folds ß into ss
            (["report.html/x"], ["the output would go into report.html, which the batch "
                                 "keeps for its own report.html"]),
            (["Logs/x", "view/x", "osd/x", "DZI/x", "picture/x", "report.csv/x"],
             ["keeps for its own logs", "its own view", "its own osd", "its own dzi",
              "its own picture", "its own report.csv"]),
            (["report.html", "logs", "reports/x"], [None, None, None]),
        ]
        for names, reasons in cases:
            with self.subTest(names=names), tempfile.TemporaryDirectory() as folder:
                entries = []
                for name in names:
                    source = os.path.join(folder, name + ".nvx")
                    os.makedirs(os.path.dirname(source), exist_ok=True)
                    open(source, "wb").close()
                    entries.append(batch_plan.entry(name, source, "4", shown=name + ".nvx"))
                batch_plan.check(entries, os.path.join(folder, "out"))
                for item, reason in zip(entries, reasons):
                    if reason is None:
                        self.assertIsNone(item["reason"], item["name"])
                    else:
                        self.assertIn(reason, item["reason"] or "", item["name"])

    def test_report_links_and_csv_of_hostile_names(self):
        with tempfile.TemporaryDirectory(prefix="nvx-report-") as out:
            names = ["javascript:alert(1)", " lead", "back\\slash", "%41", "quo'te\"",
                     "cr\r", "tab\t", "=SUM(A1)", "-x", "sub/a#b?c"]
            entries = []
            for name in names:
                item = batch_plan.entry(name, f"/in/{name}.nvx", "4")
                entries.append(item)
                path = os.path.join(out, name + ".svs")
                os.makedirs(os.path.dirname(path), exist_ok=True)
                open(path, "wb").close()
                record = os.path.join(out, batch_plan.record_path(item))
                os.makedirs(os.path.dirname(record), exist_ok=True)
                with open(record, "w", encoding="utf-8") as f:
                    f.write('{"status": "converted", "seconds": 5, "output_bytes": 1000000, '
                            '"assumed_mpp": true, "mpp_source": "assumed", "routes": '
                            '{"copied": 0, "transcoded": 6, "from_pixels": 4}, "levels": '
                            '[{"width": 1000, "height": 500, "tiles": 10, "routes": {"copied": '
                            '0, "transcoded": 6, "from_pixels": 4}}], "openslide": {"levels": '
                            '[[1000, 500]], "mpp_x": "0.25"}}')
            html_path, csv_path = batch_report.write_report(out, entries)
            with open(html_path, encoding="utf-8") as f:
                page = f.read()
            for name in names:
                link = batch_report.href(name + ".svs")
                self.assertTrue(link.startswith("./"))
                self.assertEqual(urllib.parse.unquote(link[2:]), name + ".svs")
                self.assertIn(f'href="{link}"', page)
            with open(csv_path, encoding="utf-8", newline="") as f:
                table = list(csv.DictReader(f))
            self.assertEqual([row["output"] for row in table],
                             [("'" if n[0] in "=-" else "") + n + ".svs" for n in names])
            row = table[0]
            self.assertEqual(row["status"], "converted")
            self.assertEqual(row["compression"], "1.5 : 1")  # 1000 × 500 × 3 bytes in 10⁶
            self.assertEqual(row["Mpx/s"], "0.1")  # 0.5 Mpx in 5 s
            self.assertEqual((row["MPP"], row["MPP source"]), ("0.25 (assumed)", "assumed"))
            self.assertEqual((row["copied"], row["transcoded"], row["from pixels"]),
                             ("0", "6", "4"))
            self.assertIn('title="1000 × 500: 6 transcoded, 4 from pixels"', page)


class PicturesInTheReport(unittest.TestCase):
    def test_pictures_left_out_are_never_shown(self):
        label, macro = "data:image/jpeg;base64,TEFCRUwtT0YtQQ==", "data:image/jpeg;base64,TUFDUk8="
        yes = "true"
        # (the slide's options now, the options of the conversion its record
        # tells of, de-identified, the row's state, the pictures shown)
        cases = [
            ({}, {}, False, "converted", {"label", "macro"}),
            ({"no_label": yes}, {"no_label": yes}, False, "converted", {"macro"}),
            # Made before the slide was to lose its macro: no picture until
            # it is converted again.
            ({"no_macro": yes}, {}, False, "pending", set()),
            ({"no_label": yes, "no_macro": yes}, {}, False, "pending", set()),
            ({"no_label": yes, "no_macro": yes}, {"no_label": yes, "no_macro": yes}, True,
             "converted", set()),
        ]
        for options, recorded, deidentify, state, shown in cases:
            with self.subTest(options=options, recorded=recorded, deidentify=deidentify), \
                    tempfile.TemporaryDirectory(prefix="nvx-report-") as out:
                open(os.path.join(out, "s.svs"), "wb").close()
                os.makedirs(os.path.join(out, "logs"))
                record_path = os.path.join(out, "logs", "s.svs.json")
                with open(record_path, "w", encoding="utf-8") as f:
                    json.dump({"status": "converted", "options": recorded, "openslide": {
                        "levels": [[10, 10]], "label": label, "macro": macro}}, f)
                item = batch_plan.entry("s", "/in/s.nvx", "4", options=options)
                # The report hides them even from a record that holds them;
                # the plan, written before any job, takes them from it.
                html_path, csv_path = batch_report.write_report(out, [item], deidentify)
                with open(html_path, encoding="utf-8") as f:
                    page = f.read()
                os.makedirs(os.path.join(out, ".snakemake"))
                batch_report.write_plan(out, [item], deidentify)
                with open(csv_path, encoding="utf-8", newline="") as f:
                    [row] = list(csv.DictReader(f))
                with open(record_path, encoding="utf-8") as f:
                    record = f.read()
                self.assertEqual(row["status"], state)
                self.assertEqual(row["left out"], ", ".join(batch_plan.left_out(options)))
                for kind, uri in (("label", label), ("macro", macro)):
                    self.assertEqual(uri in page, kind in shown, kind)
                    self.assertEqual(f'<img class="{kind}"' in page, kind in shown, kind)
                    # The record keeps only what the slide may show.
                    self.assertEqual(uri in record, kind not in batch_plan.left_out(options))
                self.assertEqual("de-identified" in page, deidentify)
                with open(os.path.join(out, batch_report.LEFT_OUT), encoding="utf-8") as f:
                    self.assertEqual(json.load(f), {"deidentify": deidentify, "outputs": {
                        "s.svs": batch_plan.left_out(options)} if options else {}})


    def test_dicom_rows_link_the_pacs_viewer_only_through_its_own_ids(self):
        series = "0123abcd-4567ef01-89abcdef-01234567-89abcdef"
        viewer = f"http://127.0.0.1:8042/wsi/app/viewer.html?series={series}"
        # (the record's pacs, the link the row shows or None, the row's note)
        cases = [
            (None, None, "DICOM, 5 instances"),
            ({"address": "http://127.0.0.1:8042", "api": "orthanc", "series": series}, viewer,
             "DICOM, 5 instances"),
            ({"address": "http://127.0.0.1:8042", "api": "stowrs"}, None,
             "DICOM, 5 instances in the PACS (STOW-RS)"),
            ({"address": "javascript:alert(1)//", "api": "orthanc", "series": series}, None,
             "DICOM, 5 instances in the PACS"),
            ({"address": "http://127.0.0.1:8042", "api": "orthanc",
              "series": "x&y=1\"><script>"}, None, "DICOM, 5 instances in the PACS"),
        ]
        for pacs, link, note in cases:
            with self.subTest(pacs=pacs), tempfile.TemporaryDirectory(prefix="nvx-report-") as out:
                os.makedirs(os.path.join(out, "s.dicom", "logs"))
                os.makedirs(os.path.join(out, "logs"))
                with open(os.path.join(out, "logs", "s.dicom.json"), "w", encoding="utf-8") as f:
                    json.dump({"status": "converted", "options": {"format": "dicom"},
                               "output_bytes": 2048, "pacs": pacs, "dicom": {
                                   "instances": 5, "levels": [[10, 10]]}}, f)
                item = batch_plan.entry("s", "/in/s.nvx", "4", options={"format": "dicom"})
                html_path, csv_path = batch_report.write_report(out, [item])
                with open(html_path, encoding="utf-8") as f:
                    page = f.read()
                with open(csv_path, encoding="utf-8", newline="") as f:
                    [row] = list(csv.DictReader(f))
                self.assertEqual((row["status"], row["output"], row["format"], row["instances"],
                                  row["output size"]),
                                 ("converted", "s.dicom", "DICOM", "5", "2.0 KiB"))
                self.assertEqual(row["PACS viewer"], link or "")
                self.assertIn(f'<div class="dicom">{note}</div>', page)
                self.assertEqual(page.count('class="pacs"'), 1 if link else 0)
                if link:
                    self.assertIn(f'<a class="pacs" href="{link}">', page)
                self.assertNotIn("<script>alert", page)
                self.assertNotIn('class="viewer"', page)  # no zoom-in page for DICOM


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
