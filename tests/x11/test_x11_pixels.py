"""Captured bytes against what a client drew, in every layout and region, through shared
memory and through the GetImage fallback."""
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from vistrel import _vistrel
from conftest import own_segments, segments_left
from painter import Canvas, Painter
from pixels import to_layout
from xservers import start_xvfb

LAYOUTS = ["bgra", "bgr", "rgba", "rgb", "gray"]
REGIONS = [None, (0, 0, 1, 1), (100, 50, 420, 250), (1601, 881, 1920, 1080), (7, 3, 1913, 1077)]


def draw_scene(canvas):
    canvas.fill(0, 0, 1920, 1080, (10, 20, 30))
    canvas.random_block(100, 50, 320, 200)
    canvas.random_block(1600, 880, 320, 200)
    canvas.fill(0, 0, 1, 1, (1, 2, 3))
    canvas.fill(1919, 1079, 1, 1, (4, 5, 6))


def test_every_layout_and_region_is_what_was_drawn(canvas):
    draw_scene(canvas)
    c = _vistrel.Capturer(cursor=False)
    assert (c.width, c.height) == (1920, 1080)
    assert c.pixel_path == "mit-shm" and _vistrel.list_outputs()[0]["pixel_path"] == "mit-shm"
    for i, (fmt, region) in enumerate((f, r) for f in LAYOUTS for r in REGIONS):
        # A fresh change for each grab, so each has a new frame to return.
        canvas.random_block(800, 500, 16, 16)
        kwargs = {} if region is None else {"region": region}
        frame = c.grab(timeout_ms=2000, fmt=fmt, **kwargs)
        assert frame is not None, (fmt, region)
        left, top, right, bottom = region or (0, 0, 1920, 1080)
        expected = to_layout(canvas.pixels[top:bottom, left:right], fmt)
        assert frame.shape == expected.shape, (fmt, region)
        assert np.array_equal(frame, expected), (fmt, region, i)
    c.close()


def test_a_one_shot_image_is_what_was_drawn_in_every_layout(canvas):
    # The module's one-shot capture opens and closes a duplication of its own per image:
    # over the layout's connection, its first frame read straight into the array's memory.
    draw_scene(canvas)
    for fmt in LAYOUTS:
        for region in (None, (1601, 881, 1920, 1080)):
            left, top, right, bottom = region or (0, 0, 1920, 1080)
            expected = to_layout(canvas.pixels[top:bottom, left:right], fmt)
            frame = _vistrel._screenshot(fmt=fmt, region=region, cursor=False)
            assert frame.shape == expected.shape and np.array_equal(frame, expected), (fmt, region)
            data, shape = _vistrel._screenshot(fmt=fmt, region=region, cursor=False, raw=True)
            assert type(data) is bytes and shape == expected.shape, (fmt, region)
            assert data == expected.tobytes(), (fmt, region)
    assert segments_left() == []


def test_changes_spread_over_the_screen_all_arrive(canvas):
    # Only changed rows are read: near and far changes, overlapping ones, and more
    # separate ones than are read one by one, must all be in the next frame.
    draw_scene(canvas)
    c = _vistrel.Capturer(cursor=False)
    for spots in ([(0, 0), (1900, 1070)], [(10, 100), (500, 105), (900, 98)],
                  [(37 * k % 1900, 83 * k % 1070) for k in range(1, 15)]):
        for x, y in spots:
            canvas.random_block(x, y, 20, 10)
        frame = c.grab(timeout_ms=2000)
        assert frame is not None and np.array_equal(frame, canvas.pixels), spots
    c.close()


def test_fourth_byte_is_opaque_whatever_the_client_sent(canvas):
    block = np.full((40, 40, 4), 7, np.uint8)  # the fourth byte is 7 on the wire
    c = _vistrel.Capturer(cursor=False)
    canvas.painter.put(200, 200, block)
    frame = c.grab(timeout_ms=2000, region=(200, 200, 240, 240))
    assert frame is not None
    assert (frame[..., 3] == 255).all() and (frame[..., :3] == 7).all()


def test_grab_gpu_says_sharing_needs_windows(xvfb):
    c = _vistrel.Capturer()
    with pytest.raises(_vistrel.CaptureError, match="needs Windows"):
        c.grab_gpu()


