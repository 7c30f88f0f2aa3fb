"""dicomweb_viewer.py - a slide's study in dicom-microscopy-viewer (npm's,
installed by scripts/setup.sh into tests/dicom/microscopy_viewer), shown by
our page there (viewer.html) in headless Chromium against the DICOMweb
plugin of the Orthanc of orthanc_server.py, which serves the page too.

A test class that mixes in SlideInOrthanc sets `plugins = PLUGINS` and
`folders = page_folders(folder)`; page_url() is then the page of a study.
"""

import json
import os
import re
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.join(HERE, "microscopy_viewer")
MODULES = os.path.join(PACKAGE, "node_modules")
# The viewer's bundle finds its worker and decoders beside itself.
BUNDLE = os.path.join(MODULES, "dicom-microscopy-viewer", "dist", "dynamic-import")
CLIENT = os.path.join(MODULES, "dicomweb-client", "build", "dicomweb-client.js")
PLUGINS = ("wsi", "dicomweb", "folders")
PREFIX = "/microscopy"
# A frame Orthanc was asked for: the instance's UID and the frame numbers.
FRAME_REQUEST = re.compile(r"GET /dicom-web/studies/[\d.]+/series/[\d.]+/instances/([\d.]+)"
                           r"/frames/([\d,]+)")


def missing():
    """Why the viewer cannot be shown here, or None."""
    for path in (os.path.join(BUNDLE, "dicomMicroscopyViewer.min.js"),
                 os.path.join(BUNDLE, "dataLoader.worker.min.js"), CLIENT):
        if not os.path.exists(path):
            return f"{path} is missing: run scripts/setup.sh (it installs npm's packages)"
    return None


def page_folders(folder):
    """Lays out the page in `folder` (the page, and static/js/ with the
    viewer's bundle, its worker and decoders, and the DICOMweb client) and
    gives the folder plugin's setting that serves it."""
    static = os.path.join(folder, "static", "js")
    os.makedirs(static)
    os.symlink(os.path.join(PACKAGE, "viewer.html"), os.path.join(folder, "viewer.html"))
    for name in os.listdir(BUNDLE):
        os.symlink(os.path.join(BUNDLE, name), os.path.join(static, name))
    os.symlink(CLIENT, os.path.join(static, "dicomweb-client.js"))
    return {PREFIX: folder}


def page_url(port, study_uid, volume=None):
    """The page of a study; `volume` (width, height): its volume panel's size."""
    size = f"&volume={volume[0]}x{volume[1]}" if volume else ""
    return f"http://127.0.0.1:{port}{PREFIX}/viewer.html?study={study_uid}{size}"


def frames_asked(log):
    """{instance UID: frame numbers} of the frames asked for in `log`."""
    asked = {}
    for uid, numbers in FRAME_REQUEST.findall(log):
        asked.setdefault(uid, set()).update(int(n) for n in numbers.split(","))
    return asked


def settle(browser, orthanc, since, renders=0, timeout=60):
    """Waits until the page's volume viewer has drawn everything it asked
    for more than `renders` times, and two screenshots in a row are the
    same (the tiles fade in), or the time runs out; the page's state, the
    last screenshot and the frames asked for since `since` (a length of
    Orthanc's log)."""
    deadline, last, picture, state = time.monotonic() + timeout, None, None, {}
    while time.monotonic() < deadline:
        # Nothing of the page's yet while Chromium still loads the bundle.
        state = json.loads(browser.evaluate(
            "JSON.stringify(window.shown ? {ready: window.shown.ready, "
            "error: window.shown.error, flavours: window.shown.flavours || [], "
            "renders: window.shown.renders, complaints: window.complaints} : {})"))
        if state.get("error"):
            break
        picture = browser.screenshot()
        if state.get("renders", {}).get("volume", 0) > renders and picture == last:
            break
        last = picture
        time.sleep(0.5)
    return state, picture, frames_asked(orthanc.log_text()[since:])
