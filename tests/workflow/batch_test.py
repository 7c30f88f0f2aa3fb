"""batch_test.py - the batch workflow end to end: scripts/batch.sh on a folder
of slides made by nvxmake, one of them damaged.

  - converted slides open in OpenSlide with the planned levels, MPP, objective
    and associated images; subfolders are mirrored; a name with a blank works;
  - the damaged slide is reported failed with its reason, keeps its log and
    leaves no output and no partial file, while the others are converted;
  - a re-run retries only the failed slide and leaves finished outputs alone;
    once the damaged slide is gone, a re-run does nothing;
  - report.html rendered by headless Chromium: every converted slide's
    thumbnail and label decoded (naturalWidth > 0), the failed slide's reason
    shown, nothing loaded from outside the page; a screenshot is kept;
  - (local runs) scripts/view.sh: only files under the output folder are
    served (../ and its encoded forms, links out), a slide's viewer shows
    tiles of a deep level on a canvas that is not blank, the served report
    links to the viewers; screenshots are kept;
  - interrupted (SIGINT to its process group, as Ctrl-C sends), the batch
    stops its conversion, leaves no output and no partial file and, on Slurm,
    no job;
  - (local runs) no_label, no_macro and deidentify, as settings and sheet
    cells, batch after batch in one folder: a picture left out is in no
    file of the folder (its stream in the output, the stream the slide
    stores, the small JPEG a job embeds) and answers at no address of the
    viewer, also for an output and a record put in a de-identified folder
    by hand;
  - (local runs) a killed batch runs again as it is; --help; an empty folder;
    settings refused in one line before any work; a sample sheet with
    per-slide layers, a region, a pixel size (the batch's or the row's) and
    failed rows; a sheet that is not UTF-8; slides with odd names in a
    folder named like YAML, each converted or a failed row, every link of
    the report resolved by Chromium to an existing file;
  - (local runs) one output name in two formats in a sample sheet: two
    slides converted and reported, their logs and records apart; the
    names a batch gave them before, adopted without converting again;
  - (local runs) format dicom with a pacs: two slides uploaded to an Orthanc
    started by the test, through its REST API and STOW-RS, the levels of each
    slide in one series (the label and the overview in another), the report
    linking the levels' viewer (screenshot kept);
  - (Slurm) requests larger than the nodes, a cluster sinfo cannot reach, and
    a job the partition can never start.

usage: batch_test.py BUILD_DIR [--screenshot PNG] [--no-sheet] [--only TEST]...
                     [snakemake options]
  With --profile among the snakemake options the batch runs through that
  profile (scripts/test-slurm.sh passes the Slurm one).
"""

import base64
import csv
import glob
import http.client
import html.parser
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

import openslide
import PIL.Image
import PIL.ImageStat
import tifffile
from openslide import deepzoom

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BATCH = os.path.join(TOP, "scripts", "batch.sh")
sys.path.insert(0, os.path.join(TOP, "workflow", "scripts"))
sys.path.insert(0, os.path.join(TOP, "tests", "dicom"))  # orthanc_server
import batch_plan  # noqa: E402
import convert_slide  # noqa: E402
VIEW = os.path.join(TOP, "scripts", "view.sh")
BUILD = SCREENSHOT = None
SNAKEMAKE_OPTIONS = []
SHEET = True
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync"]

# name: (nvxmake options, expected (width, height) of every level at 4 layers)
SLIDES = {
    "a": (["--synthetic", "3000x2000", "--mpp", "0.25"], [(3000, 2000), (750, 500)]),
    "sub/b": (["--synthetic", "4096x3072", "--seed", "2"],
              [(4096, 3072), (1024, 768), (256, 192)]),
    "sub/deeper/c slide": (["--synthetic", "2048x1536", "--mag", "20", "--mpp", "0.5"],
                           [(2048, 1536), (512, 384)]),
}
DAMAGED = "damaged"


