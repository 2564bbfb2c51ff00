"""What the module does when the compositor is not there, goes away, or cannot serve:
the provider choice, a killed compositor, a hidden library, Ctrl+C, GPU sharing, fork()."""
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from vistrel import _vistrel
from scenes import noise, show_and_settle


def test_without_wayland_display_x11_serves(monkeypatch):
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("VISTREL_BACKEND", raising=False)
    with pytest.raises(_vistrel.CaptureError, match="cannot connect to X display: DISPLAY is not set"):
        _vistrel.list_outputs()


@pytest.mark.parametrize("backend, wayland, display, message", [
    ("wayland", None, ":97", "cannot connect to Wayland display: WAYLAND_DISPLAY is not set"),
    ("x11", "SWAY", ":97", "cannot connect to X display ':97'"),
    ("mir", "SWAY", None, "VISTREL_BACKEND must be x11 or wayland, not 'mir'"),
])
def test_backend_override(sway, monkeypatch, backend, wayland, display, message):
    monkeypatch.setenv("VISTREL_BACKEND", backend)
    for name, value in (("WAYLAND_DISPLAY", wayland and sway.display), ("DISPLAY", display)):
        if value:
            monkeypatch.setenv(name, value)
        else:
            monkeypatch.delenv(name, raising=False)
    for call in (_vistrel.list_outputs, _vistrel.Capturer):
        with pytest.raises(_vistrel.CaptureError, match=message):
            call()


def test_routes(sway, monkeypatch, tmp_path):
    monkeypatch.setenv("VISTREL_WAYLAND_ROUTE", "screencopy")
    assert _vistrel.list_outputs()[0]["name"].endswith("(wlr-screencopy)")
    with _vistrel.Capturer(restore_token="ignored without a portal") as c:
        assert c.token is None
    # The portal route without a session bus: said at once, and no bus is started for it.
    monkeypatch.setenv("VISTREL_WAYLAND_ROUTE", "portal")
    monkeypatch.delenv("DBUS_SESSION_BUS_ADDRESS", raising=False)
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path))
    assert _vistrel.list_outputs()[0]["name"].endswith("(screen-cast portal)")
    with pytest.raises(_vistrel.CaptureError, match="the screen-cast portal needs a session bus"):
        _vistrel.Capturer()
    monkeypatch.setenv("VISTREL_WAYLAND_ROUTE", "pipe")
    with pytest.raises(_vistrel.CaptureError, match="VISTREL_WAYLAND_ROUTE must be screencopy or portal, not 'pipe'"):
        _vistrel.list_outputs()


def test_grab_gpu_needs_windows(sway):
    c = _vistrel.Capturer()
    with pytest.raises(_vistrel.CaptureError, match="needs Windows"):
        c.grab_gpu()
    c.close()


@pytest.mark.parametrize("wait", ["grab", "get_latest_frame", "frames"])
def test_ctrl_c_ends_a_wait_at_once(sway, wait):
    c = _vistrel.Capturer(cursor=False)
    while c.grab(timeout_ms=300) is not None:
        pass
    sent = []

    def interrupt():
        time.sleep(0.3)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt).start()
    with pytest.raises(KeyboardInterrupt):
        if wait == "grab":
            c.grab(timeout_ms=10000)
        elif wait == "get_latest_frame":
            c.start(30)
            c.get_latest_frame(timeout_ms=10000)
        else:
            with c.frames(30, timeout_ms=10000) as frames:
                next(frames)
    assert time.monotonic() - sent[0] < 0.1
    if c.is_capturing:
        c.stop()
    c.close()


def test_compositor_killed_mid_capture(own_sway):
    grabbing = _vistrel.Capturer(cursor=False)
    background = _vistrel.Capturer()
    background.start()
    own_sway.msg("output * bg #336699 solid_color")
    assert background.get_latest_frame(timeout_ms=3000) is not None

    own_sway.kill()
    started = time.monotonic()
    lost = f"lost the connection to Wayland display '{own_sway.display}'"
    with pytest.raises(_vistrel.CaptureError, match=lost) as e:
        grabbing.grab(timeout_ms=5000)
    assert type(e.value) is not _vistrel.CaptureError  # a subclass: the device is gone
    with pytest.raises(ValueError, match="DeviceError: .*lost the connection to Wayland display"):
        while True:  # frames captured before the end may still be handed out first
            background.get_latest_frame(timeout_ms=3000)
    assert time.monotonic() - started < 4  # failed at once, not after the time-outs
    background.stop()
    with pytest.raises(_vistrel.CaptureError, match=f"cannot connect to Wayland display '{own_sway.display}'"):
        _vistrel.Capturer()
    grabbing.close()
    background.close()


HIDDEN_IMPORT = """
from vistrel import _vistrel
try:
    _vistrel.list_outputs()
except _vistrel.CaptureError as e:
    print(e)
"""


def wayland_library_path():
    ctypes.CDLL("libwayland-client.so.0")
    with open("/proc/self/maps") as f:
        return next(line.split()[-1] for line in f if "libwayland-client.so" in line)


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare"), reason="hiding a library needs root")
def test_module_imports_and_answers_without_the_wayland_library(sway):
    # A private mount namespace where the library's file is empty: the loader cannot use it.
    script = f"mount --bind /dev/null {wayland_library_path()} && exec {sys.executable} -c '{HIDDEN_IMPORT}'"
    out = subprocess.run(["unshare", "--mount", "sh", "-c", script], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ))
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("cannot connect to Wayland display: cannot load "
                                 "libwayland-client.so.0"), out.stdout


def test_a_forked_child_captures_on_a_connection_of_its_own(sway):
    reference = show_and_settle(sway, noise(1280, 720, 30))
    c = _vistrel.Capturer(cursor=False)
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            # The parent's duplication is lost here; the child's own shows the same screen.
            status = 0 if np.array_equal(c.screenshot(), reference) else 2
            c.close()
        finally:
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    # The parent's stream was left alone: it still captures, and sees a change.
    assert np.array_equal(c.screenshot(), reference)
    changed = show_and_settle(sway, noise(1280, 720, 31))
    assert c.grab(timeout_ms=3000) is not None
    while c.grab(timeout_ms=300) is not None:
        pass
    assert np.array_equal(c.screenshot(), changed)
    c.close()
