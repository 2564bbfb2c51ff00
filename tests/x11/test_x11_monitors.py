"""Several monitors and mode changes, on Xorg with the dummy driver."""
import numpy as np
import pytest

from vistrel import _vistrel
from painter import Canvas, Painter
from xservers import xrandr


@pytest.fixture
def two_monitors(dummy):
    xrandr(dummy.display, "--addmode", "DUMMY1", "1280x720")
    xrandr(dummy.display, "--output", "DUMMY1", "--mode", "1280x720", "--right-of", "DUMMY0")
    painter = Painter(dummy.display)
    yield dummy, painter
    painter.close()


def test_each_monitor_is_an_output_with_its_own_part_of_the_screen(two_monitors):
    dummy, painter = two_monitors
    outputs = _vistrel.list_outputs()
    assert [(o["output_name"], o["width"], o["height"]) for o in outputs] == [
        ("DUMMY0", 1024, 768), ("DUMMY1", 1280, 720)]
    canvas = Canvas(painter, 2304, 768)
    canvas.fill(0, 0, 2304, 768, (0, 0, 0))
    left, right = _vistrel.Capturer(0, cursor=False), _vistrel.Capturer(1, cursor=False)
    assert (right.width, right.height) == (1280, 720)
    canvas.random_block(900, 100, 300, 200)  # across the boundary at x = 1024
    a, b = left.grab(timeout_ms=2000), right.grab(timeout_ms=2000)
    assert np.array_equal(a, canvas.pixels[:768, :1024])
    assert np.array_equal(b, canvas.pixels[:720, 1024:])

    # A change on one monitor does not wake the other's capturer.
    canvas.fill(2000, 600, 8, 8, (9, 9, 9))
    assert left.grab(timeout_ms=300) is None
    assert right.grab(timeout_ms=2000) is not None

    # The pointer at desktop (1124, 50) is drawn at (100, 50) of the right monitor only.
    pointed = _vistrel.Capturer(1, cursor=True)
    painter.move_pointer(1124, 50)
    (hot_x, hot_y), image = painter.cursor_image()
    shot = pointed.grab(timeout_ms=2000, region=(0, 0, 300, 200))
    plain = canvas.pixels[:200, 1024:1324]
    changed = np.argwhere((shot[..., :3] != plain[..., :3]).any(axis=2))
    alpha = image[..., 3]
    drawn = np.argwhere(alpha > 0) + (50 - hot_y, 100 - hot_x)
    assert len(changed) and set(map(tuple, changed)) <= set(map(tuple, drawn))
    painter.move_pointer(500, 50)  # now over the left monitor
    shot = pointed.grab(timeout_ms=2000, region=(0, 0, 300, 200))
    assert np.array_equal(shot, plain)


def test_mode_change_loses_access_and_a_new_capturer_has_the_new_size(dummy):
    painter = Painter(dummy.display)
    c = _vistrel.Capturer(cursor=False)
    assert (c.width, c.height) == (1024, 768)
    xrandr(dummy.display, "--output", "DUMMY0", "--mode", "1280x720")
    with pytest.raises(_vistrel.AccessLost):
        c.grab(timeout_ms=2000)
    fresh = _vistrel.Capturer(cursor=False)
    assert (fresh.width, fresh.height) == (1280, 720)
    canvas = Canvas(painter, 1280, 720, seed=3)
    canvas.fill(0, 0, 1280, 720, (40, 50, 60))
    canvas.random_block(1000, 500, 280, 220)
    frame = fresh.grab(timeout_ms=2000)
    assert frame is not None and np.array_equal(frame, canvas.pixels)
    painter.close()