def make_slides(folder):
    for name, (options, _levels) in SLIDES.items():
        path = os.path.join(folder, name + ".nvx")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run([os.path.join(BUILD, "nvxmake"), *options, path, "--threads", "2"],
                       check=True, capture_output=True)
    # A slide cut short, as by a copy that broke off: the library refuses it.
    damaged = os.path.join(folder, DAMAGED + ".nvx")
    shutil.copy(os.path.join(folder, "a.nvx"), damaged)
    os.truncate(damaged, os.path.getsize(damaged) * 2 // 3)


def batch(input_dir, output_dir, *options, cwd=None):
    environment = dict(os.environ, NVX2SVS=os.path.join(BUILD, "nvx2svs"))
    done = subprocess.run([BATCH, input_dir, output_dir, *SNAKEMAKE_OPTIONS, *options],
                          capture_output=True, text=True, env=environment, timeout=600, cwd=cwd)
    return done.returncode, done.stdout + done.stderr


def convert_jobs(text):
    """How many conversions a Snakemake run started, from its job list."""
    return len(re.findall(r"^rule convert_[0-9a-f]{12}:$", text, re.MULTILINE))


def mtimes(output_dir):
    return {p: os.stat(p).st_mtime_ns for p in glob.glob(os.path.join(output_dir, "**", "*.svs"),
                                                          recursive=True)}


class ReportPage(html.parser.HTMLParser):
    """Rows of the report as the browser left them: state, text, pictures."""

    def __init__(self):
        super().__init__()
        self.rows = {}
        self.row = None
        self.probed = False
        self.sources = []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "body" and attrs.get("data-probed") == "yes":
            self.probed = True
        if tag == "tr" and "slide" in (attrs.get("class") or "").split():
            self.row = {"state": attrs["class"].split()[1], "text": "", "pictures": {}}
            self.rows[attrs["data-slide"]] = self.row
        for key in ("src", "href"):
            if key in attrs and (tag != "a" or key != "href"):
                self.sources.append(attrs[key])
        if tag == "img" and self.row is not None:
            self.row["pictures"][attrs.get("class")] = int(attrs.get("data-natural-width", -1))

    def handle_endtag(self, tag):
        if tag == "tr":
            self.row = None

    def handle_data(self, data):
        if self.row is not None:
            self.row["text"] += data


def chromium(*arguments):
    with tempfile.TemporaryDirectory() as profile:
        done = subprocess.run(["chromium", *CHROMIUM_FLAGS, f"--user-data-dir={profile}",
                               *arguments], capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise AssertionError(f"chromium failed: {done.stderr[-2000:]}")
    return done.stdout


def rendered_report(report):
    """The report's DOM after Chromium loaded it, each picture's naturalWidth
    written into it by a probe script in a copy beside the report."""
    with open(report, encoding="utf-8") as f:
        page = f.read()
    probe = ("<script>window.addEventListener('load', () => {"
             "for (const img of document.images) img.setAttribute('data-natural-width',"
             " img.complete ? img.naturalWidth : 0);"
             "document.body.setAttribute('data-probed', 'yes');});</script>")
    copy = os.path.join(os.path.dirname(report), ".report-probe.html")
    with open(copy, "w", encoding="utf-8") as f:
        f.write(page.replace("</body>", probe + "</body>"))
    try:
        dom = chromium("--dump-dom", "file://" + copy)
    finally:
        os.unlink(copy)
    parsed = ReportPage()
    parsed.feed(dom)
    return parsed


class BatchRun(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="nvx-batch-")
        self.input = os.path.join(self.folder, "in")
        self.output = os.path.join(self.folder, "out")
        make_slides(self.input)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def check_outputs(self):
        for name, (options, levels) in SLIDES.items():
            path = os.path.join(self.output, name + ".svs")
            slide = openslide.OpenSlide(path)
            try:
                self.assertEqual(list(slide.level_dimensions), levels, name)
                props = slide.properties
                self.assertEqual(props["openslide.vendor"], "aperio")
                self.assertEqual(props["openslide.objective-power"],
                                 "20" if "--mag" in options else "40", name)
                mpp = float(options[options.index("--mpp") + 1]) if "--mpp" in options \
                    else 0.239842
                self.assertAlmostEqual(float(props["openslide.mpp-x"]), mpp, places=5)
                self.assertEqual(sorted(slide.associated_images), ["label", "macro", "thumbnail"])
            finally:
                slide.close()
            with open(os.path.join(self.output, "logs", name + ".svs.json"),
                      encoding="utf-8") as f:
                record = json.load(f)
            self.assertEqual(record["status"], "converted")
            self.assertEqual(record["exit_status"], 0)
            # The default MPP is marked as such: only where the slide has none.
            self.assertIs(record["assumed_mpp"], "--mpp" not in options, name)
            self.assertEqual(record["mpp_source"], "recorded" if "--mpp" in options else "assumed")
            self.assertEqual(record["openslide"]["levels"], [list(l) for l in levels])
            # As the converter's report says: the levels, and their tiles by
            # route, every stored tile of the first level transcoded.
            self.assertEqual([(l["width"], l["height"]) for l in record["levels"]], levels)
            for level in record["levels"]:
                self.assertEqual(sum(level["routes"].values()), level["tiles"], name)
            first = record["levels"][0]
            whole = (first["width"] // 256) * (first["height"] // 256)
            self.assertEqual(first["routes"], {"copied": 0, "transcoded": whole,
                                               "from_pixels": first["tiles"] - whole}, name)
            self.assertEqual(sum(record["routes"].values()),
                             sum(l["tiles"] for l in record["levels"]))
            self.assertEqual(record["output_bytes"], os.path.getsize(path))
            self.assertGreater(record["seconds"], 0)
        # The damaged slide: no output, no partial file, a log and a reason.
        self.assertFalse(os.path.exists(os.path.join(self.output, DAMAGED + ".svs")))
        leftovers = [p for p in glob.glob(os.path.join(self.output, "**", ".*"), recursive=True)
                     if ".snakemake" not in p]
        self.assertEqual(leftovers, [])
        with open(os.path.join(self.output, "logs", DAMAGED + ".svs.json"),
                  encoding="utf-8") as f:
            record = json.load(f)
        self.assertEqual(record["status"], "failed")
        self.assertEqual(record["exit_status"], 255)
        self.assertIn(f"refused '{self.input}/{DAMAGED}.nvx'", record["reason"])
        self.assertIn("truncated", record["reason"])
        with open(os.path.join(self.output, "logs", DAMAGED + ".svs.log"),
                  encoding="utf-8") as f:
            self.assertIn("error:输入NVX文件有误!!", f.read())

    def check_report(self, failed, screenshot=None):
        report = os.path.join(self.output, "report.html")
        page = rendered_report(report)
        self.assertTrue(page.probed, "the probe script did not run")
        expected = {name + ".nvx": "converted" for name in SLIDES} | {
            name + ".nvx": "failed" for name in failed}
        self.assertEqual({name: row["state"] for name, row in page.rows.items()}, expected)
        for name, row in page.rows.items():
            if row["state"] == "converted":
                self.assertEqual("(assumed)" in row["text"],
                                 "--mpp" not in SLIDES[name[:-4]][0], name)
                self.assertEqual("(recorded)" in row["text"],
                                 "--mpp" in SLIDES[name[:-4]][0], name)
                self.assertRegex(row["text"], r"\d+transcoded")
                self.assertRegex(row["text"], r"\d+from pixels")
                self.assertNotIn("copied", row["text"])
                self.assertGreater(row["pictures"].get("thumbnail", 0), 0, f"{name} thumbnail")
                self.assertGreater(row["pictures"].get("label", 0), 0, f"{name} label")
                self.assertGreater(row["pictures"].get("macro", 0), 0, f"{name} macro")
            else:
                self.assertIn(f"{DAMAGED}.nvx': file size differs from header (truncated?)",
                              row["text"])
        # Opens from disk as it is: every picture inside the page, no server.
        self.assertTrue(page.sources)
        for source in page.sources:
            self.assertTrue(source.startswith("data:image/jpeg;base64,"), source[:80])
        if screenshot:
            os.makedirs(os.path.dirname(os.path.abspath(screenshot)), exist_ok=True)
            chromium("--window-size=1500,1000", f"--screenshot={screenshot}", "file://" + report)
            self.assertGreater(os.path.getsize(screenshot), 10000)

    def test_batch_rerun_and_report(self):
        status, text = batch(self.input, self.output)
        # One slide failed: the batch's own last line says so, not Snakemake's.
        self.assertEqual(status, 1, text)
        self.assertEqual(text.splitlines()[-1], f"3 of 4 slides converted, 1 failed: "
                         f"see {self.output}/report.html", text)
        self.assertEqual(convert_jobs(text), 4, text)
        if "--profile" in SNAKEMAKE_OPTIONS:
            # One Slurm job a slide, each with a whole node to itself.
            jobs = re.findall(r"submitted with SLURM jobid (\d+)", text)
            self.assertEqual(len(jobs), 4, text)
            for job in jobs:
                shown = subprocess.run(["scontrol", "show", "job", "-o", job], check=True,
                                       capture_output=True, text=True).stdout
                self.assertIn("OverSubscribe=NO", shown)
                self.assertIn(f"NumCPUs={os.cpu_count()} ", shown)
        else:
            # Locally one conversion at a time, with every core.
            self.assertEqual(set(re.findall(r"^    threads: (\d+)$", text, re.MULTILINE)),
                             {str(os.cpu_count())}, text)
        self.check_outputs()
        self.check_report([DAMAGED], SCREENSHOT)
        if "--profile" not in SNAKEMAKE_OPTIONS:
            self.check_viewer()

        # Again: only the failed slide is tried; finished outputs stay as they are.
        before = mtimes(self.output)
        status, text = batch(self.input, self.output)
        self.assertNotEqual(status, 0, text)
        self.assertEqual(convert_jobs(text), 1, text)
        self.assertEqual(mtimes(self.output), before)
        self.check_outputs()

        # Without the damaged slide there is nothing to do, and the report says so.
        os.unlink(os.path.join(self.input, DAMAGED + ".nvx"))
        status, text = batch(self.input, self.output)
        self.assertEqual(status, 0, text)
        self.assertEqual(convert_jobs(text), 0, text)
        self.assertIn("Nothing to be done", text)
        self.assertEqual(text.splitlines()[-1], f"3 of 3 slides converted, 0 failed: "
                         f"see {self.output}/report.html", text)
        self.assertEqual(mtimes(self.output), before)
        self.check_report([])

    def check_viewer(self):
        """scripts/view.sh on the batch: only files under the output folder
        are served, and a slide's viewer shows tiles cut from its .svs."""
        outside = os.path.join(self.folder, "secret.txt")
        with open(outside, "w") as f:
            f.write("not to be served\n")
        os.symlink(outside, os.path.join(self.output, "link.txt"))
        log = open(os.path.join(self.folder, "viewer.log"), "w+")
        server = subprocess.Popen([VIEW, self.output, "--port", "0"], stdout=subprocess.PIPE,
                                  stderr=log, text=True)
        try:
            line = server.stdout.readline()
            address = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
            self.assertTrue(address, line)
            port = int(address.group(1))
            for path, expected in [
                    ("/report.html", 200), ("/view/a.svs", 200), ("/report.csv", 200),
                    ("/dzi/a.svs.dzi", 200), ("/picture/label/a.svs", 200),
                    ("/../secret.txt", 404), ("/%2e%2e/secret.txt", 404),
                    ("/..%2fsecret.txt", 404), ("/%2E%2E%2Fsecret.txt", 404),
                    ("/%252e%252e/secret.txt", 404), ("/sub/..%2f..%2fsecret.txt", 404),
                    ("/view/..%2fsecret.txt", 404), ("/dzi/..%2f..%2fsecret.txt", 404),
                    ("/picture/label/..%2fsecret.txt", 404), ("/osd/..%2f..%2f..%2fsecret.txt", 404),
                    ("/link.txt", 404), ("/.snakemake/nvx-batch-plan.json", 404),
                    ("/logs/..%5c..%5csecret.txt", 404), ("/%00", 404)]:
                with self.subTest(path=path):
                    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
                    connection.request("GET", path)
                    answer = connection.getresponse()
                    body = answer.read()
                    connection.close()
                    self.assertEqual(answer.status, expected, body[:200])
                    self.assertNotIn(b"not to be served", body)
            # The viewer of one slide, until tiles of a deep level have come.
            page = f"http://127.0.0.1:{port}/view/sub/b.svs"
            folder = os.path.dirname(os.path.abspath(SCREENSHOT or os.path.join(
                self.folder, "x.png")))
            picture = os.path.join(folder, "viewer-local.png")
            chromium("--window-size=1300,800", "--virtual-time-budget=15000",
                     f"--screenshot={picture}", page)
            log.seek(0)
            served = [int(m) for m in re.findall(r"GET /dzi/sub/b\.svs_files/(\d+)/", log.read())]
            slide = openslide.OpenSlide(os.path.join(self.output, "sub", "b.svs"))
            deepest = deepzoom.DeepZoomGenerator(slide, tile_size=254, overlap=1).level_count - 1
            slide.close()
            self.assertTrue(served and max(served) >= deepest - 2, (served, deepest))
            # The canvas is not blank: the middle of the viewer shows the slide.
            with PIL.Image.open(picture) as shot:
                middle = shot.convert("L").crop((250, 150, 750, 650))
            self.assertGreater(PIL.ImageStat.Stat(middle).stddev[0], 10)
            self.assertGreater(PIL.ImageStat.Stat(middle).mean[0], 60)  # not the dark backdrop
            # Served, the report links each converted slide to its viewer.
            report = chromium("--dump-dom", f"http://127.0.0.1:{port}/report.html")
            links = re.findall(r'<a class="viewer" data-view="[^"]*" href="([^"]*)"', report)
            self.assertEqual(sorted(links), sorted(
                "./view/" + urllib.parse.quote(name, safe="/") + ".svs" for name in SLIDES))
            chromium("--window-size=1500,900", f"--screenshot={os.path.join(folder, 'report-served.png')}",
                     f"http://127.0.0.1:{port}/report.html")
        finally:
            server.terminate()
            server.wait(timeout=30)
            server.stdout.close()
            log.close()
            os.unlink(os.path.join(self.output, "link.txt"))

    def test_an_interrupted_batch_leaves_no_partial_file(self):
        # Ctrl-C in the terminal: SIGINT to the batch's process group, which
        # the running job gets too. On Slurm the batch cancels its jobs (the
        # job's clean-up gets SIGTERM) and stops Snakemake, which on its own
        # would wait for them.
        started = os.path.join(self.folder, "started")
        slow = os.path.join(self.folder, "slow-nvx2svs")
        with open(slow, "w") as f:
            f.write('#!/bin/sh\nfor word; do shift; [ "$word" = -- ] && break; done\n'
                    f'head -c 5000 /dev/urandom > "$2"\ntouch {started}\nexec sleep 300\n')
        os.chmod(slow, 0o755)
        log = os.path.join(self.folder, "interrupted.log")
        with open(log, "w") as out:
            run = subprocess.Popen([BATCH, self.input, self.output, *SNAKEMAKE_OPTIONS],
                                   stdout=out, stderr=subprocess.STDOUT,
                                   env=dict(os.environ, NVX2SVS=slow), start_new_session=True)
        try:
            deadline = time.monotonic() + 120
            while not os.path.exists(started) and time.monotonic() < deadline:
                self.assertIsNone(run.poll(), "the batch ended before converting")
                time.sleep(0.2)
            self.assertTrue(glob.glob(os.path.join(self.output, "**", ".nvxjob-*.svs"),
                                      recursive=True))
            os.killpg(run.pid, signal.SIGINT)
            self.assertNotEqual(run.wait(timeout=120), 0)
        finally:
            if run.poll() is None:
                os.killpg(run.pid, signal.SIGKILL)
                run.wait()
                # Jobs of a killed Snakemake would run on: cancel those it submitted.
                with open(log, encoding="utf-8") as f:
                    jobs = re.findall(r"submitted with SLURM jobid (\d+)", f.read())
                if jobs:
                    subprocess.run(["scancel", *jobs])
        # A cancelled Slurm job ends a moment after Snakemake has.
        deadline = time.monotonic() + 30
        while True:
            leftovers = [p for p in glob.glob(os.path.join(self.output, "**", "*.svs"),
                                              recursive=True) + glob.glob(
                os.path.join(self.output, "**", ".*.svs"), recursive=True)]
            queued = subprocess.run(["squeue", "-h"], capture_output=True, text=True).stdout \
                if "--profile" in SNAKEMAKE_OPTIONS else ""
            if (not leftovers and not queued.strip()) or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        with open(log, encoding="utf-8") as f:
            text = f.read()
        self.assertEqual(leftovers, [], text)
        self.assertEqual(queued.strip(), "", text)

    def test_sample_sheet(self):
        if not SHEET:
            self.skipTest("sample sheets are tested in the local run")
        # Header names in any case; the sheet named relative to the caller's folder.
        # The pixel size: the batch's setting (0.5) where a row's cell is
        # empty, the cell's own otherwise; a bad one fails its row only.
        sheet = os.path.join(self.folder, "sheet.csv")
        with open(sheet, "w", encoding="utf-8") as f:
            f.write("Slide,Layers,Name,Scale,X,Y,Width,Height,MPP,Threads,Tiles,Quality,Chroma\n"
                    "sub/b.nvx,2,,,,,,,0.3,1,copy,,\n"
                    "a.nvx,,a-region,10,100,50,500,300,,,,90,\n"
                    "a.nvx,,a-exp,10,1e3,50,500,300,,,,,\n"
                    "sub/deeper/c slide.nvx,,,10,100,,,,,,,,\n"
                    "gone.nvx,,,,,,,,,,,,\n"
                    "a.nvx,,a-mpp,,,,,,--threads=1,,,,\n"
                    "a.nvx,,a-quality,,,,,,,,,101,\n"
                    "a.nvx,,a-chroma,,,,,,,,,,444\n")
        status, text = batch(self.input, self.output, "--config", "samples=sheet.csv",
                             "mpp=0.5", cwd=self.folder)
        self.assertNotEqual(status, 0, text)  # six rows failed, the others went on
        self.assertEqual(convert_jobs(text), 2, text)
        self.assertEqual(sorted(glob.glob("**/*.svs", root_dir=self.output, recursive=True)),
                         ["a-region.svs", "sub/b.svs"])
        expected = {"sub/b": ([(4096, 3072), (1024, 768)], 0.3),  # 2 layers
                    # 500 x 300 at 10x on a 40x slide: 2000 x 1200 from (400, 200)
                    "a-region": ([(2000, 1200), (500, 300)], 0.5)}
        for name, (levels, mpp) in expected.items():
            slide = openslide.OpenSlide(os.path.join(self.output, name + ".svs"))
            self.assertEqual(list(slide.level_dimensions), levels, name)
            self.assertAlmostEqual(float(slide.properties["openslide.mpp-x"]), mpp, places=5)
            slide.close()
        with open(os.path.join(self.output, "logs", "a-region.svs.json"),
                  encoding="utf-8") as f:
            self.assertEqual(json.load(f)["layers"], "9")  # as the converter makes a region
        with open(os.path.join(self.output, "report.csv"), encoding="utf-8", newline="") as f:
            rows = {row["slide"]: row for row in csv.DictReader(f)}
        self.assertEqual(rows["a.nvx (sheet line 3)"]["region"], "scale 10 at x 100 y 50, 500 × 300")
        self.assertEqual(rows["a.nvx (sheet line 3)"]["source"], os.path.join(self.input, "a.nvx"))
        self.assertEqual(rows["a.nvx (sheet line 4)"]["reason"], "x must be a whole number, not '1e3'")
        self.assertEqual(rows["sub/deeper/c slide.nvx (sheet line 5)"]["reason"],
                         "a region needs scale, x, y, width and height")
        self.assertEqual(rows["gone.nvx (sheet line 6)"]["reason"], "the slide does not exist")
        self.assertEqual(rows["a.nvx (sheet line 7)"]["reason"], "mpp must be a number above 0 "
                         "(about 1.2e-38 at least) and up to 1000 (microns per pixel), not "
                         "'--threads=1'")
        self.assertEqual(rows["a.nvx (sheet line 8)"]["reason"], "quality must be a JPEG "
                         "quality, a whole number from 1 to 100, not '101'")
        self.assertEqual(rows["a.nvx (sheet line 9)"]["reason"], "chroma must be 420, not '444'")
        # Both levels of sub/b keep the stored tiles of the levels the slide
        # stores for them; a region's tiles are all from pixels.
        self.assertEqual([rows["sub/b.nvx (sheet line 2)"][k] for k in
                          ("copied", "transcoded", "from pixels")], ["204", "0", "0"])
        self.assertEqual([rows["a.nvx (sheet line 3)"][k] for k in
                          ("copied", "transcoded", "from pixels")], ["0", "0", "44"])
        with open(os.path.join(self.output, "logs", "sub", "b.svs.json"),
                  encoding="utf-8") as f:
            self.assertEqual(json.load(f)["options"],
                             {"mpp": "0.3", "threads": "1", "tiles": "copy"})
        with open(os.path.join(self.output, "logs", "a-region.svs.log"),
                  encoding="utf-8") as f:
            self.assertIn(" --mpp=0.5 --quality=90 --report=", f.read())
        self.assertEqual({row["status"] for row in rows.values()}, {"converted", "failed"})
        self.assertEqual(rows["sub/b.nvx (sheet line 2)"]["MPP"], "0.3 (given)")
        self.assertEqual(rows["a.nvx (sheet line 3)"]["MPP"], "0.5 (given)")

        # Another setting converts again only the slide it reaches.
        status, text = batch(self.input, self.output, "--config", "samples=sheet.csv",
                             "mpp=0.6", cwd=self.folder)
        self.assertEqual(convert_jobs(text), 1, text)
        with open(os.path.join(self.output, "report.csv"), encoding="utf-8", newline="") as f:
            self.assertEqual([row["MPP"] for row in csv.DictReader(f)][:2],
                             ["0.3 (given)", "0.6 (given)"])

        # A sheet that is not UTF-8 stops the batch with a message, not a traceback.
        with open(sheet, "w", encoding="latin-1") as f:
            f.write("slide\nä.nvx\n")
        status, text = batch(self.input, os.path.join(self.folder, "out2"),
                             "--config", f"samples={sheet}")
        self.assertEqual(status, 2, text)
        self.assertIn("the sample sheet is not UTF-8 text", text)
        self.assertNotIn("Traceback", text)

    def test_settings_refused_before_any_work(self):
        if "--profile" in SNAKEMAKE_OPTIONS:
            self.skipTest("tested in the local run")
        known = "layers, samples, mpp, no_label, no_macro, threads, tiles, quality, chroma, " \
                "format, dicom_metadata, section_thickness, deidentify, converter, python, pacs, pacs_api, " \
                "dicomweb_root, pacs_timeout, cpus, mem_mb"
        spelling = "must be true or false (yes or no, 1 or 0), not"
        for setting, line in [
                ("mpp=abc", "batch: the mpp setting: mpp must be a number above 0 (about "
                            "1.2e-38 at least) and up to 1000 (microns per pixel), not 'abc'"),
                ("mpp=0.25 --threads=2", "batch: the mpp setting: mpp must be a number above "
                                         "0 (about 1.2e-38 at least) and up to 1000 (microns "
                                         "per pixel), not '0.25 --threads=2'"),
                ("mpp=1001", "batch: the mpp setting: mpp must be a number above 0 (about "
                             "1.2e-38 at least) and up to 1000 (microns per pixel), not "
                             "'1001'"),
                ("no_label=on", f"batch: the no_label setting: no_label {spelling} 'on'"),
                ("deidentify=y", f"batch: the deidentify setting: deidentify {spelling} 'y'"),
                ("threads=0", "batch: the threads setting: threads must be a whole number of "
                              "CPUs, at least 1, not '0'"),
                ("tiles=decode", "batch: the tiles setting: tiles must be copy, not 'decode'"),
                ("quality=0x50", "batch: the quality setting: quality must be a JPEG quality, a "
                                 "whole number from 1 to 100, not '0x50'"),
                ("chroma=422", "batch: the chroma setting: chroma must be 420, not '422'"),
                ("format=svs", "batch: the format setting: format must be tiff or dicom, "
                               "not 'svs'"),
                ("pacs=javascript:alert(1)", "batch: the pacs setting: pacs must be "
                 "http://HOST[:PORT] or https://HOST[:PORT] (the scheme is http or https), "
                 "not 'javascript:alert(1)'"),
                # Not an option of the converter: no setting for it.
                ("sharpen=1", f"batch: unknown setting 'sharpen' ({known})")]:
            with self.subTest(setting=setting):
                status, text = batch(self.input, self.output, "--config", setting)
                self.assertEqual((status, text), (2, line + "\n"))
                self.assertFalse(os.path.exists(os.path.join(self.output, ".snakemake")))

    def test_a_killed_batch_runs_again_as_it_is(self):
        # kill -9 of the batch and its jobs while the real converter writes its
        # hidden temporary: the same command then unlocks and cleans up.
        if "--profile" in SNAKEMAKE_OPTIONS:
            self.skipTest("tested in the local run")
        big = os.path.join(self.folder, "big")
        os.makedirs(big)
        subprocess.run([os.path.join(BUILD, "nvxmake"), "--synthetic", "8000x8000",
                        os.path.join(big, "big.nvx"), "--threads", "2"], check=True,
                       capture_output=True)
        environment = dict(os.environ, NVX2SVS=os.path.join(BUILD, "nvx2svs"))
        run = subprocess.Popen([BATCH, big, self.output], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, env=environment,
                               start_new_session=True)
        temporaries = []
        deadline = time.monotonic() + 120
        while not temporaries and time.monotonic() < deadline and run.poll() is None:
            temporaries = glob.glob(os.path.join(glob.escape(self.output), ".*.part"))
            time.sleep(0.01)
        os.killpg(run.pid, signal.SIGKILL)
        run.wait()
        self.assertTrue(temporaries, "the converter's temporary file was never seen")
        self.assertTrue(os.listdir(os.path.join(self.output, ".snakemake", "locks")))

        status, text = batch(big, self.output)
        self.assertEqual(status, 0, text)
        self.assertNotIn("LockException", text)
        self.assertIn("removing the lock a stopped run", text)
        self.assertEqual(os.listdir(self.output) and sorted(
            p for p in os.listdir(self.output) if p != ".snakemake"),
            ["big.svs", "logs", "report.csv", "report.html"])
        self.assertEqual(glob.glob(os.path.join(glob.escape(self.output), "**", ".*"),
                                   recursive=True), [os.path.join(self.output, ".snakemake")])

    def test_help_and_an_empty_folder(self):
        if "--profile" in SNAKEMAKE_OPTIONS:
            self.skipTest("tested in the local run")
        done = subprocess.run([BATCH, "--help"], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0)
        self.assertIn("scripts/batch.sh INPUT_DIR OUTPUT_DIR", done.stdout)
        # Every setting the batch takes, to the help's last line.
        for name in ("layers", "samples", *batch_plan.OPTION_NAMES, "deidentify"):
            self.assertRegex(done.stdout, rf"\b{name}\b")
        self.assertTrue(done.stdout.endswith("Needs Snakemake 7 (Debian 12 has 7.21).\n"))
        empty = os.path.join(self.folder, "empty")
        os.makedirs(empty)
        status, text = batch(empty, self.output)
        self.assertEqual(status, 0, text)
        self.assertIn(f"batch: warning: no slides to convert: no *.nvx under {empty}", text)
        self.assertTrue(os.path.exists(os.path.join(self.output, "report.html")))


def noise_picture(path, size):
    """A JPEG of coarse random blocks: no other picture's bytes look like it."""
    blocks = PIL.Image.frombytes("RGB", (size[0] // 10, size[1] // 10),
                                 os.urandom(size[0] // 10 * size[1] // 10 * 3))
    blocks.resize(size, PIL.Image.NEAREST).save(path, quality=90)


def middle(data, length=48):
    return data[len(data) // 2: len(data) // 2 + length]


def traces(svs, source_jpeg, kind):
    """Byte strings that only a copy of the slide's picture holds: a piece of
    its JPEG stream in the output, of the stream the slide stores, and of the
    small JPEG a job embeds (raw, and as the report's base64)."""
    with tifffile.TiffFile(svs) as tiff:
        [page] = [p for p in tiff.pages if f"{kind} " in (p.description or "")]
        tiff.filehandle.seek(page.dataoffsets[0])
        stream = tiff.filehandle.read(page.databytecounts[0])
    with open(source_jpeg, "rb") as f:
        stored = f.read()
    uri = convert_slide.read_back(svs)[kind]
    embedded = uri.split(",", 1)[1]
    return {"stream": middle(stream), "stored": middle(stored),
            "small": middle(base64.b64decode(embedded)), "base64": middle(embedded).encode()}


# Batches run one after another: (a fresh output folder, settings, the sample
# sheet's no_label and no_macro cells per slide or None for the folder scan,
# the pictures each converted slide keeps, the reason each failed slide has).
LEFT_OUT_RUNS = [
    (True, [], None, {"one": {"label", "macro"}, "two": {"label", "macro"}}, {}),
    # The same folder de-identified: the earlier outputs, records and report
    # keep nothing of the pictures.
    (False, ["deidentify=true"], None, {"one": set(), "two": set()}, {}),
    (False, ["no_label=yes"], {"one": ("", "1"), "two": ("", "")},
     {"one": set(), "two": {"macro"}}, {}),
    (True, ["deidentify=1"], {"one": ("", ""), "two": ("false", "")}, {"one": set()},
     {"two": "no_label is false, but the batch is de-identified: the label stays out of "
             "every slide"}),
]


class PicturesLeftOut(unittest.TestCase):
    """no_label, no_macro and deidentify: a picture left out is in no file the
    batch writes and answers at no address of its viewer."""

    def setUp(self):
        if "--profile" in SNAKEMAKE_OPTIONS:
            self.skipTest("tested in the local run")
        self.folder = tempfile.mkdtemp(prefix="nvx-left-out-")
        self.input = os.path.join(self.folder, "in")
        os.makedirs(self.input)
        self.traces = {}
        self.references = {}
        for name in ("one", "two"):
            pictures = {}
            for kind, size in (("label", (300, 200)), ("macro", (400, 150))):
                pictures[kind] = os.path.join(self.folder, f"{name}-{kind}.jpg")
                noise_picture(pictures[kind], size)
            slide = os.path.join(self.input, name + ".nvx")
            subprocess.run([os.path.join(BUILD, "nvxmake"), "--synthetic", "640x480",
                            "--label", pictures["label"], "--preview", pictures["macro"], slide,
                            "--threads", "2"], check=True, capture_output=True)
            reference = os.path.join(self.folder, name + ".svs")
            subprocess.run([os.path.join(BUILD, "nvx2svs"), slide, reference, "2"], check=True,
                           capture_output=True)
            self.references[name] = reference
            for kind in ("label", "macro"):
                self.traces[name, kind] = traces(reference, pictures[kind], kind)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def assert_no_trace(self, data, hidden, where):
        for name, kind in hidden:
            for trace, piece in self.traces[name, kind].items():
                self.assertFalse(piece in data, f"{where} holds the {trace} of {name}'s {kind}")

    def test_pictures_left_out_are_nowhere(self):
        output = None
        for fresh, settings, sheet, kept, failed in LEFT_OUT_RUNS:
            with self.subTest(settings=settings, sheet=sheet):
                if fresh:
                    output = tempfile.mkdtemp(prefix="out-", dir=self.folder)
                options = list(settings)
                if sheet:
                    path = os.path.join(self.folder, "sheet.csv")
                    with open(path, "w", encoding="utf-8") as f:
                        f.write("slide,no_label,no_macro\n" + "".join(
                            f"{name}.nvx,{cells[0]},{cells[1]}\n" for name, cells in sheet.items()))
                    options.append(f"samples={path}")
                status, text = batch(self.input, output, "--config", *options)
                self.assertEqual(status, 1 if failed else 0, text)
                # Snakemake ran once, and the batch's last line came once.
                self.assertEqual(len(re.findall(r"^\d+ of 2 slides converted", text, re.M)), 1,
                                 text)
                with open(os.path.join(output, "report.csv"), encoding="utf-8",
                          newline="") as f:
                    rows = {row["slide"].split(".nvx")[0]: row for row in csv.DictReader(f)}
                for name, pictures in kept.items():
                    self.assertEqual(rows[name]["status"], "converted", rows[name]["reason"])
                    self.assertEqual(rows[name]["left out"],
                                     ", ".join(sorted({"label", "macro"} - pictures)))
                for name, reason in failed.items():
                    self.assertEqual(rows[name]["reason"], reason)
                hidden = {(name, kind) for name in ("one", "two") for kind in ("label", "macro")
                          if kind not in kept.get(name, ())}
                shown = {(name, kind) for name, pictures in kept.items() for kind in pictures}
                # Every file of the folder, Snakemake's own included.
                for root, _dirs, files in os.walk(output):
                    for file in files:
                        with open(os.path.join(root, file), "rb") as f:
                            self.assert_no_trace(f.read(), hidden, os.path.join(root, file))
                # Where a picture is kept the same traces are found.
                for name, kind in shown:
                    found = self.traces[name, kind]
                    for path, trace in ((f"{name}.svs", "stream"), ("report.html", "base64"),
                                        (f"logs/{name}.svs.json", "base64")):
                        with open(os.path.join(output, path), "rb") as f:
                            self.assertTrue(found[trace] in f.read(), f"{path}: {name}'s {kind}")
                if not settings:
                    with open(os.path.join(output, "logs", "one.svs.json"), "rb") as f:
                        labelled_record = f.read()
                elif fresh:
                    # Put there by hand: a labelled output, and a record of one.
                    shutil.copy(self.references["one"], os.path.join(output, "extra.svs"))
                    with open(os.path.join(output, "logs", "extra.svs.json"), "wb") as f:
                        f.write(labelled_record)
                    hidden |= {("one", "label"), ("one", "macro")}
                self.check_viewer(output, kept, hidden)

    def check_viewer(self, output, kept, hidden):
        log = open(os.path.join(self.folder, "viewer.log"), "w")
        server = subprocess.Popen([VIEW, output, "--port", "0"], stdout=subprocess.PIPE,
                                  stderr=log, text=True)
        try:
            port = int(re.search(r"http://127\.0\.0\.1:(\d+)/",
                                 server.stdout.readline()).group(1))

            def get(path):
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
                connection.request("GET", urllib.parse.quote(path))
                answer = connection.getresponse()
                body = answer.read()
                connection.close()
                self.assert_no_trace(body, hidden, path)
                return answer.status, body

            extra = os.path.exists(os.path.join(output, "extra.svs"))
            for name in ("one", "two", *(["extra"] if extra else [])):
                converted = name in kept
                pictures = kept.get(name, set())
                status, page = get(f"/view/{name}.svs")
                self.assertEqual(status, 200 if converted or name == "extra" else 404)
                for kind in ("label", "macro"):
                    self.assertEqual(f"/picture/{kind}/".encode() in page, kind in pictures)
                    self.assertEqual(get(f"/picture/{kind}/{name}.svs")[0],
                                     200 if kind in pictures else 404, f"{name}'s {kind}")
                # The output itself: served when it holds nothing left out.
                self.assertEqual(get(f"/{name}.svs")[0], 200 if converted else 404, name)
                if converted:
                    self.assertEqual(get(f"/logs/{name}.svs.json")[0], 200)
                    self.assertEqual(get(f"/logs/{name}.svs.log")[0], 200)
                elif name == "extra":
                    self.assertEqual(get("/logs/extra.svs.json")[0], 404)
            for path in ("/report.html", "/report.csv"):
                self.assertEqual(get(path)[0], 200)
        finally:
            server.terminate()
            server.wait(timeout=30)
            server.stdout.close()
            log.close()


class DicomToPacs(unittest.TestCase):
    """format dicom with a pacs: two slides converted to folders of
    instances and uploaded to Debian's Orthanc, started by the test, through
    its REST API or its DICOMweb plugin's STOW-RS; Orthanc holds one series
    per slide with its levels and thumbnail (and one with its label and
    overview), and the report links the levels' whole-slide viewer (REST) or
    says where the instances went."""

    SLIDES = {"one": ["--synthetic", "1024x768", "--mpp", "0.5"],
              "sub/two": ["--synthetic", "768x512", "--mpp", "0.25", "--seed", "3"]}

    def setUp(self):
        if "--profile" in SNAKEMAKE_OPTIONS:
            self.skipTest("tested in the local run")
        self.folder = tempfile.mkdtemp(prefix="nvx-pacs-")
        self.input = os.path.join(self.folder, "in")
        for name, options in self.SLIDES.items():
            path = os.path.join(self.input, name + ".nvx")
            os.makedirs(os.path.dirname(path), exist_ok=True)
            subprocess.run([os.path.join(BUILD, "nvxmake"), *options, path, "--threads", "2"],
                           check=True, capture_output=True)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def test_each_slide_levels_in_one_series_in_the_pacs(self):
        import pydicom
        from orthanc_server import Orthanc

        # (the settings beyond format and pacs, the instances each folder
        # holds besides its levels, whether the report links the viewer)
        cases = [
            ([], {"label.dcm", "overview.dcm", "thumbnail.dcm"}, True),
            (["pacs_api=stowrs", "deidentify=true", "pacs_timeout=600"], {"thumbnail.dcm"}, False),
        ]
        for settings, pictures, linked in cases:
            with self.subTest(settings=settings):
                run = tempfile.mkdtemp(dir=self.folder)
                orthanc = Orthanc(run, plugins=("wsi", "dicomweb"))
                try:
                    if not orthanc.wait_until_up():
                        self.fail("Orthanc ended before it answered: " + orthanc.log_text()[-500:])
                    address = f"http://127.0.0.1:{orthanc.port}"
                    output = os.path.join(run, "out")
                    status, text = batch(self.input, output, "--config", "format=dicom",
                                         "section_thickness=4", f"pacs={address}", *settings)
                    self.assertEqual(status, 0, text)
                    series = orthanc.json("/series")
                    # The levels' series, and the label's and overview's
                    # where the slide keeps them.
                    per_slide = 2 if "label.dcm" in pictures else 1
                    self.assertEqual(len(series), per_slide * len(self.SLIDES))
                    held = {}
                    for one in series:
                        found = orthanc.json(f"/series/{one}")
                        held[found["MainDicomTags"]["SeriesInstanceUID"]] = (one, found)
                    with open(os.path.join(output, "report.html"), encoding="utf-8") as f:
                        page = f.read()
                    links = set(re.findall(r'<a class="pacs" href="([^"]*)"', page))
                    for name in self.SLIDES:
                        folder = os.path.join(output, name + ".dicom")
                        files = sorted(n for n in os.listdir(folder) if not n.startswith("."))
                        self.assertEqual(set(files) - {n for n in files if
                                                        n.startswith("level-")}, pictures)
                        uid = pydicom.dcmread(os.path.join(folder, "level-0.dcm"),
                                              stop_before_pixels=True).SeriesInstanceUID
                        one, found = held[uid]
                        shown = {"label.dcm", "overview.dcm"} & pictures
                        self.assertEqual(len(found["Instances"]), len(files) - len(shown), name)
                        kinds = {orthanc.json(f"/instances/{i}/simplified-tags")["ImageType"]
                                 .split("\\")[2] for i in found["Instances"]}
                        self.assertNotIn("LABEL", kinds)
                        viewer = f"{address}/wsi/app/viewer.html?series={one}"
                        self.assertEqual(viewer in links, linked)
                        if linked:
                            self.assertEqual(orthanc.request("GET", viewer[len(address):])[0],
                                             200)
                    self.assertEqual(len(links), len(self.SLIDES) if linked else 0)
                    if not linked:
                        self.assertEqual(page.count("instances in the PACS (STOW-RS)"),
                                         len(self.SLIDES))
                        self.assertNotIn('<img class="label"', page)
                    else:
                        # The report as a browser shows it.
                        shot = os.path.join(os.path.dirname(os.path.abspath(SCREENSHOT))
                                            if SCREENSHOT else run, "report-dicom.png")
                        os.makedirs(os.path.dirname(shot), exist_ok=True)
                        chromium("--window-size=1500,700", f"--screenshot={shot}",
                                 "file://" + os.path.join(output, "report.html"))
                        self.assertGreater(os.path.getsize(shot), 10000)
                    parsed = rendered_report(os.path.join(output, "report.html"))
                    self.assertEqual([row["state"] for row in parsed.rows.values()],
                                     ["converted"] * len(self.SLIDES))
                    for row in parsed.rows.values():
                        self.assertGreater(row["pictures"]["thumbnail"], 0)
                    # A second run converts and uploads nothing again.
                    status, text = batch(self.input, output, "--config", "format=dicom",
                                         "section_thickness=4", f"pacs={address}", *settings)
                    self.assertEqual((status, convert_jobs(text)), (0, 0), text)
                finally:
                    orthanc.stop()


class OneNameTwoFormats(unittest.TestCase):
    """One output name in two formats (a.svs and a.dicom) is two slides:
    two jobs, two logs and records, both reported; and a folder of a batch
    whose markers, logs and records were named after the slide's name alone
    keeps its conversions."""

    def setUp(self):
        if "--profile" in SNAKEMAKE_OPTIONS:
            self.skipTest("tested in the local run")
        self.folder = tempfile.mkdtemp(prefix="nvx-formats-")
        self.input = os.path.join(self.folder, "in")
        os.makedirs(self.input)
        for name, seed in (("a", "1"), ("b", "2")):
            subprocess.run([os.path.join(BUILD, "nvxmake"), "--synthetic", "640x480", "--mpp",
                            "0.5", "--seed", seed, os.path.join(self.input, name + ".nvx")],
                           check=True, capture_output=True)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def test_both_rows_are_converted_and_reported(self):
        import pydicom

        sheet = os.path.join(self.folder, "sheet.csv")
        with open(sheet, "w", encoding="utf-8") as f:
            f.write("slide,name,format,section_thickness\na.nvx,a,tiff,\nb.nvx,a,dicom,4\n")
        output = os.path.join(self.folder, "out")
        status, text = batch(self.input, output, "--config", f"samples={sheet}")
        self.assertEqual((status, convert_jobs(text)), (0, 2), text)
        self.assertIn("2 of 2 slides converted, 0 failed", text)
        with openslide.OpenSlide(os.path.join(output, "a.svs")) as slide:
            self.assertEqual(slide.dimensions, (640, 480))
        level = pydicom.dcmread(os.path.join(output, "a.dicom", "level-0.dcm"),
                                stop_before_pixels=True)
        self.assertEqual((level.TotalPixelMatrixColumns, level.TotalPixelMatrixRows), (640, 480))
        with open(os.path.join(output, "report.csv"), encoding="utf-8", newline="") as f:
            rows = [(row["output"], row["status"]) for row in csv.DictReader(f)]
        self.assertEqual(rows, [("a.svs", "converted"), ("a.dicom", "converted")])
        for output_name, slide, form in (("a.svs", "a.nvx", "tiff"),
                                         ("a.dicom", "b.nvx", "dicom")):
            with open(os.path.join(output, "logs", output_name + ".json"), encoding="utf-8") as f:
                record = json.load(f)
            self.assertEqual((record["status"], record["input"]),
                             ("converted", os.path.join(self.input, slide)))
            with open(os.path.join(output, "logs", output_name + ".log"), encoding="utf-8") as f:
                self.assertIn(f" --format={form} ", f.read())
        status, text = batch(self.input, output, "--config", f"samples={sheet}")
        self.assertEqual((status, convert_jobs(text)), (0, 0), text)

        # The names an earlier batch gave (its marker after a hash of "a",
        # logs/a.log and logs/a.json) for the TIFF: the next run adopts them
        # and converts nothing; the DICOM slide, whose record they are not,
        # would be converted again, so its own stay as they are.
        done = os.path.join(output, ".snakemake", "nvx-batch", "done")
        [item] = [e for e in batch_plan.read_sheet(sheet, self.input, "4")
                  if batch_plan.output_name(e) == "a.svs"]
        os.replace(os.path.join(done, item["key"]), os.path.join(done, batch_plan.key_of("a")))
        for suffix in (".log", ".json"):
            os.replace(os.path.join(output, "logs", "a.svs" + suffix),
                       os.path.join(output, "logs", "a" + suffix))
        before = mtimes(output)
        status, text = batch(self.input, output, "--config", f"samples={sheet}")
        self.assertEqual((status, convert_jobs(text)), (0, 0), text)
        self.assertEqual(mtimes(output), before)
        self.assertEqual(sorted(os.listdir(os.path.join(output, "logs"))),
                         ["a.dicom.json", "a.dicom.log", "a.svs.json", "a.svs.log"])
        self.assertTrue(os.path.exists(os.path.join(done, item["key"])))


class SnakemakeVersions(unittest.TestCase):
    """A Snakemake the workflow has no profile for is refused in one line."""

    def test_only_snakemake_7_is_run(self):
        if "--profile" in SNAKEMAKE_OPTIONS:
            self.skipTest("tested in the local run")
        with tempfile.TemporaryDirectory(prefix="nvx-versions-") as folder:
            os.makedirs(os.path.join(folder, "in"))
            fake = os.path.join(folder, "bin", "snakemake")
            os.makedirs(os.path.dirname(fake))
            environment = dict(os.environ, NVX2SVS=os.path.join(BUILD, "nvx2svs"),
                               PATH=os.path.dirname(fake) + os.pathsep + os.environ["PATH"])
            for version in ("8.4.7", "9.1.0", "6.15.5"):
                with self.subTest(version=version):
                    with open(fake, "w") as f:
                        f.write(f"#!/bin/sh\n[ \"$1\" = --version ] && echo {version} && exit 0\n"
                                "echo ran >&2; exit 9\n")
                    os.chmod(fake, 0o755)
                    done = subprocess.run([BATCH, os.path.join(folder, "in"),
                                           os.path.join(folder, "out")], capture_output=True,
                                          text=True, env=environment, timeout=60)
                    self.assertEqual(done.returncode, 2, done.stderr)
                    self.assertEqual(done.stderr, f"batch: Snakemake {version} is not supported: "
                                     "the workflow and its profiles are for Snakemake 7 "
                                     "(Debian 12 has 7.21)\n")


class SlurmSizing(unittest.TestCase):
    """What a batch asks of the cluster fits it, or the batch says what to change."""

    def setUp(self):
        if "--profile" not in SNAKEMAKE_OPTIONS:
            self.skipTest("needs the Slurm cluster")
        self.folder = tempfile.mkdtemp(prefix="nvx-sizing-")
        self.input = os.path.join(self.folder, "in")
        os.makedirs(self.input)
        subprocess.run([os.path.join(BUILD, "nvxmake"), "--synthetic", "512x512",
                        os.path.join(self.input, "a.nvx"), "--threads", "2"], check=True,
                       capture_output=True)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def test_requests_the_nodes_cannot_meet(self):
        cpus = os.cpu_count()
        for setting, message in [
                (f"cpus={cpus + 1}", f"the setting cpus={cpus + 1} is more than any node"),
                ("mem_mb=999999999", "the setting mem_mb=999999999 is more than any node"),
                ("cpus=two", "the setting cpus must be a whole number")]:
            with self.subTest(setting=setting):
                status, text = batch(self.input, os.path.join(self.folder, "out"),
                                     "--config", setting)
                self.assertEqual(status, 2, text)
                self.assertIn(message, text)
                self.assertEqual(convert_jobs(text), 0, text)

    def test_a_job_the_partition_can_never_start(self):
        # The partition allows fewer cores per node than the node has: the job
        # would pend with reason PartitionConfig for ever.
        subprocess.run(["scontrol", "update", "PartitionName=batch", "MaxCPUsPerNode=1"],
                       check=True)
        try:
            environment = dict(os.environ, NVX2SVS=os.path.join(BUILD, "nvx2svs"),
                               NVX_BATCH_WATCH_SECONDS="1")
            output = os.path.join(self.folder, "out")
            done = subprocess.run([BATCH, self.input, output, *SNAKEMAKE_OPTIONS],
                                  capture_output=True, text=True, env=environment, timeout=300)
        finally:
            subprocess.run(["scontrol", "update", "PartitionName=batch",
                            "MaxCPUsPerNode=UNLIMITED"], check=True)
        text = done.stdout + done.stderr
        self.assertNotEqual(done.returncode, 0, text)
        self.assertRegex(text, r"batch: Slurm job \d+ can never start \(PartitionConfig\)")
        with open(os.path.join(output, "report.csv"), encoding="utf-8", newline="") as f:
            [row] = list(csv.DictReader(f))
        self.assertEqual(row["status"], "failed")
        self.assertIn("can never start (PartitionConfig)", row["reason"])

    def test_where_sinfo_cannot_reach_the_cluster(self):
        bare = os.path.join(self.folder, "bin")
        os.makedirs(bare)
        with open(os.path.join(bare, "sinfo"), "w") as f:
            f.write("#!/bin/sh\necho 'sinfo: error: Unable to contact slurm controller' >&2\n"
                    "exit 1\n")
        os.chmod(os.path.join(bare, "sinfo"), 0o755)
        environment = dict(os.environ, NVX2SVS=os.path.join(BUILD, "nvx2svs"),
                           PATH=bare + os.pathsep + os.environ["PATH"])
        done = subprocess.run([BATCH, self.input, os.path.join(self.folder, "out"),
                               *SNAKEMAKE_OPTIONS], capture_output=True, text=True,
                              env=environment, timeout=120)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertEqual(done.stderr, "batch: sinfo cannot list the cluster's nodes (sinfo: "
                         "error: Unable to contact slurm controller); give cpus and mem_mb "
                         "(scripts/batch.sh ... --config cpus=N mem_mb=M)\n")


# Names as scanners, people and sheets make them: (file name, expected state,
# reason in the report when failed). The folder itself is named like YAML.
ODD_NAMES = [
    ("x{y}.nvx", "converted", None),
    ("new\nline.nvx", "converted", None),
    ("-lead.nvx", "converted", None),
    (" space.nvx", "converted", None),
    ("back\\slash.nvx", "converted", None),
    ("%41.nvx", "converted", None),
    ("quo'te\".nvx", "converted", None),
    ("cr\r.nvx", "converted", None),
    ("tab\t.nvx", "converted", None),
    ("javascript:alert(document.title).nvx", "converted", None),
    ("ab" * 100 + ".nvx", "converted", None),  # Snakemake's periodic wildcards
    ("A.NVX", "converted", None),
    ("A.nvx", "failed", "A.NVX has the same output name (A.svs, letter case aside)"),
    ("L" * 251 + ".nvx", "failed", "the slide library takes paths of at most 255 bytes"),
    ("dangling.nvx", "failed", "the slide is a link to a missing file"),
    ("x.nvx", "failed", "x.svs is also a folder of other outputs"),
    ("x.svs/inner.nvx", "converted", None),  # the folder beside x.nvx
    ("y.nvx", "failed", "y.svs is a folder in the output folder"),
    # A folder named like the batch's report: the report is still written.
    ("report.html/z.nvx", "failed", "which the batch keeps for its own report.html"),
    # One name on a share that normalises Unicode: NFD sorts first.
    ("cafe\u0301.nvx", "converted", None),
    ("caf\u00e9.nvx", "failed", "in another Unicode normalisation"),
]


class LinkProbe(html.parser.HTMLParser):
    """Every link and picture of a page as the browser resolved it."""

    def __init__(self):
        super().__init__()
        self.resolved = []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "data-resolved" in attrs:
            self.resolved.append((tag, attrs["data-resolved"]))


class OddNames(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="nvx-odd-")
        # "Batch #2: in,{a}" read as YAML would be the folder "Batch".
        self.input = os.path.join(self.folder, "Batch #2: in,{a}")
        self.output = os.path.join(self.folder, "out #3: x")
        decoy = os.path.join(self.folder, "Batch")
        for folder in (self.input, decoy, os.path.join(self.input, "x.svs"),
                       os.path.join(self.output, "y.svs")):
            os.makedirs(folder)
        first = os.path.join(self.input, "first.nvx")
        subprocess.run([os.path.join(BUILD, "nvxmake"), "--synthetic", "640x480", first,
                        "--threads", "2"], check=True, capture_output=True)
        shutil.copy(first, os.path.join(decoy, "decoy.nvx"))
        for name, _state, _reason in ODD_NAMES:
            if name == "dangling.nvx":
                os.symlink(os.path.join(self.folder, "nowhere.nvx"),
                           os.path.join(self.input, name))
            else:
                os.makedirs(os.path.dirname(os.path.join(self.input, name)), exist_ok=True)
                shutil.copy(first, os.path.join(self.input, name))
        os.unlink(first)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def test_every_name_is_converted_or_a_failed_row(self):
        if "--profile" in SNAKEMAKE_OPTIONS:
            self.skipTest("tested in the local run")
        status, text = batch(self.input, self.output)
        self.assertEqual(status, 1, text)
        self.assertEqual(convert_jobs(text), 15, text)  # the others never reach Snakemake
        converted = sum(state == "converted" for _name, state, _reason in ODD_NAMES)
        self.assertEqual(text.splitlines()[-1], f"{converted} of {len(ODD_NAMES)} slides "
                         f"converted, {len(ODD_NAMES) - converted} failed: "
                         f"see {self.output}/report.html")
        with open(os.path.join(self.output, "report.csv"), encoding="utf-8", newline="") as f:
            rows = {row["slide"].removeprefix("'"): row for row in csv.DictReader(f)}
        self.assertEqual(sorted(rows), sorted(name for name, _, _ in ODD_NAMES))
        for name, state, reason in ODD_NAMES:
            with self.subTest(name=name):
                self.assertEqual(rows[name]["status"], state, rows[name]["reason"])
                if reason:
                    self.assertIn(reason, rows[name]["reason"])
                else:
                    output = os.path.join(self.output, name[:-4] + ".svs")
                    slide = openslide.OpenSlide(output)
                    self.assertEqual(slide.dimensions, (640, 480))
                    slide.close()
        self.assertFalse(glob.glob(os.path.join(glob.escape(self.output), "decoy*")))
        self.check_links(os.path.join(self.output, "report.html"))

    def check_links(self, report):
        """Every href and src of the report, resolved by Chromium, is a file:
        URL of a file that exists."""
        with open(report, encoding="utf-8") as f:
            page = f.read()
        probe = ("<script>window.addEventListener('load', () => {"
                 "for (const e of document.querySelectorAll('[href],[src]')) {"
                 "const value = e.getAttribute('href') ?? e.getAttribute('src');"
                 "if (!value.startsWith('data:')) e.setAttribute('data-resolved',"
                 " e.href || e.src);}});</script>")
        copy = os.path.join(self.output, "report-probe.html")
        with open(copy, "w", encoding="utf-8") as f:
            f.write(page.replace("</body>", probe + "</body>"))
        try:
            probed = LinkProbe()
            probed.feed(chromium("--dump-dom", "file://" + urllib.parse.quote(copy)))
        finally:
            os.unlink(copy)
        outputs = [url for tag, url in probed.resolved if url.endswith(".svs")]
        self.assertEqual(len(outputs), 14, probed.resolved)
        for tag, url in probed.resolved:
            with self.subTest(url=url):
                self.assertTrue(url.startswith("file:///"), url)
                self.assertTrue(os.path.isfile(urllib.parse.unquote(url[len("file://"):])), url)


def main(argv):
    global BUILD, SCREENSHOT, SHEET
    if not argv or argv[0].startswith("-"):
        sys.exit(__doc__)
    BUILD = os.path.abspath(argv.pop(0))
    only = []
    while argv:
        option = argv.pop(0)
        if option == "--screenshot":
            SCREENSHOT = argv.pop(0)
        elif option == "--no-sheet":
            SHEET = False
        elif option == "--only":  # a test's name, as unittest takes it
            only.append(argv.pop(0))
        else:
            SNAKEMAKE_OPTIONS.append(option)
    if "--profile" in SNAKEMAKE_OPTIONS:
        SHEET = False
    unittest.main(argv=[sys.argv[0], "-v", *only])


if __name__ == "__main__":
    main(sys.argv[1:])
