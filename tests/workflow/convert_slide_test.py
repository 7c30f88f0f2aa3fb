"""convert_slide_test.py - one job of the batch workflow on its own: whatever
way a conversion fails, the job leaves no output and no partial file, keeps
the log and records the reason.

  - the real converter losing tiles (the fake slide library's corrupt tile
    streams) after it has created its output: our diagnostic is the reason;
  - a converter that writes part of a file and fails, one that exits 0 with a
    file OpenSlide cannot open, and a job stopped by SIGTERM mid-conversion;
  - the real converter killed with its job: the next try removes its temporary;
  - the outcome read from the converter's JSON report, never its console:
    the reason, whether it converted, the levels and how their tiles were
    made, the pixel size and its source;
  - a huge label read back at reduced size; the MPP the converter assumed;
  - the converter's options: the command line the job builds from them (a
    bad value fails the slide and runs nothing; a slide path that begins
    with "--" stays a path), each option's rule against the converter's own,
    and a pixel size given to the real converter, read back and reported;
  - a picture the options leave out: not in the output nor the record, an
    output that holds it anyway fails the slide, and an earlier output that
    holds it is removed before the conversion;
  - format dicom: a folder read back and published whole, an earlier folder
    of ours replaced, one not ours left alone, a PACS that does not answer.

usage: convert_slide_test.py BUILD_DIR
"""

import base64
import csv
import email.parser
import email.policy
import http.server
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import openslide
import PIL.Image
import PIL.ImageDraw

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
JOB = os.path.join(TOP, "workflow", "scripts", "convert_slide.py")
sys.path.insert(0, os.path.dirname(JOB))
import batch_plan  # noqa: E402
import batch_report  # noqa: E402

BUILD = None


class PacsStub(http.server.ThreadingHTTPServer):
    """A PACS on a free loopback port that keeps every request it gets and
    answers each POST with `answer`: (status, JSON, or bytes as they are,
    and optionally headers), or "silent" (it reads the request and never
    answers) or "trickle" (an answer a byte at a time that never ends),
    until it is closed. A GET, which only a redirect followed would send,
    gets an answer that says "stored"."""

    def __init__(self):
        self.requests, self.answer = [], (200, {})
        self.closing = threading.Event()
        stub = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def reply(self, status, answer, headers=()):
                data = answer if isinstance(answer, bytes) else json.dumps(answer).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                for name, value in dict(headers).items():
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(data)

            def do_POST(self):  # noqa: N802 - the base class's name
                body = self.rfile.read(int(self.headers["Content-Length"]))
                stub.requests.append((self.path, dict(self.headers), body))
                if stub.answer == "silent":
                    stub.closing.wait(120)
                elif stub.answer == "trickle":
                    self.send_response(200)
                    self.send_header("Content-Length", "1000000")
                    self.end_headers()
                    while not stub.closing.wait(0.05):
                        try:
                            self.wfile.write(b" ")
                            self.wfile.flush()
                        except OSError:
                            break
                else:
                    self.reply(*stub.answer)

            def do_GET(self):  # noqa: N802 - the base class's name
                stub.requests.append(("GET " + self.path, dict(self.headers), b""))
                self.reply(200, {"Status": "Success", "ParentSeries": stub.series,
                                 "00081199": {"vr": "SQ", "Value": [{}]}})

            def log_message(self, *_args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def close(self):
        self.closing.set()
        self.shutdown()
        self.server_close()


def stow_parts(headers, body):
    """The parts of a multipart/related body as (Content-Type, bytes)."""
    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b"Content-Type: " + headers["Content-Type"].encode() + b"\r\n\r\n" + body)
    return [(part.get_content_type(), part.get_payload(decode=True))
            for part in message.iter_parts()]


