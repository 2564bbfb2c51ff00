"""What the X11 module does when X is not there: no display, no libraries, a server that
dies under a capture."""
import ctypes
import gc
import glob
import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

from vistrel import _vistrel
from conftest import segments_left
from painter import Painter
from xservers import start_xvfb


def test_no_display_is_a_capture_error_naming_the_cause(monkeypatch):
    monkeypatch.delenv("DISPLAY", raising=False)
    for call in (_vistrel.list_outputs, _vistrel.Capturer, _vistrel.device_info):
        with pytest.raises(_vistrel.CaptureError, match="cannot connect to X display: DISPLAY is not set"):
            call()


def test_server_killed_mid_capture(own_xvfb):
    painter = Painter(own_xvfb.display)
    grabbing = _vistrel.Capturer(cursor=False)
    background = _vistrel.Capturer()
    painter.fill(0, 0, 10, 10, (1, 2, 3))
    assert grabbing.grab(timeout_ms=2000) is not None
    background.start()
    assert background.get_latest_frame() is not None

    own_xvfb.kill()
    started = time.monotonic()
    with pytest.raises(_vistrel.CaptureError, match=f"lost the connection to X display '{own_xvfb.display}'") as e:
        grabbing.grab(timeout_ms=5000)
    assert type(e.value) is not _vistrel.CaptureError  # a subclass: the device is gone
    # The capture thread's failure comes back rendered, as for any failure it meets.
    with pytest.raises(ValueError, match="DeviceError: .*lost the connection to X display"):
        while True:  # frames captured before the end may still be handed out first
            background.get_latest_frame()
    assert time.monotonic() - started < 4  # failed at once, not after the time-outs
    background.stop()
    with pytest.raises(_vistrel.CaptureError, match=f"cannot connect to X display '{own_xvfb.display}'"):
        _vistrel.Capturer()
    grabbing.close()
    background.close()
    del grabbing, background
    gc.collect()
    assert segments_left() == []


HIDDEN_IMPORT = """
from vistrel import _vistrel
try:
    _vistrel.list_outputs()
except _vistrel.CaptureError as e:
    print(e)
"""


def xcb_library_paths():
    """The files the loader finds for libxcb and its extensions here."""
    ctypes.CDLL("libxcb.so.1")
    with open("/proc/self/maps") as f:
        path = next(line.split()[-1] for line in f if "libxcb.so.1" in line)
    return sorted(set(glob.glob(os.path.join(os.path.dirname(path), "libxcb*.so*"))))


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare"), reason="hiding libraries needs root")
@pytest.mark.parametrize("hidden, message", [
    ("libxcb", "cannot connect to X display: cannot load libxcb.so.1 (Debian package libxcb1): "),
    ("libxcb-damage.", "cannot connect to X display: cannot load libxcb-damage.so.0 (Debian package libxcb-damage0): "),
])
def test_module_imports_and_answers_without_x_libraries(xvfb, hidden, message):
    # A private mount namespace where those libxcb files are empty: the loader cannot use them.
    paths = [p for p in xcb_library_paths() if os.path.basename(p).startswith(hidden)]
    hide = " && ".join(f"mount --bind /dev/null {p}" for p in paths)
    script = f"{hide} && exec {sys.executable} -c '{HIDDEN_IMPORT}'"
    out = subprocess.run(["unshare", "--mount", "sh", "-c", script], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ))
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(message), out.stdout


def authority_file(path, cookie, number=b""):
    """An Xauthority file holding one MIT-MAGIC-COOKIE-1 entry for any host."""
    def field(b):
        return len(b).to_bytes(2, "big") + b
    with open(path, "wb") as f:
        f.write(b"\xff\xff" + field(b"") + field(number) + field(b"MIT-MAGIC-COOKIE-1") + field(cookie))


def test_refused_connection_says_why(tmp_path, monkeypatch):
    server_file = tmp_path / "server"
    authority_file(server_file, bytes(range(16)))
    server = start_xvfb(64, 64, "-auth", str(server_file))
    try:
        monkeypatch.setenv("DISPLAY", server.display)
        number = server.display[1:].encode()
        prefix = f"cannot connect to X display '{server.display}': the server refused the connection: "
        cases = [
            (bytes(16), f"Invalid MIT-MAGIC-COOKIE-1 key (the cookie sent came from {tmp_path / 'wrong'})"),
            (None, "Authorization required, but no authorization protocol specified (the Xauthority file "
                   f"{tmp_path / 'missing'} cannot be read)"),
        ]
        for cookie, reason in cases:
            name = "wrong" if cookie else "missing"
            if cookie:
                authority_file(tmp_path / name, cookie, number)
            monkeypatch.setenv("XAUTHORITY", str(tmp_path / name))
            with pytest.raises(_vistrel.CaptureError) as e:
                _vistrel.list_outputs()
            assert str(e.value).endswith(prefix + reason)
        monkeypatch.setenv("XAUTHORITY", str(server_file))
        assert len(_vistrel.list_outputs()) == 1
    finally:
        server.stop()
    with pytest.raises(_vistrel.CaptureError) as e:
        _vistrel.list_outputs()
    assert str(e.value).endswith(f"'{server.display}': no X server is listening on display {server.display}")


def process_resources():
    """Threads, sockets and attached System V segments this process holds now."""
    tasks = len(os.listdir("/proc/self/task"))
    sockets = sum(os.readlink(f"/proc/self/fd/{fd}").startswith("socket:") for fd in os.listdir("/proc/self/fd")
                  if os.path.exists(f"/proc/self/fd/{fd}"))
    with open("/proc/self/maps") as f:
        segments = sum("SYSV" in line for line in f)
    return tasks, sockets, segments


def test_capturer_collected_on_another_thread_releases_everything(xvfb, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    # This thread's own pointer connection is made once and kept: open it before counting.
    with _vistrel.Capturer() as warm:
        warm.screenshot()
    before = process_resources()
    for running in (False, True):
        c = _vistrel.Capturer()
        if running:
            c.start()
        cycle = [c]
        cycle.append(cycle)  # only the cyclic collector frees it, on whichever thread runs it
        del c, cycle
        collector = threading.Thread(target=gc.collect)
        collector.start()
        collector.join()
        assert reports == []
        deadline = time.monotonic() + 2  # a thread that has ended leaves /proc a moment later
        while process_resources() != before and time.monotonic() < deadline:
            time.sleep(0.01)
        assert process_resources() == before  # capture thread, X connection and segment are gone
