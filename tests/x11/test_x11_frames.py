"""When frames come: change detection on the damage events, the pointer, and the capture
thread and frames() against a client that keeps drawing."""
import threading
import time

import numpy as np
import pytest

from vistrel import _vistrel
from painter import Painter


def test_static_screen_times_out_and_a_draw_is_seen_at_once(canvas):
    c = _vistrel.Capturer(cursor=False)
    assert c.grab(timeout_ms=0) is None or True  # drains whatever the opening left pending
    started = time.perf_counter()
    assert c.grab(timeout_ms=300) is None
    assert time.perf_counter() - started >= 0.29
    # A static screen waits out the whole time-out without spinning a core.
    cpu = time.process_time()
    assert c.grab(timeout_ms=400) is None
    assert time.process_time() - cpu < 0.05

    def draw_later():
        time.sleep(0.2)
        canvas.fill(50, 60, 4, 4, (200, 100, 0))

    drawer = threading.Thread(target=draw_later)
    drawer.start()
    started = time.perf_counter()
    frame = c.grab(timeout_ms=5000, region=(50, 60, 54, 64))
    waited = time.perf_counter() - started
    drawer.join()
    assert frame is not None and (frame[..., :3] == (200, 100, 0)).all()
    assert waited < 1.0  # woken by the draw, not by the time-out
    # Several draws before one acquisition come as one frame showing the last.
    for v in (1, 2, 3):
        canvas.fill(50, 60, 4, 4, (v, v, v))
    frame = c.grab(timeout_ms=2000, region=(50, 60, 54, 64))
    assert (frame[..., :3] == 3).all()
    assert c.grab(timeout_ms=100) is None


def composite_like_x(rows, premultiplied, x, y):
    """Draw an ARGB cursor (premultiplied BGRA) with its top-left at (x, y), as X does."""
    out = rows.astype(np.int64)
    h, w = premultiplied.shape[:2]
    src = premultiplied.astype(np.int64)
    alpha = src[..., 3:4]
    area = out[y:y + h, x:x + w, :3]
    out[y:y + h, x:x + w, :3] = src[..., :3] + (area * (255 - alpha) + 127) // 255
    return out.astype(np.uint8)


def test_pointer_is_drawn_where_it_was_moved_with_the_servers_image(canvas):
    canvas.fill(0, 0, 400, 300, (90, 160, 220))
    painter = canvas.painter
    painter.move_pointer(200, 150)
    (hot_x, hot_y), image = painter.cursor_image()
    with_pointer = _vistrel.Capturer(cursor=True)
    plain = _vistrel.Capturer(cursor=False)
    canvas.fill(390, 290, 2, 2, (1, 1, 1))  # a change, so both have a new frame
    a = with_pointer.grab(timeout_ms=2000, region=(0, 0, 400, 300))
    b = plain.grab(timeout_ms=2000, region=(0, 0, 400, 300))
    assert np.array_equal(b, canvas.pixels[:300, :400])  # the X cursor is not in the pixels
    expected = composite_like_x(b, image, 200 - hot_x, 150 - hot_y)
    assert not np.array_equal(a, b)
    assert np.array_equal(a, expected)

    # A motion alone (no drawing) wakes the capturer and moves the pointer.
    painter.move_pointer(100, 80)
    a = with_pointer.grab(timeout_ms=2000, region=(0, 0, 400, 300))
    assert a is not None
    assert np.array_equal(a, composite_like_x(b, image, 100 - hot_x, 80 - hot_y))
    # Off this area of the screen, nothing of it is drawn.
    painter.move_pointer(1500, 1000)
    a = with_pointer.grab(timeout_ms=2000, region=(0, 0, 400, 300))
    assert a is not None and np.array_equal(a, b)


class Animator:
    """A client of its own that repaints a band with a new value about every 5 ms."""

    def __init__(self, display):
        self.painter = Painter(display)
        self.stop_flag = threading.Event()
        self.count = 0
        self.thread = threading.Thread(target=self.run)

    def run(self):
        while not self.stop_flag.is_set():
            self.count += 1
            v = self.count % 256
            self.painter.fill(0, 0, 64, 8, (v, 255 - v, 7))
            time.sleep(0.005)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop_flag.set()
        self.thread.join()
        self.painter.close()


def test_background_capture_and_frames_follow_an_animating_client(xvfb):
    c = _vistrel.Capturer(cursor=False)
    with Animator(xvfb.display):
        c.start(region=(0, 0, 64, 8))
        seen = set()
        for _ in range(10):
            frame = c.get_latest_frame()
            assert frame.shape == (8, 64, 4)
            # Each frame is one whole paint: the band is uniform.
            assert (frame == frame[0, 0]).all()
            assert frame[0, 0, 1] == 255 - frame[0, 0, 0]
            seen.add(int(frame[0, 0, 0]))
        c.stop()
        assert len(seen) >= 5
        with c.frames(50, fmt="rgb", region=(0, 0, 64, 8)) as frames:
            values = []
            for _ in range(10):
                frame, _ = next(frames)
                assert frame.shape == (8, 64, 3) and (frame[..., 1] == 255 - frame[..., 2]).all()
                values.append(int(frame[0, 0, 2]))
        assert len(set(values)) >= 5
    c.close()


def test_the_first_capture_after_a_change_shows_it_behind_a_backlog_of_events(canvas):
    # A busy desktop fills the socket with damage events while the Capturer is idle; a
    # change made before a capture must be in it all the same, whatever is still queued.
    painter = canvas.painter
    c = _vistrel.Capturer(cursor=False)
    stale = 0
    for i in range(12):
        colour = (i * 20 % 256, 255 - i * 20 % 256, 100)
        painter.dots(12_000, 480, 4, (i, i, i))  # rows 0 to 100: far from the spot
        painter.fill(700, 950, 8, 8, colour)
        time.sleep(0.05)
        if i % 2:
            frame = c.screenshot(fmt="bgr", region=(700, 950, 701, 951))
        else:
            frame = c.grab(timeout_ms=0, fmt="bgr", region=(700, 950, 701, 951))
        stale += frame is None or tuple(frame[0, 0]) != colour
    assert stale == 0
