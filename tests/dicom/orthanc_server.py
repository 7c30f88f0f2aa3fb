"""orthanc_server.py - Debian's Orthanc for the tests: one process on
127.0.0.1 on free ports, with a storage folder of its own under a folder the
test gives, its whole-slide plugin and, when asked, its DICOMweb plugin and
its folder plugin serving the folders given (a page beside DICOMweb, on the
same origin); stopped by the test whatever happens (stop()).
"""

import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import time

PLUGINS = {"wsi": ("orthanc-wsi", "libOrthancWSI.so"),
           "dicomweb": ("orthanc-dicomweb", "libOrthancDicomWeb.so"),
           "folders": ("orthanc", "libServeFolders.so")}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def plugin_path(kind="wsi"):
    package, library = PLUGINS[kind]
    usual = os.path.join("/usr/share/orthanc/plugins", library)
    if os.path.exists(usual):
        return usual
    listing = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True)
    found = [line for line in listing.stdout.splitlines()
             if re.search(r"/plugins/" + re.escape(library) + "$", line)]
    if not found:
        raise AssertionError(f"the {package} plugin is not installed: run scripts/setup.sh")
    return found[0]


class Orthanc:
    """One Orthanc process on 127.0.0.1 with a temporary storage folder."""

    def __init__(self, folder, plugins=("wsi",), folders=None):
        """`folders`: {URI prefix: folder} for the folder plugin to serve."""
        self.folder = folder
        self.port = free_port()
        storage = os.path.join(folder, "storage")
        os.mkdir(storage)
        config = {
            "Name": "nvx-test", "StorageDirectory": storage, "IndexDirectory": storage,
            "HttpPort": self.port, "DicomPort": free_port(), "DicomServerEnabled": False,
            "RemoteAccessAllowed": False, "AuthenticationEnabled": False,
            "Plugins": [plugin_path(kind) for kind in plugins],
        }
        if folders:
            config["ServeFolders"] = dict(folders, Extensions={".wasm": "application/wasm"})
        path = os.path.join(folder, "orthanc.json")
        with open(path, "w", encoding="ascii") as out:
            json.dump(config, out)
        program = shutil.which("Orthanc") or "/usr/sbin/Orthanc"
        if not os.path.exists(program):
            raise AssertionError("Orthanc is not installed: run scripts/setup.sh")
        self.log_path = os.path.join(folder, "orthanc.log")
        self.log = open(self.log_path, "wb")
        # --verbose: the log names every request, which tells what the viewer asked for.
        self.process = subprocess.Popen([program, "--verbose", path], stdout=self.log,
                                        stderr=subprocess.STDOUT)

    def wait_until_up(self):
        """True once the REST API answers; False when Orthanc ended first."""
        while self.process.poll() is None:
            try:
                if self.request("GET", "/system")[0] == 200:
                    return True
            except OSError:
                time.sleep(0.2)
        return False

    def request(self, method, path, body=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            connection.request(method, path, body=body)
            answer = connection.getresponse()
            return answer.status, answer.getheader("Content-Type", ""), answer.read()
        finally:
            connection.close()

    def json(self, path):
        status, _, body = self.request("GET", path)
        if status != 200:
            raise AssertionError(f"GET {path}: {status} {body[:200]!r}")
        return json.loads(body)

    def log_text(self):
        self.log.flush()
        with open(self.log_path, "rb") as log:
            return log.read().decode("utf-8", "replace")

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.log.close()
