"""A pointer that only moves, over a desktop that stays still: a change of its own, drawn
at its new place, whether a device moved it or a program warped it, without letting the
server queue up events for a Capturer nobody reads."""
import time

import numpy as np

from vistrel import _vistrel
from painter import Painter
from test_x11_frames import composite_like_x


def drawn_at(capturer_frame, plain, image, x, y):
    return np.array_equal(capturer_frame, composite_like_x(plain, image, x, y))


def test_a_kept_open_capturer_follows_warps_and_device_motion(canvas):
    canvas.fill(0, 0, 400, 300, (30, 60, 90))
    painter = canvas.painter
    painter.move_pointer(200, 150)
    (hot_x, hot_y), image = painter.cursor_image()
    plain = _vistrel.Capturer(cursor=False).screenshot(region=(0, 0, 400, 300))
    c = _vistrel.Capturer(cursor=True)
    assert drawn_at(c.screenshot(region=(0, 0, 400, 300)), plain, image, 200 - hot_x, 150 - hot_y)
    assert c.grab(timeout_ms=100) is None  # nothing has changed since

    # A program's warp makes no device motion: it still wakes a waiting grab.
    painter.warp_pointer(120, 90)
    started = time.perf_counter()
    frame = c.grab(timeout_ms=300, region=(0, 0, 400, 300))
    assert frame is not None and time.perf_counter() - started < 0.2
    assert drawn_at(frame, plain, image, 120 - hot_x, 90 - hot_y)
    # screenshot() draws the pointer where it is now, not where it was at opening.
    painter.warp_pointer(300, 40)
    assert drawn_at(c.screenshot(region=(0, 0, 400, 300)), plain, image, 300 - hot_x, 40 - hot_y)
    painter.move_pointer(60, 200)
    assert drawn_at(c.screenshot(region=(0, 0, 400, 300)), plain, image, 60 - hot_x, 200 - hot_y)
    # A motion made while a grab waits wakes it.
    painter.warp_pointer(10, 250)
    frame = c.grab(timeout_ms=300, region=(0, 0, 400, 300))
    assert frame is not None and drawn_at(frame, plain, image, 10 - hot_x, 250 - hot_y)

    # Background capture in video mode repeats frames with the pointer moving in them.
    c.start(target_fps=50, region=(0, 0, 400, 300), video_mode=True)
    try:
        painter.warp_pointer(250, 250)
        deadline = time.monotonic() + 2
        while not drawn_at(c.get_latest_frame(), plain, image, 250 - hot_x, 250 - hot_y):
            assert time.monotonic() < deadline
    finally:
        c.stop()


def server_rss_kb(server):
    with open(f"/proc/{server.process.pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def test_an_idle_capturer_does_not_grow_the_server(own_xvfb):
    painter = Painter(own_xvfb.display)
    c = _vistrel.Capturer()
    assert c.screenshot() is not None
    painter.jiggle_pointer(20_000)  # the server's own allocations settle first
    before = server_rss_kb(own_xvfb)
    painter.jiggle_pointer(100_000)
    grown = server_rss_kb(own_xvfb) - before
    # Events queued for a client that does not read cost the server about 72 bytes each.
    assert grown < 2_000, f"the X server grew by {grown} kB"
    assert c.screenshot() is not None
    c.close()
    painter.close()
