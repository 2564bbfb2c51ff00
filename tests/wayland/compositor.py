"""A headless sway for the tests: started as an unprivileged user when run as root (sway
refuses root), reached by absolute socket paths, and ended by process id on every path."""
import atexit
import ctypes
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import zlib

import numpy as np

NOBODY = 65534
CONFIG = """\
xwayland disable
output * bg #102030 solid_color
"""
BACKGROUND_BGR = (0x30, 0x20, 0x10)


class Sway:
    """A running headless sway; `display` is its socket (WAYLAND_DISPLAY), `stop()` ends it."""

    def __init__(self, timeout=20):
        self.process = None
        become_subreaper()
        self.home = tempfile.mkdtemp(prefix="vistrel-sway-")
        atexit.register(self.stop)
        try:
            self._start(timeout)
        except BaseException:
            self.stop()
            raise

    def _start(self, timeout):
        as_root = os.geteuid() == 0
        uid, gid = (NOBODY, NOBODY) if as_root else (os.getuid(), os.getgid())
        # sway's user must reach its runtime directory and read what it is told to show.
        os.chmod(self.home, 0o755)
        self.runtime = os.path.join(self.home, "run")
        os.mkdir(self.runtime, 0o700)
        os.chown(self.runtime, uid, gid)
        config = os.path.join(self.home, "config")
        with open(config, "w") as f:
            f.write(CONFIG)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home, "XDG_RUNTIME_DIR": self.runtime,
               "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman"}
        argv = ["sway", "-c", config]
        if as_root:
            argv = ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups"] + argv
        self.log = open(os.path.join(self.home, "sway.log"), "w+")
        self.process = subprocess.Popen(argv, env=env, cwd=self.home, stdin=subprocess.DEVNULL, stdout=self.log,
                                        stderr=self.log, start_new_session=True)
        deadline = time.monotonic() + timeout
        while True:
            names = os.listdir(self.runtime)
            sockets = [n for n in names if n.startswith("wayland-") and not n.endswith(".lock")]
            ipc = [n for n in names if n.startswith("sway-ipc.")]
            if sockets and ipc:
                break
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"sway did not start:\n{self.log_text()}")
            time.sleep(0.02)
        self.display = os.path.join(self.runtime, sockets[0])
        self.swaysock = os.path.join(self.runtime, ipc[0])

    def log_text(self):
        self.log.seek(0)
        return self.log.read()[-4000:]

    def msg(self, command):
        out = subprocess.run(["swaymsg", "-s", self.swaysock, command], capture_output=True, text=True, timeout=10)
        assert out.returncode == 0, out.stdout + out.stderr

    def show(self, image, output="*"):
        """Makes `image` (H, W, 3 uint8 RGB) the background of `output`, pixel for pixel."""
        path = os.path.join(self.home, f"bg-{time.monotonic_ns()}.png")
        write_png(path, image)
        os.chmod(path, 0o644)
        self.msg(f"output {output} bg {path} center")

    def bar(self, output, text="vistrel"):
        """A swaynag bar on `output` alone, until `ended()`; returns its process."""
        # swaynag keeps its buffers in the runtime directory: sway's serves where the caller has none.
        env = dict(os.environ, WAYLAND_DISPLAY=self.display, XDG_RUNTIME_DIR=self.runtime)
        return subprocess.Popen(["swaynag", "-o", output, "-m", text], env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def grim(self, output=None):
        """The reference client's image of `output` (all outputs when None) as BGRA."""
        argv = ["grim", "-t", "ppm"] + (["-o", output] if output else []) + ["-"]
        out = subprocess.run(argv, capture_output=True, timeout=30, env=dict(os.environ, WAYLAND_DISPLAY=self.display))
        assert out.returncode == 0, out.stderr
        return ppm_to_bgra(out.stdout)

    def settled(self, timeout=10):
        """The reference client's image once the configured background fills the screen
        (swaybg draws it a moment after sway starts)."""
        deadline = time.monotonic() + timeout
        while True:
            shot = self.grim()
            if (shot[..., :3] == BACKGROUND_BGR).all():
                return shot
            assert time.monotonic() < deadline, "the background never showed"
            time.sleep(0.05)

    def kill(self):
        """Ends sway at once, as a crash would (its helpers are ended too)."""
        if self.process and self.process.poll() is None:
            helpers = session_members(self.process.pid)
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait()
            end(helpers)

    def stop(self):
        if self.process and self.process.poll() is None:
            # Ended before sway, which then reaps them: afterwards they would belong to init.
            end(session_members(self.process.pid))
            time.sleep(0.05)
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.process = None
        shutil.rmtree(self.home, ignore_errors=True)
        atexit.unregister(self.stop)


def become_subreaper():
    """Orphans of our descendants (sway forks twice for each swaybg) become our children
    instead of init's, so they can be reaped instead of lingering as zombies."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER


def session_members(sid):
    """The processes of session `sid` but its leader: what sway started."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit() and int(entry) != sid:
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[3]) == sid:
                found.append(int(entry))
    return found


def end(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    for pid in pids:
        try:
            os.waitpid(pid, 0)
        except ChildProcessError:
            pass  # still sway's child, and sway reaps it


def write_png(path, rgb):
    """An 8-bit RGB PNG of `rgb` (H, W, 3)."""
    height, width = rgb.shape[:2]
    raw = b"".join(b"\0" + rgb[y].tobytes() for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 1)) + chunk(b"IEND", b""))


def ppm_to_bgra(data):
    """A binary PPM (P6, maxval 255) as (H, W, 4) BGRA with opaque alpha."""
    fields, position = [], 0
    while len(fields) < 4:
        while data[position:position + 1].isspace():
            position += 1
        end = position
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[position:end])
        position = end
    assert fields[0] == b"P6" and fields[3] == b"255", fields
    width, height = int(fields[1]), int(fields[2])
    rgb = np.frombuffer(data, np.uint8, width * height * 3, position + 1).reshape(height, width, 3)
    bgra = np.full((height, width, 4), 255, np.uint8)
    bgra[..., :3] = rgb[..., ::-1]
    return bgra