def test_without_mit_shm_get_image_gives_the_same_bytes(monkeypatch):
    # Where shared memory cannot be had (no MIT-SHM, a remote display), GetImage takes over.
    server = start_xvfb(640, 480, "-extension", "MIT-SHM")
    try:
        monkeypatch.setenv("DISPLAY", server.display)
        painter = Painter(server.display)
        canvas = Canvas(painter, 640, 480, seed=5)
        c = _vistrel.Capturer(cursor=False)
        # The fallback says so, to a program and on the command line.
        assert c.pixel_path == "get-image" and _vistrel.list_outputs()[0]["pixel_path"] == "get-image"
        listed = subprocess.run([sys.executable, "-m", "vistrel", "list"], capture_output=True, text=True, timeout=60)
        assert "pixel path: get-image" in listed.stderr, listed
        canvas.random_block(300, 200, 64, 48)
        frame = c.grab(timeout_ms=2000)
        assert frame is not None and np.array_equal(frame, canvas.pixels)
        canvas.random_block(0, 0, 640, 8)
        frame = c.grab(timeout_ms=2000, fmt="rgb", region=(1, 2, 300, 9))
        assert frame is not None and np.array_equal(frame, to_layout(canvas.pixels[2:9, 1:300], "rgb"))
        c.close()
        painter.close()
    finally:
        server.stop()


NAMESPACE_GRAB = """
import sys, numpy as np
from vistrel import _vistrel
sys.path.insert(0, {here!r})
from conftest import own_segments, segments_left
from painter import Canvas, Painter
canvas = Canvas(Painter(None), 1920, 1080, seed=9)
c = _vistrel.Capturer(cursor=False)
canvas.random_block(300, 200, 64, 48)
frame = c.grab(timeout_ms=2000)
assert frame is not None and np.array_equal(frame[200:248, 300:364], canvas.pixels[200:248, 300:364])
print(c.pixel_path)
"""


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare"), reason="a new IPC namespace needs root")
def test_in_another_ipc_namespace_frames_are_still_right(xvfb):
    # The segment ids there mean nothing to the server, or another segment: the module
    # must notice and read over the socket instead.
    code = NAMESPACE_GRAB.format(here=os.path.dirname(__file__))
    out = subprocess.run(["unshare", "--ipc", sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60, env=dict(os.environ))
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "get-image"


SEGMENTS_RUN_OUT = """
import sys, numpy as np
sys.path.insert(0, {here!r})
from painter import Canvas, Painter
from xservers import start_xvfb
server = start_xvfb(640, 480)
try:
    import os
    os.environ["DISPLAY"] = server.display
    from vistrel import _vistrel
    canvas = Canvas(Painter(None), 640, 480, seed=5)
    c = _vistrel.Capturer(cursor=False)
    kept = []
    for i in range(4):  # the first read of a size goes over the socket, later ones want a segment
        canvas.fill(0, 0, 640, 480, (i, 2 * i, 3 * i))
        canvas.random_block(10 * i, 5, 16, 16)
        frame = c.grab(timeout_ms=2000)
        kept.append((frame, canvas.pixels.copy()))
    assert all(f is not None and np.array_equal(f, expected) for f, expected in kept)
    assert np.array_equal(c.screenshot(), canvas.pixels)
    print(c.pixel_path)
    c.close()
finally:
    server.stop()
"""


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare"), reason="a new IPC namespace needs root")
def test_frames_still_come_when_no_more_segments_can_be_made(tmp_path):
    # Room for the monitor's own image (300 pages of 640x480) and not for one more of its
    # size: the arrays then come over the socket, and the pixels stay right.
    program = tmp_path / "run_out.py"
    program.write_text(SEGMENTS_RUN_OUT.format(here=os.path.dirname(__file__)))
    script = f"echo 400 > /proc/sys/kernel/shmall && exec {sys.executable} {program}"
    out = subprocess.run(["unshare", "--ipc", "sh", "-c", script], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ))
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "mit-shm"


def test_the_leak_check_sees_a_live_capturers_segment(xvfb):
    # The check every X11 test ends with must be able to fail.
    c = _vistrel.Capturer(cursor=False)
    assert len(own_segments()) == 1
    c.close()
    assert segments_left() == []
