"""X servers for the tests: started with -displayfd (the server picks a free display) and
ended by process id on every path."""
import contextlib
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

DUMMY_CONFIG = """\
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 256000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
  Modeline "1280x720" 74.25 1280 1390 1430 1650 720 725 730 750
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Modes "1024x768"
    Virtual 2560 1600
  EndSubSection
EndSection
"""


class XServer:
    """A running X server; `display` is its name (":N"), `stop()` ends it."""

    def __init__(self, argv, workdir=None):
        self._workdir = workdir
        read_end, write_end = os.pipe()
        self.log = tempfile.TemporaryFile()
        try:
            self.process = subprocess.Popen(argv + ["-displayfd", str(write_end)], pass_fds=(write_end,),
                                            stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log,
                                            start_new_session=True)
        finally:
            os.close(write_end)
        try:
            self.display = ":" + self._read_display(read_end, timeout=30)
        except BaseException:
            self.stop()
            raise
        finally:
            os.close(read_end)

    def _read_display(self, fd, timeout):
        text, deadline = b"", time.monotonic() + timeout
        while not text.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise RuntimeError("X server did not report its display: " + self.log_text())
            chunk = os.read(fd, 64)
            if not chunk:
                raise RuntimeError("X server exited: " + self.log_text())
            text += chunk
        return text.decode().strip()

    def log_text(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")[-2000:]

    def kill(self):
        """Ends the server at once, as a crash would."""
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
        self.process.wait(timeout=10)

    @contextlib.contextmanager
    def frozen(self):
        """The server stopped (SIGSTOP) for the block, as a hung server or a dead link looks."""
        os.kill(self.process.pid, signal.SIGSTOP)
        try:
            yield
        finally:
            os.kill(self.process.pid, signal.SIGCONT)

    def stop(self):
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait(timeout=10)
        self.log.close()
        if self._workdir:
            shutil.rmtree(self._workdir, ignore_errors=True)


def start_xvfb(width=1920, height=1080, *options):
    return XServer(["Xvfb", "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp", "-noreset", *options])


def start_dummy_xorg():
    """Xorg with the dummy video driver: modes change and a second output can be lit."""
    workdir = tempfile.mkdtemp(prefix="vistrel-xorg-")
    config = os.path.join(workdir, "xorg.conf")
    with open(config, "w") as f:
        f.write(DUMMY_CONFIG)
    return XServer(["Xorg", "-config", config, "-logfile", os.path.join(workdir, "log"), "-noreset", "-nolisten",
                    "tcp"], workdir=workdir)


def xrandr(display, *args):
    subprocess.run(["xrandr", "-d", display, *args], check=True, timeout=30, capture_output=True)
