"""A virtual X display for tests of windows: Xvfb, a Wine prefix booted
on it, programs framed in Wine's virtual desktop, and screenshots.

    display = VirtualDisplay.start()     Xvfb on a free display number, no TCP
    display.name                          ":N", for DISPLAY
    prefix = graphical_prefix(display)    a temporary prefix whose programs draw there
    start_in_desktop(prefix, "desk", "PrinterStatusMonitor.exe", ...)   framed, in a desktop
    screenshot(display, path, box)        a PNG of the screen, or of a box of it
    display.stop()                        ends the Xvfb this process started

Windows under Wine need a prefix booted with DISPLAY set: a prefix booted
without one has no graphics driver, and CreateWindow fails there. Without
a window manager windows have no frame; Wine's virtual desktop draws them
framed, with a taskbar and its notification area.
"""
import os
import select
import shutil
import subprocess
import tempfile

from . import env
from .prefix import Prefix

SCREEN = "1280x800x24"
START_WAIT = 30
# Wine's own fonts (Debian's fonts-wine): Tahoma, and Marlett for the
# caption buttons.
WINE_FONTS = "/usr/share/wine/fonts"


class VirtualDisplay:
    """One Xvfb started by this process."""

    def __init__(self, proc, number):
        self.proc = proc
        self.number = number
        self.name = ":%d" % number

    @classmethod
    def start(cls, screen=SCREEN):
        """Starts Xvfb on the first display number nobody uses (Xvfb picks
        it and writes it to a pipe once it accepts clients), listening on
        its local socket only; RuntimeError when it does not start."""
        if not shutil.which("Xvfb"):
            raise RuntimeError("Xvfb is not installed (scripts/bootstrap installs xvfb)")
        read, write = os.pipe()
        try:
            proc = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp",
                                     "-screen", "0", screen], pass_fds=(write,),
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        finally:
            os.close(write)
        try:
            number = cls._read_number(read, proc)
        finally:
            os.close(read)
        return cls(proc, number)

    @staticmethod
    def _read_number(fd, proc):
        """The display number Xvfb writes once it is ready."""
        text = b""
        while not text.endswith(b"\n"):
            ready, _, _ = select.select([fd], [], [], START_WAIT)
            chunk = os.read(fd, 64) if ready else b""
            if not chunk:
                proc.kill()
                proc.wait()
                raise RuntimeError("Xvfb did not start")
            text += chunk
        return int(text)

    def stop(self):
        """Ends the Xvfb (and only it)."""
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def graphical_prefix(display, path=None):
    """A prefix booted with DISPLAY set to `display`, in `path` or in a new
    temporary folder that close() removes; its programs draw there."""
    prefix = Prefix(path or tempfile.mkdtemp(prefix="devicerpc-wine-x-"), temporary=path is None)
    prefix.env["DISPLAY"] = display.name
    prefix.boot()
    _link_wine_fonts(prefix)
    return prefix


def _link_wine_fonts(prefix):
    """Links Wine's own fonts into the prefix's Fonts folder, where this
    Wine build looks for them: without them it draws the caption buttons
    as letters and dialogs in a substitute font."""
    fonts = os.path.join(prefix.path, "drive_c", "windows", "Fonts")
    if not os.path.isdir(WINE_FONTS) or not os.path.isdir(fonts):
        return
    for name in os.listdir(WINE_FONTS):
        target = os.path.join(fonts, name)
        if not os.path.exists(target):
            os.symlink(os.path.join(WINE_FONTS, name), target)


def start_in_desktop(prefix, desktop, exe, *args, size="1200x780"):
    """Starts a program in Wine's virtual desktop `desktop` (made with
    `size` when it does not exist yet). Returns the Popen of explorer,
    which stop_all() ends with the program; a driver finds the program's
    windows on that desktop."""
    proc = subprocess.Popen([env.WINE, "explorer", "/desktop=%s,%s" % (desktop, size),
                             prefix.exe_path(exe), *map(str, args)], env=prefix.env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    prefix.started.append(proc)
    return proc


def screenshot(display, path, box=None):
    """Writes a PNG of the display's screen, or of `box` (left, top,
    right, bottom) of it, with ImageMagick's import; Wine's virtual
    desktop sits at the screen's top left corner, so a window's rectangle
    is its box."""
    command = ["import", "-display", display.name, "-window", "root"]
    if box:
        left, top, right, bottom = box
        command += ["-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage"]
    subprocess.run(command + [str(path)], check=True, timeout=60, capture_output=True)
