"""The Wayland module on a headless sway at 1920x1080, beside grim started per image (what
a script without this package would do): grab(bgra) frames per second while the whole
screen keeps changing, and the CPU a start(60) capture costs on a still screen, by
screencopy and again through the screen-cast portal (PipeWire). Prints a table; not part
of `make test`."""
import os
import shutil
import subprocess
import tempfile
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "wayland"))

from vistrel import _vistrel  # noqa: E402
from compositor import Sway  # noqa: E402
from portal import Portal  # noqa: E402

SECONDS = float(os.environ.get("VISTREL_BENCH_SECONDS", "5"))


class Recolour(threading.Thread):
    """Changes every pixel of the output as fast as the compositor takes commands."""

    def __init__(self, sway):
        super().__init__()
        self.sway, self.stop_flag, self.changes = sway, threading.Event(), 0

    def run(self):
        while not self.stop_flag.is_set():
            level = (self.changes * 37) % 256
            self.sway.msg(f"output * bg #{level:02x}{255 - level:02x}40 solid_color")
            self.changes += 1


class Terminal:
    """A terminal filling the output and scrolling text as fast as it can draw: every
    repaint changes nearly every pixel."""

    def __init__(self, sway):
        self.runtime = tempfile.mkdtemp(prefix="vistrel-foot-")
        script = "while :; do head -c 30000 /dev/urandom | base64; done"
        self.process = subprocess.Popen(["foot", "sh", "-c", script], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        env=dict(os.environ, WAYLAND_DISPLAY=sway.display,
                                                 XDG_RUNTIME_DIR=self.runtime))
        time.sleep(1.0)  # mapped and drawing

    def close(self):
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.runtime, ignore_errors=True)


def grab_rate_scrolling(sway):
    terminal = Terminal(sway)
    c = _vistrel.Capturer(cursor=False)
    try:
        started, frames = time.monotonic(), 0
        while time.monotonic() - started < SECONDS:
            if c.grab(timeout_ms=1000) is not None:
                frames += 1
        return frames / (time.monotonic() - started)
    finally:
        c.close()
        terminal.close()


def grim_rate(sway):
    started, count = time.monotonic(), 0
    while time.monotonic() - started < SECONDS:
        subprocess.run(["grim", "-t", "ppm", "-"], capture_output=True, check=True,
                       env=dict(os.environ, WAYLAND_DISPLAY=sway.display))
        count += 1
    return count / (time.monotonic() - started)


def grab_rate(sway):
    c = _vistrel.Capturer(cursor=False)
    changer = Recolour(sway)
    changer.start()
    try:
        started, frames = time.monotonic(), 0
        first_change = changer.changes
        while time.monotonic() - started < SECONDS:
            if c.grab(timeout_ms=1000) is not None:
                frames += 1
        elapsed = time.monotonic() - started
        changes = changer.changes - first_change
    finally:
        changer.stop_flag.set()
        changer.join()
        c.close()
    return frames / elapsed, changes / elapsed


def idle_cpu(sway):
    c = _vistrel.Capturer(cursor=False)
    c.start(60)
    time.sleep(0.5)
    cpu, wall = time.process_time(), time.monotonic()
    time.sleep(SECONDS)
    share = (time.process_time() - cpu) / (time.monotonic() - wall)
    c.stop()
    c.close()
    return share


def portal_rates(sway):
    """grab_rate and idle_cpu through the portal: its own bus, pipewire and backend."""
    if not os.path.exists("/usr/libexec/xdg-desktop-portal-wlr"):
        return None
    portal = Portal(sway)
    os.environ.update({"DBUS_SESSION_BUS_ADDRESS": portal.address, "VISTREL_WAYLAND_ROUTE": "portal",
                       "XDG_STATE_HOME": portal.home})
    try:
        return grab_rate(sway), idle_cpu(sway)
    finally:
        for name in ("DBUS_SESSION_BUS_ADDRESS", "VISTREL_WAYLAND_ROUTE", "XDG_STATE_HOME"):
            os.environ.pop(name, None)
        portal.stop()


def main():
    sway = Sway()
    try:
        sway.msg("output HEADLESS-1 mode 1920x1080")
        os.environ["WAYLAND_DISPLAY"] = sway.display
        os.environ.pop("VISTREL_BACKEND", None)
        os.environ.pop("VISTREL_WAYLAND_ROUTE", None)
        grim = grim_rate(sway)
        grabs, changes = grab_rate(sway)
        scrolling = grab_rate_scrolling(sway) if shutil.which("foot") else None
        idle = idle_cpu(sway)
        portal = portal_rates(sway)
    finally:
        sway.stop()
    print("| measure (headless sway, pixman, 1920x1080) | result |")
    print("|---|---|")
    print(f"| grim as a subprocess per image | {grim:.1f} images/s |")
    print(f"| grab(bgra), whole screen changing | {grabs:.1f} frames/s ({grabs / grim:.1f} x grim), "
          f"the compositor made {changes:.1f} changes/s |")
    if scrolling is not None:
        print(f"| grab(bgra), a full-output terminal scrolling | {scrolling:.1f} frames/s "
              f"({scrolling / grim:.1f} x grim) |")
    print(f"| start(60) on a still screen | {idle * 100:.2f} % of a core |")
    if portal is not None:
        (portal_grabs, portal_changes), portal_idle = portal
        print(f"| portal: grab(bgra), whole screen changing | {portal_grabs:.1f} frames/s "
              f"({portal_grabs / grim:.1f} x grim), the compositor made {portal_changes:.1f} changes/s |")
        print(f"| portal: start(60) on a still screen | {portal_idle * 100:.2f} % of a core |")


if __name__ == "__main__":
    main()
