"""The screen-cast portal route on the headless sway: the portal's stream against the
reference client, change detection, the dialog refused, restore tokens, the output or
the compositor going, and the libraries missing."""
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
from pixels import to_layout
from scenes import Recolour, noise, show_and_settle

LAYOUTS = ["bgra", "bgr", "rgba", "rgb", "gray"]
REGIONS = [None, (0, 0, 1, 1), (100, 50, 420, 250), (7, 3, 1273, 717)]


def drain(capturer):
    while capturer.grab(timeout_ms=300) is not None:
        pass


def test_stream_pixels_are_the_reference_clients(cast, sway_server):
    sway = sway_server
    [listed] = _vistrel.list_outputs()
    assert listed["name"].endswith("(screen-cast portal)") and listed["pixel_path"] == "pipewire-shm"
    reference = show_and_settle(sway, noise(1280, 720, 40))
    c = _vistrel.Capturer(cursor=False)
    assert (c.width, c.height, c.pixel_path) == (1280, 720, "pipewire-shm")
    for fmt in LAYOUTS:
        for region in REGIONS:
            left, top, right, bottom = region or (0, 0, 1280, 720)
            frame = c.screenshot(fmt=fmt, **({} if region is None else {"region": region}))
            assert np.array_equal(frame, to_layout(reference[top:bottom, left:right], fmt)), (fmt, region)
    # A change reaches grab() as damaged rows; the image it leaves is whole and current.
    for seed, fmt in zip(range(41, 44), LAYOUTS):
        reference = show_and_settle(sway, noise(1280, 720, seed))
        assert c.grab(timeout_ms=3000) is not None, fmt
        drain(c)
        frame = c.screenshot(fmt=fmt, region=(5, 5, 1000, 700))
        assert np.array_equal(frame, to_layout(reference[5:700, 5:1000], fmt)), fmt
    c.close()


def test_still_screen_gives_no_frame_and_changes_are_followed(cast, sway_server):
    sway = sway_server
    show_and_settle(sway, noise(1280, 720, 45))
    c = _vistrel.Capturer(cursor=False)
    drain(c)
    started = time.monotonic()
    assert c.grab(timeout_ms=700) is None
    assert time.monotonic() - started >= 0.65
    # screenshot() on a still screen: the stream's newest image, not a wait.
    started = time.monotonic()
    assert c.screenshot().shape == (720, 1280, 4)
    assert time.monotonic() - started < 0.5
    with Recolour(sway):
        c.start(30, region=(600, 300, 664, 308))
        seen, deadline = set(), time.monotonic() + 10
        while len(seen) < 4 and time.monotonic() < deadline:
            seen.add(c.get_latest_frame(timeout_ms=2000)[0, 0].tobytes())
        c.stop()
        assert len(seen) >= 4
        with c.frames(10, fmt="rgb", region=(600, 300, 664, 308)) as frames:
            values = {next(frames)[0][0, 0].tobytes() for _ in range(20)}
        assert len(values) >= 3
    c.close()


def test_refused_dialog_then_a_restore_token_skips_the_chooser(cast, tmp_path):
    cast.choose(None)
    started = time.monotonic()
    with pytest.raises(_vistrel.CaptureError, match="screen cast refused in the portal dialog"):
        _vistrel.Capturer()
    assert time.monotonic() - started < 5
    assert not (tmp_path / "vistrel").exists() or not list((tmp_path / "vistrel").iterdir())

    cast.choose("HEADLESS-1")
    asked = cast.chooser_calls()
    first = _vistrel.Capturer(cursor=False)
    token = first.token
    first.close()
    assert cast.chooser_calls() == asked + 1
    stored = tmp_path / "vistrel" / "portal-HEADLESS-1.token"
    assert [p.name for p in (tmp_path / "vistrel").iterdir()] == [stored.name]
    assert isinstance(token, str) and stored.read_text().strip() == token
    # The chooser would refuse now: only the stored token can open the second session.
    cast.choose(None)
    again = _vistrel.Capturer(cursor=False)
    assert again.screenshot().shape == (720, 1280, 4)
    assert again.token  # the portal's newest (tokens may serve once), kept for the next run
    assert stored.read_text().strip() == again.token
    again.close()
    assert cast.chooser_calls() == asked + 1

    # The caller's own token in place of the stored one; an empty one asks the dialog.
    stored.unlink()
    given = _vistrel.Capturer(cursor=False, restore_token=again.token)
    assert given.token
    given.close()
    assert cast.chooser_calls() == asked + 1
    with pytest.raises(_vistrel.CaptureError, match="screen cast refused in the portal dialog"):
        _vistrel.Capturer(restore_token="")
    assert cast.chooser_calls() == asked + 2
    with pytest.raises(TypeError):
        _vistrel.Capturer(restore_token=5)


