"""Change detection on the compositor: a still screen gives nothing, changes wake grab(),
the background capture and frames() follow a changing screen, a new mode loses access."""
import gc
import os
import time

import numpy as np
import pytest

from vistrel import _vistrel
from scenes import Recolour, noise, show_and_settle


def drain(capturer):
    while capturer.grab(timeout_ms=300) is not None:
        pass


def test_still_screen_gives_no_frame_and_a_change_is_seen(sway):
    show_and_settle(sway, noise(1280, 720, 20))
    c = _vistrel.Capturer(cursor=False)
    drain(c)
    started = time.monotonic()
    assert c.grab(timeout_ms=700) is None
    assert time.monotonic() - started >= 0.65  # waited, not polled out early
    reference = show_and_settle(sway, noise(1280, 720, 21))
    assert c.grab(timeout_ms=3000) is not None
    drain(c)
    assert np.array_equal(c.screenshot(), reference)
    c.close()


def test_background_capture_and_frames_follow_a_changing_screen(sway):
    c = _vistrel.Capturer(cursor=False)
    with Recolour(sway):
        c.start(30, region=(600, 300, 664, 308))
        seen = set()
        deadline = time.monotonic() + 5
        while len(seen) < 4 and time.monotonic() < deadline:
            frame = c.get_latest_frame(timeout_ms=2000)
            assert frame.shape == (8, 64, 4)
            seen.add(frame[0, 0].tobytes())
        c.stop()
        assert len(seen) >= 4
        with c.frames(10, fmt="rgb", region=(600, 300, 664, 308)) as frames:
            values = set()
            for _ in range(20):
                frame, _ = next(frames)
                assert frame.shape == (8, 64, 3)
                values.add(frame[0, 0].tobytes())
        assert len(values) >= 3
    c.close()


def test_mode_change_loses_access_and_a_new_capturer_has_the_new_size(own_sway):
    c = _vistrel.Capturer(cursor=False)
    assert (c.width, c.height) == (1280, 720)
    own_sway.msg("output HEADLESS-1 mode 800x600")
    with pytest.raises(_vistrel.AccessLost):
        for _ in range(20):  # frames captured before the change may come first
            c.grab(timeout_ms=1000)
    c.close()
    again = _vistrel.Capturer(cursor=False)
    assert (again.width, again.height) == (800, 600)
    assert again.screenshot().shape == (600, 800, 4)
    assert [(o["width"], o["height"]) for o in _vistrel.list_outputs()] == [(800, 600)]
    again.close()


@pytest.mark.parametrize("route", ["screencopy", "portal"])
def test_closed_capturers_leave_no_thread_or_descriptor(request, route):
    request.getfixturevalue("sway" if route == "screencopy" else "cast")

    def counts():
        return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))

    _vistrel.Capturer(cursor=False).close()  # libraries loaded, once-per-process state made
    before = counts()
    for cursor in (False, True, False):
        c = _vistrel.Capturer(cursor=cursor)
        c.screenshot()
        c.start(30)
        c.stop()
        c.close()
    del c
    gc.collect()
    assert counts() == before
