"""The Wayland module on a headless sway at 1920x1080, beside grim started per image (what
a script without this package would do) and beside a bare screencopy client that does
nothing with its frames (the compositor's own rate, the limit): grab(bgra) frames per
second while the whole screen keeps changing (a full-output terminal scrolling), the time
from a change to the grab that shows it, and the CPU a start(60) capture costs on a still screen, by screencopy and again
through the screen-cast portal (PipeWire). Prints a table; not part of `make test`."""
import os
import shutil
import subprocess
import tempfile
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "wayland"))

from vistrel import _vistrel  # noqa: E402
from compositor import Sway  # noqa: E402
from portal import Portal  # noqa: E402

SECONDS = float(os.environ.get("VISTREL_BENCH_SECONDS", "5"))
LIMIT_CLIENT = os.environ.get("VISTREL_SCREENCOPY_LIMIT", os.path.join(ROOT, "build-product", "screencopy_limit"))
LATENCY_SAMPLES = 200


class Terminal:
    """A terminal filling the output and running `script`: by default text scrolled as fast
    as it can draw, so that every repaint changes nearly every pixel."""

    def __init__(self, sway, script="while :; do head -c 30000 /dev/urandom | base64; done"):
        self.runtime = tempfile.mkdtemp(prefix="vistrel-foot-")
        self.process = subprocess.Popen(["foot", "sh", "-c", script], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        env=dict(os.environ, WAYLAND_DISPLAY=sway.display,
                                                 XDG_RUNTIME_DIR=self.runtime))
        time.sleep(1.0)  # mapped and drawing

    def close(self):
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.runtime, ignore_errors=True)


def new_frame_rate():
    """grab() results a second over SECONDS: each one a new image."""
    c = _vistrel.Capturer(cursor=False)
    try:
        started, frames = time.monotonic(), 0
        while time.monotonic() - started < SECONDS:
            if c.grab(timeout_ms=1000) is not None:
                frames += 1
        return frames / (time.monotonic() - started)
    finally:
        c.close()


def grim_rate(sway):
    started, count = time.monotonic(), 0
    while time.monotonic() - started < SECONDS:
        subprocess.run(["grim", "-t", "ppm", "-"], capture_output=True, check=True,
                       env=dict(os.environ, WAYLAND_DISPLAY=sway.display))
        count += 1
    return count / (time.monotonic() - started)


def while_scrolling(sway, measure):
    """`measure()` while a full-output terminal scrolls: every repaint a new image."""
    terminal = Terminal(sway)
    try:
        return measure()
    finally:
        terminal.close()


def grab_rate(sway):
    return while_scrolling(sway, new_frame_rate)


def limit_rate(sway, mode):
    """The bare client's frames per second: `damage` waits for changes as grab() does."""
    out = subprocess.run([LIMIT_CLIENT, mode, str(SECONDS)], capture_output=True, text=True, check=True,
                         env=dict(os.environ, WAYLAND_DISPLAY=sway.display), timeout=SECONDS + 30)
    return float(out.stdout)


def change_latency(sway):
    """Milliseconds from a character written to a terminal on an otherwise still screen to
    the grab() that returns the frame showing it (the terminal's own drawing included)."""
    fifo = os.path.join(tempfile.mkdtemp(prefix="vistrel-latency-"), "typed")
    os.mkfifo(fifo)
    terminal = Terminal(sway, f"cat < {fifo}")
    typed = open(fifo, "w")
    c = _vistrel.Capturer(cursor=False)
    samples = []
    try:
        while c.grab(timeout_ms=300) is not None:
            pass
        for i in range(LATENCY_SAMPLES):
            typed.write("\n" if i % 60 == 59 else "#")
            typed.flush()
            written = time.perf_counter()
            if c.grab(timeout_ms=1000) is not None:
                samples.append((time.perf_counter() - written) * 1000)
            while c.grab(timeout_ms=40) is not None:  # a repaint or two more, then still again
                pass
    finally:
        c.close()
        typed.close()
        terminal.close()
        shutil.rmtree(os.path.dirname(fifo), ignore_errors=True)
    if not samples:
        return float("nan"), float("nan"), 0
    samples.sort()
    return samples[len(samples) // 2], samples[min(len(samples) - 1, int(len(samples) * 0.99))], len(samples)


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
        latency = change_latency(sway) if shutil.which("foot") else (float("nan"),) * 2 + (0,)
        return grab_rate(sway), idle_cpu(sway), latency
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
        limit = while_scrolling(sway, lambda: limit_rate(sway, "damage"))
        grabs = grab_rate(sway)
        repaints = limit_rate(sway, "plain")
        p50, p99, samples = change_latency(sway) if shutil.which("foot") else (float("nan"),) * 2 + (0,)
        idle = idle_cpu(sway)
        portal = portal_rates(sway)
    finally:
        sway.stop()
    print("| measure (headless sway, pixman, 1920x1080) | result |")
    print("|---|---|")
    print(f"| grim as a subprocess per image | {grim:.1f} images/s |")
    print(f"| bare screencopy client, every repaint | {repaints:.1f} frames/s (the compositor's refresh) |")
    print(f"| bare screencopy client with damage, whole screen changing (the limit) | {limit:.1f} frames/s |")
    print(f"| grab(bgra), whole screen changing | {grabs:.1f} frames/s: {grabs / limit:.2f} x the limit "
          f"(target 0.9: {verdict(grabs / limit >= 0.9)}), {grabs / grim:.1f} x grim (target 10: "
          f"{verdict(grabs / grim >= 10)}) |")
    print(f"| a character typed into a terminal to grab() ({samples} samples) | p50 {p50:.1f} ms, p99 {p99:.1f} ms |")
    print(f"| start(60) on a still screen | {idle * 100:.2f} % of a core (target 1: {verdict(idle < 0.01)}) |")
    if portal is not None:
        portal_grabs, portal_idle, (portal_p50, portal_p99, portal_samples) = portal
        print(f"| portal: grab(bgra), whole screen changing | {portal_grabs:.1f} frames/s "
              f"({portal_grabs / grim:.1f} x grim) |")
        print(f"| portal: a character typed into a terminal to grab() ({portal_samples} samples) | "
              f"p50 {portal_p50:.1f} ms, p99 {portal_p99:.1f} ms |")
        print(f"| portal: start(60) on a still screen | {portal_idle * 100:.2f} % of a core "
              f"(target 1: {verdict(portal_idle < 0.01)}) |")
    if grabs / grim < 10:
        print("\n10 x grim would need more frames than the compositor paints: it repaints at "
              f"{repaints:.0f} Hz, and grim as a process per image already reaches {grim:.0f} a second.")


MISSED = []


def verdict(met):
    if not met:
        MISSED.append(True)
    return "met" if met else "MISSED"


if __name__ == "__main__":
    main()
    sys.exit(1 if MISSED else 0)
