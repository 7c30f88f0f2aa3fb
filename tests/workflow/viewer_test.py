"""viewer_test.py - scripts/view.sh serving a folder as an attacker and a
large download would use it:

  - only requests addressed to 127.0.0.1, localhost or [::1] at its port are
    answered (DNS rebinding sends the attacker's own name);
  - Range requests get their part (206, 416), as browsers and curl -C - ask;
  - a 1 GiB file is streamed: the viewer's own peak memory stays under 100 MB;
  - a file swapped for a link to a file outside the folder, again and again
    while it is requested, never serves the outside file;
  - a slide converted again at another size is served at its new size;
  - a DICOM slide's instances are served as they are, but one that shows a
    picture the batch leaves out (or cannot be told) is not;
  - in a de-identified folder, whatever its name, no file is served that
    holds a label or macro: a TIFF whose directories mark one (as SVS,
    other scanners, or a reduced image in strips do), a DICOM label or
    overview instance, or a file whose header cannot be read to tell;
  - a port outside 0 to 65535 is refused in one line with status 2.

usage: viewer_test.py BUILD_DIR
"""

import http.client
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
VIEW = os.path.join(TOP, "scripts", "view.sh")
BUILD = None
SECRET = b"outside the served folder"


def make_svs(folder, name, size):
    """An .svs of the given size, made by nvxmake and nvx2svs, renamed into
    place whole (as the batch does)."""
    slide = os.path.join(folder, ".made.nvx")
    subprocess.run([os.path.join(BUILD, "nvxmake"), "--synthetic", size, slide,
                    "--threads", "2"], check=True, capture_output=True)
    made = os.path.join(folder, ".made.svs")
    subprocess.run([os.path.join(BUILD, "nvx2svs"), slide, made, "3"], check=True,
                   capture_output=True)
    os.unlink(slide)
    os.replace(made, os.path.join(folder, name))


