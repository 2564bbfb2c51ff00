"""What the X11 module does when X is not there: no display, no libraries, a server that
dies under a capture."""
import ctypes
import gc
import glob
import os
import shutil
import subprocess
import sys
import time

import pytest

from vistrel import _vistrel
from conftest import segments_left
from painter import Painter


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
def test_module_imports_and_answers_without_x_libraries(xvfb):
    # A private mount namespace where every libxcb file is empty: the loader cannot use them.
    hide = " && ".join(f"mount --bind /dev/null {p}" for p in xcb_library_paths())
    script = f"{hide} && exec {sys.executable} -c '{HIDDEN_IMPORT}'"
    out = subprocess.run(["unshare", "--mount", "sh", "-c", script], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ))
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("DXGI 0x887A0022: cannot connect to X display: cannot load libxcb.so.1"), out.stdout