class Job(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="nvx-job-")
        self.dir = self.folder.name
        self.slide = os.path.join(self.dir, "slide.nvx")
        with open(self.slide, "wb") as f:
            f.write(b"only named: the fake library makes the pixels")
        self.output = os.path.join(self.dir, "out", "slide.svs")

    def tearDown(self):
        self.folder.cleanup()

    def command(self, converter, *options):
        return [sys.executable, JOB, "--converter", converter,
                "--log", os.path.join(self.dir, "logs", "slide.log"),
                "--record", os.path.join(self.dir, "logs", "slide.json"),
                *options, "--", self.slide, self.output, "4"]

    def record(self):
        with open(os.path.join(self.dir, "logs", "slide.json"), encoding="utf-8") as f:
            return json.load(f)

    def fake_converter(self, body, raw=False, name="fake-nvx2svs", report=None):
        """A converter made of `body`, which sees the arguments after the
        options and their "--" as $1 (the slide), $2 (the output) and on,
        and the path --report names as $report, or every word the job gave
        it if `raw`. `report`, when given, is the JSON report it writes
        first ("$2" in its text becomes the output it was given)."""
        path = os.path.join(self.dir, name)
        prelude = "" if raw else ('for word; do shift; case $word in --report=*) '
                                  'report=${word#--report=};; --) break;; esac; done\n')
        if report is not None:
            text = json.dumps(dict({"converted": False, "reason": None}, **report))
            prelude += f"printf '%s\\n' '{text}' | sed \"s|\\$2|$2|g\" > \"$report\"\n"
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + prelude + body)
        os.chmod(path, 0o755)
        return path

    def assert_failed(self, done, reason):
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertEqual(os.listdir(os.path.dirname(self.output)), [])  # nothing, not even hidden
        with open(os.path.join(self.dir, "logs", "slide.json"), encoding="utf-8") as f:
            record = json.load(f)
        self.assertEqual(record["status"], "failed")
        self.assertIn(reason, record["reason"])
        with open(os.path.join(self.dir, "logs", "slide.log"), encoding="utf-8") as f:
            self.assertIn(reason, f.read())
        return record

    def test_lost_tiles_after_the_output_was_created(self):
        environment = dict(os.environ, LD_LIBRARY_PATH=os.path.join(BUILD, "tests", "fake"),
                           NVXFAKE_CORRUPT="tile")
        done = subprocess.run(self.command(os.path.join(BUILD, "nvx2svs")), env=environment,
                              capture_output=True, text=True, timeout=120)
        record = self.assert_failed(done, "could not be read")
        self.assertEqual(record["exit_status"], 255)
        self.assertTrue(record["reason"].endswith("(exit status 255)"), record["reason"])

    def test_a_converter_that_writes_part_of_a_file_and_fails(self):
        # The reason is the one its report gives, whatever its console says;
        # without a report, the last line it left on standard error.
        body = ('head -c 5000 /dev/urandom > "$2"\necho "error:输入NVX文件有误!!"\n'
                'echo "nvx2svs: error: the console\'s words" >&2\nexit {status}\n')
        # (its report, its exit status, the reason)
        cases = [
            ({"reason": "the disk is full"}, 255, "the disk is full (exit status 255)"),
            (None, 255, "the conversion failed without a report: nvx2svs: error: the "
                        "console's words (exit status 255)"),
            # A report that says converted, with a status that does not.
            ({"converted": True}, 1, "the conversion failed without a report: nvx2svs: "
                                     "error: the console's words (exit status 1)"),
            (None, 0, "the converter wrote no report (exit status 0)"),
            ({"reason": "the disk is full"}, 0, "the disk is full (exit status 0)"),
        ]
        for report, status, reason in cases:
            with self.subTest(report=report, status=status):
                converter = self.fake_converter(body.format(status=status), report=report)
                done = subprocess.run(self.command(converter), capture_output=True, text=True)
                record = self.assert_failed(done, reason)
                self.assertEqual(record["reason"], reason)

    def test_a_failure_names_the_output_never_the_hidden_file(self):
        for says, expected in [
                ("the disk is full; $2 was left as it was",
                 f"the disk is full; {self.output} was left as it was"),
                ("cannot write $2 (it is open)", f"cannot write {self.output} (it is open)")]:
            with self.subTest(says=says):
                converter = self.fake_converter("exit 255\n", report={"reason": says})
                done = subprocess.run(self.command(converter), capture_output=True, text=True)
                record = self.assert_failed(done, expected)
                self.assertEqual(record["reason"], expected + " (exit status 255)")

    def test_success_with_an_output_the_readers_cannot_open(self):
        # A DICOM folder is already at OUT when it is read back: it goes.
        cases = [("tiff", ".svs", 'echo "not a TIFF" > "$2"', [],
                  "does not open in OpenSlide"),
                 ("dicom", ".dicom", 'mkdir "$2" && echo "not DICOM" > "$2/level-0.dcm"',
                  ["--options", '{"format": "dicom", "section_thickness": "4"}'],
                  "the output is not a slide's DICOM instances")]
        for name, suffix, body, options, reason in cases:
            with self.subTest(name):
                self.output = os.path.join(self.dir, "out", "slide" + suffix)
                converter = self.fake_converter(body + "\nexit 0\n", report={"converted": True})
                done = subprocess.run(self.command(converter, *options), capture_output=True,
                                      text=True)
                self.assertEqual(self.assert_failed(done, reason)["exit_status"], 0)

    def test_a_path_with_a_question_mark(self):
        # The converter would read the '?' as a blank and open another file.
        self.slide = os.path.join(self.dir, "what?.nvx")
        with open(self.slide, "wb") as f:
            f.write(b"never read")
        done = subprocess.run(self.command(self.fake_converter("exit 0\n")),
                              capture_output=True, text=True)
        self.assert_failed(done, "the path contains '?'")

    def make_slide(self, *options):
        subprocess.run([os.path.join(BUILD, "nvxmake"), *options, self.slide, "--threads", "2"],
                       check=True, capture_output=True)

    def test_files_left_by_a_killed_job_are_cleared(self):
        # kill -9 of the job and the real converter while the converter writes
        # its own hidden temporary: the next try of the slide removes it.
        self.make_slide("--synthetic", "8000x8000")
        job = subprocess.Popen(self.command(os.path.join(BUILD, "nvx2svs")),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
        folder = os.path.dirname(self.output)
        left = []
        deadline = time.monotonic() + 60
        while job.poll() is None and time.monotonic() < deadline:
            left = [n for n in os.listdir(folder) if n.endswith(".part")] \
                if os.path.isdir(folder) else []
            if left:
                break
            time.sleep(0.01)
        os.killpg(job.pid, signal.SIGKILL)
        job.wait()
        self.assertTrue(left, "the converter's temporary file was never seen")
        self.assertTrue(set(left) <= set(os.listdir(folder)))
        # A report of that try, and its temporary, as a kill at the end would leave them.
        tried = left[0][1:].split(".svs.")[0]
        for name in (f"{tried}.report.json", f".{tried}.report.json.host.1.random.part"):
            open(os.path.join(folder, name), "w").close()
        done = subprocess.run(self.command(self.fake_converter("exit 255\n")),
                              capture_output=True, text=True)
        self.assert_failed(done, "the conversion failed without a report (exit status 255)")

    def test_a_huge_label_is_read_at_reduced_size(self):
        # 9000 x 9000 pixels: a whole read takes 324 MB for OpenSlide's buffer alone.
        label = os.path.join(self.dir, "label.jpg")
        picture = PIL.Image.new("RGB", (9000, 9000), (200, 30, 40))
        PIL.ImageDraw.Draw(picture).rectangle((0, 0, 8999, 4499), fill=(20, 40, 200))
        picture.save(label, quality=85)
        del picture
        self.make_slide("--synthetic", "1024x768", "--label", label)
        done = subprocess.run(self.command(os.path.join(BUILD, "nvx2svs")), capture_output=True,
                              text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(os.path.join(self.dir, "logs", "slide.json"), encoding="utf-8") as f:
            info = json.load(f)["openslide"]
        self.assertEqual(info["associated"]["label"], [9000, 9000])
        self.assertEqual(info["reduced"], ["label"])
        small = PIL.Image.open(io.BytesIO(base64.b64decode(info["label"].split(",", 1)[1])))
        self.assertEqual(small.size, (160, 160))
        top, bottom = small.getpixel((80, 20)), small.getpixel((80, 140))
        self.assertTrue(top[2] > 150 and top[0] < 80, top)  # blue half above
        self.assertTrue(bottom[0] > 150 and bottom[2] < 100, bottom)  # red half below
        # The check's own peak memory (VmHWM, kB, of a fresh process image)
        # stays far below one whole read.
        probe = subprocess.run(
            [sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]);"
             "import convert_slide; convert_slide.read_back(sys.argv[2]);"
             "print(open('/proc/self/status').read().split('VmHWM:')[1].split()[0])",
             os.path.dirname(JOB), self.output], capture_output=True, text=True, check=True)
        self.assertLess(int(probe.stdout) * 1024, 9000 * 9000 * 4 // 2)

    def test_the_mpp_the_converter_assumed_is_recorded(self):
        # As its report says, whatever its console says.
        self.make_slide("--synthetic", "512x512")
        made = os.path.join(self.dir, "made.svs")
        subprocess.run([os.path.join(BUILD, "nvx2svs"), self.slide, made, "2"], check=True,
                       capture_output=True)
        assuming = ("nvx2svs: warning: the slide records no pixel size; the descriptions say "
                    "MPP = 0.239842, the usual value at 40x")
        for line, source, assumed in [(assuming, "assumed", True),
                                      ("nvx2svs: warning: something else", "assumed", True),
                                      (assuming, "recorded", False), (assuming, "given", False),
                                      ("", "none", False)]:
            with self.subTest(line=line, source=source):
                converter = self.fake_converter(f'cp {made} "$2"\necho "{line}" >&2\n', report={
                    "converted": True, "mpp": 0.239842, "mpp_source": source})
                done = subprocess.run(self.command(converter), capture_output=True, text=True)
                self.assertEqual(done.returncode, 0, done.stderr)
                record = self.record()
                self.assertIs(record["assumed_mpp"], assumed)
                self.assertEqual((record["mpp"], record["mpp_source"]), (0.239842, source))
                os.unlink(self.output)

    def test_the_converters_command_line(self):
        # The fake converter keeps its arguments, one a line, and fails.
        words = os.path.join(self.dir, "words")
        converter = self.fake_converter(f'printf "%s\\n" "$@" > {words}\nexit 255\n',
                                        raw=True)
        bad = "mpp must be a number above 0 (about 1.2e-38 at least) and up to 1000"
        # (--options, the slide as given, the options before the report's
        # word and "--", or the reason)
        cases = [
            ('{"mpp": "0.25"}', "slide.nvx", ["--mpp=0.25", "--"]),
            ('{"mpp": " 1e-1 "}', "slide.nvx", ["--mpp=1e-1", "--"]),
            ('{"mpp": ""}', "slide.nvx", ["--"]),
            ("{}", "--lead.nvx", ["--"]),
            ('{"mpp": "0.5"}', "--mpp=3", ["--mpp=0.5", "--"]),
            ('{"mpp": "0.3 --threads 2"}', "slide.nvx", bad),
            ('{"mpp": "--no-label"}', "slide.nvx", bad),
            ('{"sharpen": "1"}', "slide.nvx", "the converter has no option --sharpen"),
            ('{"chroma": "420", "quality": "080", "tiles": "copy", "threads": " 2 "}', "s.nvx",
             ["--threads=2", "--tiles=copy", "--quality=80", "--chroma=420", "--"]),
            ('{"threads": "0"}', "slide.nvx", "threads must be a whole number of CPUs, at least 1"),
            ('{"threads": "2 --no-label"}', "slide.nvx", "threads must be a whole number"),
            ('{"tiles": "copy --mpp=3"}', "slide.nvx", "tiles must be copy, not 'copy --mpp=3'"),
            ('{"quality": "101"}', "slide.nvx", "quality must be a JPEG quality, a whole number"),
            ('{"chroma": "444"}', "slide.nvx", "chroma must be 420, not '444'"),
            ('{"no_macro": "yes", "no_label": "TRUE"}', "slide.nvx",
             ["--no-label", "--no-macro", "--"]),
            ('{"no_label": "false", "mpp": "0.5"}', "slide.nvx", ["--mpp=0.5", "--"]),
            ('{"no_macro": "on"}', "slide.nvx", "no_macro must be true or false"),
            ('{"no_label": "true --mpp=3"}', "slide.nvx", "no_label must be true or false"),
            ('["--mpp=1"]', "slide.nvx", "the options are not a JSON object"),
        ]
        for options, slide, expected in cases:
            with self.subTest(options=options, slide=slide):
                if os.path.exists(words):
                    os.unlink(words)
                with open(os.path.join(self.dir, slide), "wb") as f:
                    f.write(b"never read")
                self.slide = slide  # relative to the job's folder
                done = subprocess.run(self.command(converter, "--options", options),
                                      capture_output=True, text=True, cwd=self.dir)
                if isinstance(expected, str):
                    self.assert_failed(done, expected)
                    self.assertFalse(os.path.exists(words), "the converter was run")
                    continue
                self.assert_failed(done, "the conversion failed without a report (exit status "
                                         "255)")
                with open(words, encoding="utf-8") as f:
                    given = f.read().splitlines()
                # The report goes to a hidden file of the job's own beside the output.
                report = given.pop(len(expected) - 1)
                self.assertRegex(report, "^--report=" + re.escape(
                    os.path.dirname(self.output)) + r"/\.nvxjob-[0-9a-f]{16}-\d+\.report\.json$")
                self.assertEqual(given[:len(expected)], expected)
                self.assertEqual(given[len(expected)], slide)
                self.assertEqual(given[len(expected) + 2:], ["4"])

    def test_the_option_rules_are_the_converters(self):
        # Each value as the batch's rule takes it and as nvx2svs takes it
        # (LC_ALL=C.UTF-8, as the job runs it); blanks around a cell or
        # setting are the batch's to take away. (option, values)
        whole = ["1", "8", "100", "101", "007", "0", "-1", "+2", "1.0", "1e2", "2147483647",
                 "2147483648", "99999999999", " 3 ", "", "x", "0x10", "\u0663", "\uff12", "3 4"]
        lengths = ["0.25", "1000", "1000.0001", "0", "-1", "1e-1", "1E2", ".5", "5.", "0x1p-2",
                   "0x.8", "+0.5", " 0.5\t", "inf", "nan", "1e999", "1e-999", "1e", "0x", "0,5",
                   "1_0", "abc", "", "0.5x", "\u0665", "1e-320", "1e-38", "1.1754943e-38",
                   "1.17549e-38", "0x1p-126", "0x1.fffffep-127", "1e-46"]
        cases = [
            ("mpp", lengths),
            ("section_thickness", lengths),
            ("threads", whole),
            ("quality", whole),
            ("tiles", ["copy", "Copy", "COPY", " copy ", "copy2", "", "decode", "copy copy"]),
            ("chroma", ["420", "444", "4:2:0", " 420 ", "0420", "420.0", "", "422"]),
            ("format", ["tiff", "dicom", " dicom ", "DICOM", "Tiff", "svs", "dcm", ""]),
        ]
        rules = {option.name: option.rule for option in batch_plan.CONVERTER_OPTIONS}
        environment = dict(os.environ, LC_ALL="C.UTF-8")
        for name, values in cases:
            flag = name.replace("_", "-")
            for value in values:
                with self.subTest(name=name, value=value):
                    try:
                        rules[name](value)
                        ours = True
                    except ValueError:
                        ours = False
                    done = subprocess.run([os.path.join(BUILD, "nvx2svs"),
                                           f"--{flag}={value.strip(batch_plan.BLANKS)}"],
                                          capture_output=True, text=True, env=environment)
                    self.assertEqual(ours, f"error: --{flag} '" not in done.stderr, done.stderr)

    def test_a_given_pixel_size_reaches_the_output_and_the_report(self):
        # A slide that records none (without --mpp the converter assumes
        # one), named so that it would be an option without the "--".
        self.make_slide("--synthetic", "512x512")
        os.rename(self.slide, os.path.join(self.dir, "--lead.nvx"))
        self.slide = "--lead.nvx"
        out = os.path.dirname(self.output)
        # (options, the MPP read back, the report's MPP and its source, the
        # tiles copied, transcoded and from pixels: the first level's four
        # stored tiles, and the one tile of the level below)
        for options, mpp_x, shown, routes in [
                ("{}", "0.239842", ("0.239842 (assumed)", "assumed"), ("0", "4", "1")),
                ('{"mpp": "0.3"}', "0.3", ("0.3 (given)", "given"), ("0", "4", "1")),
                ('{"mpp": "0.3", "tiles": "copy"}', "0.3", ("0.3 (given)", "given"),
                 ("4", "0", "1"))]:
            with self.subTest(options=options):
                done = subprocess.run(self.command(os.path.join(BUILD, "nvx2svs"), "--options",
                                                   options), capture_output=True, text=True,
                                      timeout=120, cwd=self.dir)
                self.assertEqual(done.returncode, 0, done.stderr)
                record = self.record()
                self.assertAlmostEqual(float(record["openslide"]["mpp_x"]), float(mpp_x))
                self.assertIs(record["assumed_mpp"], options == "{}")
                # The report of a batch whose one slide this was.
                item = batch_plan.entry("slide", self.slide, "4")
                os.makedirs(os.path.join(out, "logs"), exist_ok=True)
                with open(os.path.join(out, batch_plan.record_path(item)), "w",
                          encoding="utf-8") as f:
                    json.dump(record, f)
                _page, table = batch_report.write_report(out, [item])
                with open(table, encoding="utf-8", newline="") as f:
                    [row] = list(csv.DictReader(f))
                self.assertEqual((row["MPP"], row["MPP source"]), shown)
                self.assertEqual((row["copied"], row["transcoded"], row["from pixels"]), routes)
                self.assertEqual([sum(level["routes"].values()) for level in record["levels"]],
                                 [level["tiles"] for level in record["levels"]])
                os.unlink(self.output)

    def test_a_picture_left_out_stays_out(self):
        # The slide has a label and a macro (nvxmake makes them up).
        self.make_slide("--synthetic", "512x384")
        labelled = os.path.join(self.dir, "labelled.svs")
        bare = os.path.join(self.dir, "bare.svs")
        for made, options in ((labelled, []), (bare, ["--no-label", "--no-macro"])):
            subprocess.run([os.path.join(BUILD, "nvx2svs"), *options, self.slide, made, "2"],
                           check=True, capture_output=True)
        real = os.path.join(BUILD, "nvx2svs")
        copies = self.fake_converter(f'cp {labelled} "$2"\n', name="copies",
                                     report={"converted": True})
        fails = self.fake_converter("exit 255\n", name="fails")
        # (converter, options, an earlier output at OUT, the reason the job
        # fails or None, the pictures OUT holds afterwards or None for no OUT)
        cases = [
            (real, {"no_label": "true"}, None, None, {"macro", "thumbnail"}),
            (real, {"no_label": "1", "no_macro": "yes"}, labelled, None, {"thumbnail"}),
            (copies, {"no_macro": "true"}, None,
             "the output holds the macro, which the options leave out", None),
            (fails, {"no_label": "true"}, labelled, "the conversion failed", None),
            (fails, {}, labelled, "the conversion failed", {"label", "macro", "thumbnail"}),
            (fails, {"no_label": "true"}, bare, "the conversion failed", {"thumbnail"}),
        ]
        for converter, options, earlier, reason, held in cases:
            with self.subTest(converter=os.path.basename(converter), options=options,
                              earlier=earlier and os.path.basename(earlier)):
                if os.path.exists(self.output):
                    os.unlink(self.output)
                if earlier:
                    os.makedirs(os.path.dirname(self.output), exist_ok=True)
                    shutil.copy(earlier, self.output)
                done = subprocess.run(self.command(converter, "--options", json.dumps(options)),
                                      capture_output=True, text=True, timeout=120)
                self.assertEqual(done.returncode, 0 if reason is None else 1, done.stderr)
                record = self.record()
                if reason:
                    self.assertIn(reason, record["reason"])
                    self.assertNotIn("openslide", record)
                else:
                    info = record["openslide"]
                    self.assertEqual(set(info["associated"]), held)
                    self.assertEqual({"label", "macro"} & set(info), held - {"thumbnail"})
                self.assertEqual(os.listdir(os.path.dirname(self.output)),
                                 [] if held is None else ["slide.svs"])
                if held is not None:
                    with openslide.OpenSlide(self.output) as slide:
                        self.assertEqual(set(slide.associated_images), held)

    def test_a_dicom_slide_is_a_folder_published_whole(self):
        # A slide that records its pixel size, and one that records none
        # (which DICOM output refuses).
        self.make_slide("--synthetic", "1024x768", "--mpp", "0.5")
        bare = os.path.join(self.dir, "bare.nvx")
        subprocess.run([os.path.join(BUILD, "nvxmake"), "--synthetic", "512x512", bare],
                       check=True, capture_output=True)
        real = os.path.join(BUILD, "nvx2svs")
        self.output = os.path.join(self.dir, "out", "slide.dicom")
        out = os.path.dirname(self.output)
        levels = ["level-0.dcm", "level-1.dcm"]
        everything = sorted(["label.dcm", "overview.dcm", "thumbnail.dcm", *levels])
        stub = PacsStub()
        self.addCleanup(stub.close)
        pacs = f"http://127.0.0.1:{stub.server_port}"
        series = "0123abcd-4567ef01-89abcdef-01234567-89abcdef"
        stub.series = series
        stored = {"00081199": {"vr": "SQ", "Value": [{}]}}
        refused = {"00081198": {"vr": "SQ", "Value": [{"00081197": {"vr": "US",
                                                                    "Value": [42752]}}]}}
        stowrs = ["--pacs", pacs, "--pacs-api", "stowrs", "--dicomweb-root", "/rs"]
        # (options, the slide, what is at OUT before, extra job options, the
        # reason the job fails or None, the instances OUT holds afterwards
        # or None for no OUT)
        cases = [
            ({"format": "dicom", "section_thickness": "4"}, self.slide, None, [], None, everything),
            # An earlier folder of ours is replaced whole, and the label it
            # holds goes even before the work.
            ({"format": "dicom", "section_thickness": "4", "no_label": "true"}, self.slide, "ours", [], None,
             sorted(set(everything) - {"label.dcm"})),
            ({"format": "dicom", "section_thickness": "4", "mpp": "0.25"}, bare, None, [], None, everything),
            ({"format": "dicom", "section_thickness": "4"}, bare, None, [],
             "nor --mpp gives the pixel size", None),
            ({"format": "dicom"}, self.slide, None, [],
             "neither --section-thickness nor a --dicom-metadata file gives", None),
            # A folder that is not ours is left as it is: the converter refuses it.
            ({"format": "dicom", "section_thickness": "4"}, self.slide, "theirs", [],
             "is a folder that is not an earlier output of ours", ["theirs.txt"]),
            # A PACS that does not answer fails the slide; the folder stays.
            ({"format": "dicom", "section_thickness": "4"}, self.slide, None, ["--pacs", "http://127.0.0.1:9"],
             "the PACS at http://127.0.0.1:9 did not take the slide: ", everything),
            ({"format": "tiff"}, self.slide, None, [],
             "the output of format tiff must end in .svs", None),
        ]
        # (what the stub answers, the job's options, the path each
        # instance goes to, the reason or None)
        uploads = [
            ((200, {"Status": "Success", "ParentSeries": series}), ["--pacs", pacs],
             "/instances", None),
            ((200, {"Status": "AlreadyStored", "ParentSeries": series}), ["--pacs", pacs],
             "/instances", None),
            ((200, {"Status": "Failure"}), ["--pacs", pacs], "/instances",
             'label.dcm: Orthanc answered 200 {"Status": "Failure"}'),
            ((200, {"Status": "Success", "ParentSeries": "../x"}), ["--pacs", pacs],
             "/instances", "label.dcm: Orthanc's answer names no series"),
            ((500, {"error": "disk full"}), ["--pacs", pacs], "/instances",
             'label.dcm: HTTP 500 Internal Server Error: {"error": "disk full"}'),
            ((200, stored), stowrs, "/rs/studies", None),
            ((200, refused), stowrs, "/rs/studies", "label.dcm: refused (failure reason 42752)"),
            ((202, stored), stowrs, "/rs/studies", "label.dcm: HTTP 202"),
            # JSON that is not an object, or not DICOM JSON's shape, or
            # deeper than any parser goes: a failed slide with the reason.
            ((200, []), stowrs, "/rs/studies", "label.dcm: the answer is not a DICOM JSON object"),
            ((200, {"00081199": {"vr": "SQ", "Value": [1]}}), stowrs, "/rs/studies",
             "label.dcm: the answer is not a DICOM JSON object"),
            ((200, {"00081198": []}), stowrs, "/rs/studies",
             "label.dcm: the answer is not a DICOM JSON object"),
            ((200, b"[" * 100000), stowrs, "/rs/studies",
             "label.dcm: the answer is not a DICOM JSON object"),
            ((200, b"[" * 100000), ["--pacs", pacs], "/instances",
             "label.dcm: Orthanc answered 200 [[[["),
            # A redirect is an answer, never followed (as a GET it would
            # find "stored").
            ((302, b"", {"Location": "/elsewhere"}), stowrs, "/rs/studies",
             "label.dcm: HTTP 302 Found, a redirect to /elsewhere, which the batch does not "
             "follow"),
            ((307, b"", {"Location": "/elsewhere"}), ["--pacs", pacs], "/instances",
             "label.dcm: HTTP 307 Temporary Redirect, a redirect to /elsewhere"),
            # A PACS that never answers, or answers a byte at a time: the
            # slide's one deadline ends it.
            ("silent", [*stowrs, "--pacs-timeout", "1"], "/rs/studies",
             "label.dcm: the slide's upload did not end within pacs_timeout, 1 s"),
            ("trickle", ["--pacs", pacs, "--pacs-timeout", "1"], "/instances",
             "label.dcm: the slide's upload did not end within pacs_timeout, 1 s"),
        ]
        cases += [({"format": "dicom", "section_thickness": "4"}, self.slide, None, extra,
                   reason and f"the PACS at {pacs} did not take the slide: {reason}",
                   everything) for _answer, extra, _path, reason in uploads]
        answers = iter(uploads)
        for options, slide, earlier, extra, reason, held in cases:
            with self.subTest(options=options, slide=os.path.basename(slide), earlier=earlier,
                              extra=extra):
                shutil.rmtree(out, ignore_errors=True)
                os.makedirs(out)
                if earlier == "ours":
                    subprocess.run([real, "--format=dicom", "--section-thickness=4", self.slide,
                                    self.output, "2"],
                                   check=True, capture_output=True)
                    open(os.path.join(self.output, "stale.dcm"), "w").close()
                elif earlier == "theirs":
                    os.mkdir(self.output)
                    open(os.path.join(self.output, "theirs.txt"), "w").close()
                command = self.command(real, "--options", json.dumps(options), *extra)
                command[command.index(self.slide)] = slide
                upload = next(answers) if pacs in extra else None
                if upload:
                    stub.requests.clear()
                    stub.answer = upload[0]
                for log in ("slide.json", "slide.log"):
                    if os.path.exists(os.path.join(self.dir, "logs", log)):
                        os.unlink(os.path.join(self.dir, "logs", log))
                done = subprocess.run(command, capture_output=True, text=True, timeout=120)
                self.assertEqual(done.returncode, 0 if reason is None else 1, done.stderr)
                self.assertNotIn("Traceback", done.stderr)
                record = self.record()
                self.assertEqual(record["status"], "failed" if reason else "converted")
                if reason:
                    self.assertIn(reason, record["reason"])
                    with open(os.path.join(self.dir, "logs", "slide.log"), encoding="utf-8") as f:
                        self.assertIn(reason, f.read())
                # Nothing else in the output folder: no partial folder, no
                # converter's temporary, no report.
                self.assertEqual(os.listdir(out), [] if held is None else ["slide.dicom"])
                if held is None:
                    continue
                self.assertEqual(sorted(n for n in os.listdir(self.output)
                                        if not n.startswith(".")), held)
                if upload:
                    # Every instance as it is, one request each, until one
                    # is not taken.
                    self.assertEqual(len(stub.requests), 1 if reason else len(held))
                    sent = []
                    for path, headers, body in stub.requests:
                        self.assertEqual(path, upload[2])
                        if "stowrs" in extra:
                            self.assertTrue(headers["Content-Type"].startswith(
                                'multipart/related; type="application/dicom"; boundary='))
                            [(kind, body)] = stow_parts(headers, body)
                            self.assertEqual(kind, "application/dicom")
                        else:
                            self.assertEqual(headers["Content-Type"], "application/dicom")
                        self.assertEqual(body[128:132], b"DICM")
                        sent.append(body)
                    sent.sort()
                    if not reason:
                        self.assertEqual(sent, sorted(
                            open(os.path.join(self.output, n), "rb").read() for n in held))
                        self.assertEqual(record["pacs"]["instances"], len(held))
                        self.assertEqual(record["pacs"].get("series"),
                                         series if "stowrs" not in extra else None)
                if reason:
                    continue
                info = record["dicom"]
                self.assertEqual(info["instances"], len(held))
                self.assertEqual(len(info["levels"]), len([n for n in held if "level" in n]))
                self.assertEqual(info["levels"][0], [1024, 768] if slide == self.slide
                                 else [512, 512])
                self.assertAlmostEqual(float(info["mpp_x"]), 0.5 if slide == self.slide
                                       else 0.25)
                self.assertEqual(record["output_bytes"], sum(
                    os.path.getsize(os.path.join(self.output, n)) for n in held))
                for kind in ("label", "macro"):
                    shown = kind not in batch_plan.left_out(options)
                    self.assertEqual(kind in info, shown)
                    self.assertEqual(kind in info["associated"], shown)
                self.assertTrue(info["thumbnail"].startswith("data:image/jpeg;base64,"))
                # The report of a batch whose one slide this was.
                item = batch_plan.entry("slide", slide, "4", options=options)
                os.makedirs(os.path.join(out, "logs"), exist_ok=True)
                with open(os.path.join(out, batch_plan.record_path(item)), "w",
                          encoding="utf-8") as f:
                    json.dump(record, f)
                page, table = batch_report.write_report(out, [item])
                with open(table, encoding="utf-8", newline="") as f:
                    [row] = list(csv.DictReader(f))
                self.assertEqual((row["status"], row["output"], row["instances"]),
                                 ("converted", "slide.dicom", str(len(held))))
                self.assertEqual(row["left out"], ", ".join(batch_plan.left_out(options)))
                shutil.rmtree(os.path.join(out, "logs"))
                for name in ("report.html", "report.csv"):
                    os.unlink(os.path.join(out, name))

    def test_stopped_mid_conversion(self):
        started = os.path.join(self.dir, "started")
        converter = self.fake_converter(
            f'head -c 5000 /dev/urandom > "$2"\ntouch {started}\nexec sleep 60\n')
        job = subprocess.Popen(self.command(converter), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while not os.path.exists(started) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(len(os.listdir(os.path.dirname(self.output))), 1)  # the partial file
        job.send_signal(signal.SIGTERM)
        self.assertEqual(job.wait(timeout=30), 128 + signal.SIGTERM)
        job.stdout.close()
        job.stderr.close()
        self.assertEqual(os.listdir(os.path.dirname(self.output)), [])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(argv=[sys.argv[0], "-v"])