class Viewer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.mkdtemp(prefix="nvx-viewer-")
        cls.output = os.path.join(cls.holder, "out")
        os.makedirs(cls.output)
        with open(os.path.join(cls.holder, "secret.txt"), "wb") as f:
            f.write(SECRET)
        make_svs(cls.output, "s.svs", "640x480")
        cls.log = open(os.path.join(cls.holder, "viewer.log"), "w")
        cls.server = subprocess.Popen([VIEW, cls.output, "--port", "0"], stdout=subprocess.PIPE,
                                      stderr=cls.log, text=True)
        line = cls.server.stdout.readline()
        cls.port = int(re.search(r"http://127\.0\.0\.1:(\d+)/", line).group(1))

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        cls.server.wait(timeout=30)
        cls.server.stdout.close()
        cls.log.close()
        shutil.rmtree(cls.holder)

    def get(self, path, headers=None, host=None, read=True):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        connection.putrequest("GET", path, skip_host=True)
        if host is not False:
            connection.putheader("Host", host or f"127.0.0.1:{self.port}")
        for name, value in (headers or {}).items():
            connection.putheader(name, value)
        connection.endheaders()
        answer = connection.getresponse()
        body = answer.read() if read else answer
        return answer, body, connection

    def test_only_this_machine_s_names_are_answered(self):
        port = self.port
        for host, status in [(f"127.0.0.1:{port}", 200), (f"localhost:{port}", 200),
                             (f"LocalHost:{port}", 200), (f"[::1]:{port}", 200),
                             ("evil.example.com", 421), (f"evil.example.com:{port}", 421),
                             ("localhost", 421), (f"127.0.0.1:{port + 1}", 421),
                             (f"127.0.0.2:{port}", 421), (False, 421)]:
            with self.subTest(host=host):
                answer, body, connection = self.get("/s.svs", host=host)
                connection.close()
                self.assertEqual(answer.status, status, body[:100])

    def test_ranges(self):
        data = bytes(range(256)) * 4  # 1024 bytes
        with open(os.path.join(self.output, "data.bin"), "wb") as f:
            f.write(data)
        # (Range, status, body, Content-Range)
        for asked, status, body, content_range in [
                (None, 200, data, None),
                ("bytes=0-9", 206, data[:10], "bytes 0-9/1024"),
                ("bytes=1000-", 206, data[1000:], "bytes 1000-1023/1024"),
                ("bytes=1000-5000", 206, data[1000:], "bytes 1000-1023/1024"),
                ("bytes=-24", 206, data[-24:], "bytes 1000-1023/1024"),
                ("bytes=-5000", 206, data, "bytes 0-1023/1024"),
                ("bytes=1024-", 416, b"", "bytes */1024"),
                ("bytes=-0", 416, b"", "bytes */1024"),
                ("bytes=0-1,5-6", 200, data, None),  # several ranges: the whole file
                ("items=0-9", 200, data, None)]:
            with self.subTest(range=asked):
                answer, got, connection = self.get("/data.bin", {"Range": asked} if asked else {})
                connection.close()
                self.assertEqual(answer.status, status)
                self.assertEqual(got, body)
                self.assertEqual(answer.getheader("Content-Range"), content_range)
                if status != 416:
                    self.assertEqual(answer.getheader("Accept-Ranges"), "bytes")

    def test_a_1_gib_download_is_streamed(self):
        size = 1 << 30
        with open(os.path.join(self.output, "big.svs"), "wb") as f:
            f.truncate(size)  # sparse: no disk, the same bytes to send
        answer, response, connection = self.get("/big.svs", read=False)
        self.assertEqual(answer.status, 200)
        received = 0
        while chunk := response.read(1 << 20):
            received += len(chunk)
        connection.close()
        os.unlink(os.path.join(self.output, "big.svs"))
        self.assertEqual(received, size)
        with open(f"/proc/{self.server.pid}/status") as f:
            peak = int(re.search(r"^VmHWM:\s+(\d+) kB", f.read(), re.MULTILINE).group(1))
        self.assertLess(peak * 1024, 100e6, f"the viewer's peak: {peak} kB")

    def test_a_link_swapped_in_is_never_followed(self):
        name = os.path.join(self.output, "race.txt")
        with open(name, "w") as f:
            f.write("inside")
        stop = threading.Event()

        def swap():
            # The name is always there: a file and a link to the secret take
            # turns at it, each renamed over it.
            while not stop.is_set():
                os.symlink(os.path.join(self.holder, "secret.txt"), name + ".link")
                os.replace(name + ".link", name)
                with open(name + ".file", "w") as f:
                    f.write("inside")
                os.replace(name + ".file", name)

        swapper = threading.Thread(target=swap)
        swapper.start()
        try:
            served = {}
            for _ in range(300):
                answer, body, connection = self.get("/race.txt")
                connection.close()
                self.assertNotIn(SECRET, body)
                served[answer.status] = served.get(answer.status, 0) + 1
        finally:
            stop.set()
            swapper.join()
        self.assertIn(200, served)  # the file itself was served meanwhile

    def test_a_slide_converted_again_is_served_afresh(self):
        make_svs(self.output, "again.svs", "640x480")
        self.assertIn(b'Width="640"', self.get("/dzi/again.svs.dzi")[1])
        make_svs(self.output, "again.svs", "1700x1100")
        answer, body, _ = self.get("/dzi/again.svs.dzi")
        self.assertIn(b'Width="1700" Height="1100"', body)
        # A tile only the new slide has: its level 11 (full size) is 7 x 5 tiles.
        self.assertEqual(self.get("/dzi/again.svs_files/11/6_4.jpeg")[0].status, 200)


    def test_dicom_instances_of_a_picture_left_out_are_not_served(self):
        slide = os.path.join(self.holder, "d.nvx")
        subprocess.run([os.path.join(BUILD, "nvxmake"), "--synthetic", "512x384", "--mpp", "0.5",
                        slide], check=True, capture_output=True)
        folder = os.path.join(self.output, "d.dicom")
        subprocess.run([os.path.join(BUILD, "nvx2svs"), "--format=dicom", "--section-thickness=4",
                        slide, folder, "2"],
                       check=True, capture_output=True)
        with open(os.path.join(folder, "notes.dcm"), "wb") as f:
            f.write(b"not an instance")
        plan = os.path.join(self.output, ".snakemake", "nvx-batch-left-out.json")
        os.makedirs(os.path.dirname(plan), exist_ok=True)
        # (what the batch leaves out of d.dicom, de-identified, the status
        # of each instance: level, label, overview, a file that is none)
        names = ("level-0.dcm", "label.dcm", "overview.dcm", "notes.dcm")
        cases = [
            ([], False, (200, 200, 200, 200)),
            (["label"], False, (200, 404, 200, 404)),
            (["macro"], False, (200, 200, 404, 404)),
            ([], True, (200, 404, 404, 404)),
        ]
        try:
            for left_out, deidentify, statuses in cases:
                with self.subTest(left_out=left_out, deidentify=deidentify):
                    with open(plan, "w", encoding="utf-8") as f:
                        f.write(json.dumps({"deidentify": deidentify,
                                            "outputs": {"d.dicom": left_out}}))
                    for name, status in zip(names, statuses):
                        answer, body, connection = self.get("/d.dicom/" + name)
                        connection.close()
                        self.assertEqual(answer.status, status, (name, body[:200]))
                        if status == 200:
                            with open(os.path.join(folder, name), "rb") as f:
                                self.assertEqual(body, f.read())
        finally:
            shutil.rmtree(os.path.join(self.output, ".snakemake"))
            shutil.rmtree(folder)


    def test_what_a_file_holds_decides_not_its_name(self):
        import numpy
        import tifffile

        made = os.path.join(self.holder, "made")
        os.makedirs(made, exist_ok=True)
        slide = os.path.join(made, "p.nvx")
        subprocess.run([os.path.join(BUILD, "nvxmake"), "--synthetic", "512x384", "--mpp", "0.5",
                        slide], check=True, capture_output=True)
        svs, clean = os.path.join(made, "p.svs"), os.path.join(made, "clean.svs")
        dicom = os.path.join(made, "p.dicom")
        for options, output in (([], svs), (["--no-label", "--no-macro"], clean),
                                (["--format=dicom", "--section-thickness=4"], dicom)):
            subprocess.run([os.path.join(BUILD, "nvx2svs"), *options, slide, output, "2"],
                           check=True, capture_output=True)
        pixels = numpy.arange(16 * 16 * 3, dtype=numpy.uint8).reshape(16, 16, 3)
        tiffs = {  # TIFFs no converter of ours wrote, each marked as other writers mark them
            "ventana.tif": dict(description="Label Image", bigtiff=True),
            "macro-be.tif": dict(subfiletype=9, byteorder=">"),
            "strips.tif": dict(subfiletype=1),  # SVS's label: reduced, in strips
            "plain.tif": dict(description="an image"),
        }
        for name, extra in tiffs.items():
            with tifffile.TiffWriter(os.path.join(made, name), bigtiff=extra.pop("bigtiff", False),
                                     byteorder=extra.pop("byteorder", "<")) as tiff:
                tiff.write(pixels, photometric="rgb")
                tiff.write(pixels, photometric="rgb", metadata=None, **extra)
        with open(svs, "rb") as f:
            head = f.read(4096)
        # (the served name, the file it is a copy of or its bytes; with the
        # batch de-identified, and with nothing left out)
        files = [
            ("copy.tif", svs, 404, 200),
            ("renamed.bin", svs, 404, 200),
            ("clean-copy.tif", clean, 200, 200),
            ("old-dcm/label.dcm", os.path.join(dicom, "label.dcm"), 404, 200),
            ("old-dcm/overview", os.path.join(dicom, "overview.dcm"), 404, 200),
            ("old-dcm/level-0.dcm", os.path.join(dicom, "level-0.dcm"), 200, 200),
            ("old-dcm/thumbnail.dcm", os.path.join(dicom, "thumbnail.dcm"), 200, 200),
            ("cut.tif", head, 404, 200),  # its directories are past its end
            *((name, os.path.join(made, name), 200 if name == "plain.tif" else 404, 200)
              for name in tiffs),
            ("notes.txt", b"label macro", 200, 200),
        ]
        plan = os.path.join(self.output, ".snakemake", "nvx-batch-left-out.json")
        os.makedirs(os.path.dirname(plan), exist_ok=True)
        try:
            for name, source, *_ in files:
                os.makedirs(os.path.dirname(os.path.join(self.output, name)), exist_ok=True)
                if isinstance(source, bytes):
                    with open(os.path.join(self.output, name), "wb") as f:
                        f.write(source)
                else:
                    shutil.copy(source, os.path.join(self.output, name))
            for column, deidentify in ((2, True), (3, False)):
                with open(plan, "w", encoding="utf-8") as f:
                    json.dump({"deidentify": deidentify, "outputs": {}}, f)
                for row in files:
                    with self.subTest(name=row[0], deidentify=deidentify):
                        answer, body, connection = self.get("/" + row[0])
                        connection.close()
                        self.assertEqual(answer.status, row[column], body[:200])
        finally:
            shutil.rmtree(os.path.join(self.output, ".snakemake"))
            shutil.rmtree(os.path.join(self.output, "old-dcm"))
            for name, *_ in files:
                if os.path.exists(os.path.join(self.output, name)):
                    os.unlink(os.path.join(self.output, name))


class Ports(unittest.TestCase):
    def test_a_port_out_of_range_is_one_line(self):
        with tempfile.TemporaryDirectory() as folder:
            for port in ("70000", "65536", "-1", "eighty", "123456789012"):
                with self.subTest(port=port):
                    done = subprocess.run([VIEW, folder, "--port", port], capture_output=True,
                                          text=True, timeout=60)
                    self.assertEqual(done.returncode, 2, done.stderr)
                    self.assertEqual(done.stderr, "view: the port must be a number from 1 to "
                                     "65535 (or 0 for any free one), not " + repr(port) + "\n")


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(argv=[sys.argv[0], "-v"])