def test_mode_change_loses_access_and_a_killed_compositor_ends_the_device(own_cast):
    sway, portal = own_cast
    c = _vistrel.Capturer(cursor=False)
    sway.msg("output HEADLESS-1 mode 800x600")
    with pytest.raises(_vistrel.AccessLost):
        for _ in range(20):  # frames captured before the change may come first
            c.grab(timeout_ms=1000)
    c.close()
    again = _vistrel.Capturer(cursor=False)
    assert (again.width, again.height) == (800, 600)
    assert again.screenshot().shape == (600, 800, 4)

    sway.kill()
    started = time.monotonic()
    with pytest.raises(_vistrel.DeviceError):
        for _ in range(20):
            again.grab(timeout_ms=1000)
    assert time.monotonic() - started < 3
    again.close()


HIDDEN = """
from vistrel import _vistrel
try:
    _vistrel.Capturer()
except _vistrel.CaptureError as e:
    print(e)
"""


def library_path(name):
    out = subprocess.run(["/sbin/ldconfig", "-p"], capture_output=True, text=True, timeout=30)
    return next(line.split()[-1] for line in out.stdout.splitlines() if line.strip().startswith(name + " "))


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare"), reason="hiding a library needs root")
@pytest.mark.parametrize("soname, says", [
    ("libpipewire-0.3.so.0", "the screen-cast portal needs PipeWire: cannot load libpipewire-0.3.so.0"),
    ("libdbus-1.so.3", "the screen-cast portal needs D-Bus: cannot load libdbus-1.so.3"),
])
def test_module_imports_and_says_why_without_a_library(cast, soname, says):
    # A private mount namespace where the library's file is empty: the loader cannot use it.
    script = f"mount --bind /dev/null {library_path(soname)} && exec {sys.executable} -c '{HIDDEN}'"
    out = subprocess.run(["unshare", "--mount", "sh", "-c", script], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ))
    assert out.returncode == 0, out.stderr
    assert says in out.stdout, out.stdout


def test_ctrl_c_ends_the_wait_for_the_dialog(own_cast):
    # A stack of its own: the backend stays busy with its chooser after the test.
    own_cast[1].choose_after(30, "HEADLESS-1")  # a person who takes their time
    sent = []

    def interrupt():
        time.sleep(0.5)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt).start()
    with pytest.raises(KeyboardInterrupt):
        _vistrel.Capturer()
    assert time.monotonic() - sent[0] < 0.1


def test_portal_backend_gone_ends_the_device(own_cast):
    sway, portal = own_cast
    c = _vistrel.Capturer(cursor=False)
    c.start(30)
    portal.kill("xdg-desktop-portal-wlr")
    started = time.monotonic()
    with pytest.raises(ValueError, match="DeviceError: .*screen-cast stream"):
        while time.monotonic() - started < 10:  # frames captured before the end may come first
            c.get_latest_frame(timeout_ms=1000)
    assert time.monotonic() - started < 3
    c.stop()
    c.close()


def test_second_output_and_a_wrong_choice_in_the_dialog(own_cast):
    sway, portal = own_cast
    sway.msg("create_output")
    sway.msg("output HEADLESS-2 mode 800x600")
    assert [o["output_name"] for o in _vistrel.list_outputs()] == ["HEADLESS-1", "HEADLESS-2"]
    # The person picks the other monitor: refused, and nothing kept that would pick it again.
    portal.choose("HEADLESS-1")
    with pytest.raises(_vistrel.CaptureError, match="the monitor chosen in the portal dialog is 1280x720, not output"):
        _vistrel.Capturer(1, cursor=False)
    portal.choose("HEADLESS-2")
    asked = portal.chooser_calls()
    second = _vistrel.Capturer(1, cursor=False)
    assert portal.chooser_calls() == asked + 1 and (second.width, second.height) == (800, 600)
    reference = show_and_settle(sway, noise(800, 600, 12), "HEADLESS-2", "HEADLESS-2")
    assert second.grab(timeout_ms=3000) is not None
    drain(second)
    assert np.array_equal(second.screenshot(), reference)
    second.close()
    # Its token now opens that output with no dialog.
    again = _vistrel.Capturer(1, cursor=False)
    assert portal.chooser_calls() == asked + 1
    again.close()
