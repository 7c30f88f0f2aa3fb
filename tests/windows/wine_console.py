"""wine_console.py - runs the Windows converter under Wine the way a Windows
user runs it from a console window: a console whose output code page was set
with chcp, the converter and the slide library side by side in one folder,
standard output and standard error redirected to files, whose bytes are
what the program wrote.

Wine gives a program a console only when it is started from a terminal, so
every run has a pseudo-terminal of its own; without a console, chcp has
nothing to set.
"""
import os
import pty
import re
import shutil
import subprocess
import tempfile
import threading

_prefix = None


def start():
    """A fresh Wine prefix for this test process, and a wineserver kept up
    until stop() so that each run does not start one."""
    global _prefix
    _prefix = tempfile.mkdtemp(prefix="nvx2svs-wineprefix-")
    os.environ["WINEPREFIX"] = _prefix
    os.environ["WINEDEBUG"] = "-all"
    # No desktop integration, no Mono or Gecko installer: a console program needs none.
    os.environ["WINEDLLOVERRIDES"] = "mscoree,mshtml,winemenubuilder.exe=d"
    # Once more after a failure: a wineserver of an earlier run that is still
    # going down can make the first start fail.
    for attempt in (1, 2):
        subprocess.run(["wineserver", "-p"], check=True)
        # Not captured: the services wineboot starts keep its output open.
        booted = subprocess.run(["wineboot", "-i"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=300).returncode == 0
        if booted:
            return
        subprocess.run(["wineserver", "-k"], capture_output=True)
        subprocess.run(["wineserver", "-w"], capture_output=True)
    raise RuntimeError("Wine could not set up its prefix " + _prefix)


def stop():
    if _prefix is None:
        return
    subprocess.run(["wineserver", "-k"], capture_output=True)
    subprocess.run(["wineserver", "-w"], capture_output=True)
    shutil.rmtree(_prefix, ignore_errors=True)


def windows_path(path):
    """Wine's drive Z: is the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# What the last run's console showed (Wine's own messages, a crash report).
last_console = b""


def _drain(fd, into):
    try:
        while True:
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            into.append(chunk)
    except OSError:
        pass


def run(code_page, program, args, cwd, env=None, timeout=300):
    """Runs `program` (a Linux path) with `args` in a console set to
    `code_page`. Returns (stdout bytes, stderr bytes, exit status).

    Now and then Wine starts cmd without the console the pseudo-terminal
    should give it: chcp then sets nothing and the program sees no console.
    The console's code page, read back after the program, tells such a run,
    which is made again (at most twice more); a program that ignores the
    console still fails the test every time."""
    for _attempt in range(3):
        stdout, stderr, status, shown = _run_once(code_page, program, args, cwd, env, timeout)
        if shown == code_page:
            break
    return stdout, stderr, status


def _run_once(code_page, program, args, cwd, env, timeout):
    """One run: (stdout, stderr, exit status, the console's code page after
    it or None when there was no console)."""
    out, err = os.path.join(cwd, ".stdout"), os.path.join(cwd, ".stderr")
    page = os.path.join(cwd, ".codepage")
    # A batch file: cmd reads it as written, where a command line handed
    # over by Wine would have its quotes escaped the C way, which cmd does
    # not know.
    batch = os.path.join(cwd, ".run.bat")
    with open(batch, "w", encoding="ascii", newline="\r\n") as f:
        f.write("@echo off\n")
        f.write("chcp %d >nul\n" % code_page)
        f.write('"%s" %s >"%s" 2>"%s"\n' % (windows_path(program),
                                           " ".join('"%s"' % a for a in args),
                                           windows_path(out), windows_path(err)))
        f.write("set status=%errorlevel%\n")
        f.write('chcp >"%s"\n' % windows_path(page))
        f.write("exit /b %status%\n")
    global last_console
    master, slave = pty.openpty()
    shown = []
    reader = threading.Thread(target=_drain, args=(master, shown), daemon=True)
    reader.start()
    try:
        status = subprocess.run(["wine", "cmd", "/c", windows_path(batch)], stdin=slave,
                                stdout=slave, stderr=slave, cwd=cwd, env=env,
                                timeout=timeout).returncode
    finally:
        os.close(slave)
        reader.join(timeout=10)
        os.close(master)
        last_console = b"".join(shown)
    with open(out, "rb") as f:
        stdout = f.read()
    with open(err, "rb") as f:
        stderr = f.read()
    shown = None
    if os.path.exists(page):
        with open(page, "rb") as f:
            digits = re.findall(rb"\d+", f.read())
        shown = int(digits[-1]) if digits else None
    for f in (out, err, batch, page):
        if os.path.exists(f):
            os.remove(f)
    return stdout, stderr, status, shown


def package_folder(holder, exe, library):
    """A folder in `holder` with the converter and, if given, a slide library beside it."""
    folder = tempfile.mkdtemp(prefix="bin-", dir=holder)
    shutil.copy(exe, os.path.join(folder, "nvx2svs.exe"))
    if library is not None:
        shutil.copy(library, os.path.join(folder, "NvxSlideLib.dll"))
    return os.path.join(folder, "nvx2svs.exe")