def test_monitors_set_by_hand_are_outputs_and_removing_one_loses_access(dummy):
    xrandr(dummy.display, "--setmonitor", "HALF-L", "512/135x768/203+0+0", "none")
    xrandr(dummy.display, "--setmonitor", "HALF-R", "512/135x768/203+512+0", "none")
    assert [(o["output_name"], o["width"]) for o in _vistrel.list_outputs()] == [
        ("DUMMY0", 1024), ("HALF-L", 512), ("HALF-R", 512)]
    painter = Painter(dummy.display)
    canvas = Canvas(painter, 1024, 768, seed=4)
    canvas.fill(0, 0, 1024, 768, (0, 0, 0))
    right = _vistrel.Capturer(2, cursor=False)
    canvas.random_block(400, 300, 300, 100)
    frame = right.grab(timeout_ms=2000)
    assert frame is not None and np.array_equal(frame, canvas.pixels[:, 512:])
    xrandr(dummy.display, "--delmonitor", "HALF-R")
    with pytest.raises(_vistrel.AccessLost):
        right.grab(timeout_ms=2000)
    painter.close()


def test_a_monitor_set_beyond_the_screen_is_clipped_to_it(dummy):
    xrandr(dummy.display, "--setmonitor", "BIG", "2000/500x2000/500+0+0", "none")
    xrandr(dummy.display, "--setmonitor", "EDGE", "300/80x200/50+900+700", "none")
    sizes = {o["output_name"]: (o["width"], o["height"]) for o in _vistrel.list_outputs()}
    assert sizes["BIG"] == (1024, 768) and sizes["EDGE"] == (124, 68)
    painter = Painter(dummy.display)
    canvas = Canvas(painter, 1024, 768, seed=6)
    canvas.fill(0, 0, 1024, 768, (5, 6, 7))
    names = [o["output_name"] for o in _vistrel.list_outputs()]
    big = _vistrel.Capturer(names.index("BIG"), cursor=False)
    edge = _vistrel.Capturer(names.index("EDGE"), cursor=False)
    assert (big.width, big.height) == (1024, 768)
    canvas.random_block(880, 650, 144, 118)
    assert np.array_equal(big.screenshot(timeout_ms=2000), canvas.pixels)
    assert np.array_equal(edge.grab(timeout_ms=2000), canvas.pixels[700:, 900:])
    big.start(target_fps=60)
    canvas.fill(1000, 760, 4, 4, (8, 8, 8))  # reads at the screen's last row and column
    assert big.get_latest_frame(timeout_ms=2000).shape == (768, 1024, 4)
    big.stop()
    painter.close()


def test_a_reopened_capturer_finds_its_monitor_again_or_says_it_is_gone(two_monitors):
    dummy, painter = two_monitors
    c = _vistrel.Capturer(0, cursor=False)
    assert (c.width, c.height) == (1024, 768)
    # The primary moves: DUMMY1 is numbered first now, yet the session stays on DUMMY0.
    c.frames(30).close()  # the session goes with the iterator; the next capture reopens
    xrandr(dummy.display, "--output", "DUMMY1", "--primary")
    assert [o["output_name"] for o in _vistrel.list_outputs()] == ["DUMMY1", "DUMMY0"]
    canvas = Canvas(painter, 2304, 768, seed=7)
    canvas.random_block(0, 0, 1024, 768)
    assert np.array_equal(c.screenshot(timeout_ms=2000), canvas.pixels[:, :1024])
    assert (c.width, c.height, c.output_idx) == (1024, 768, 1)
    # A monitor set by hand at the left shifts the numbers again.
    xrandr(dummy.display, "--setmonitor", "LEFT", "100/30x100/30+0+0", "none")
    c.frames(30).close()
    assert np.array_equal(c.screenshot(timeout_ms=2000), canvas.pixels[:, :1024])
    assert (c.width, c.height) == (1024, 768)
    # Its monitor gone, the Capturer says so rather than capture another.
    c.frames(30).close()
    xrandr(dummy.display, "--output", "DUMMY0", "--off")
    with pytest.raises(_vistrel.AccessLost, match="DUMMY0"):
        c.screenshot(timeout_ms=2000)
