"""A GNOME-shaped stream: headless mutter behind a portal that forwards to its screen-cast
API. mutter sends whole frames with no damage and the pointer only as metadata, so the
pointer is drawn by the module when asked for and absent otherwise. The reference is a
terminal filling the monitor with one known colour."""
import errno
import os
import subprocess
import time

import numpy as np
import pytest

from vistrel import _vistrel
from compositor import end, session_members
from pixels import to_layout

LAYOUTS = ["bgra", "bgr", "rgba", "rgb", "gray"]
REGIONS = [None, (0, 0, 1, 1), (100, 50, 420, 250), (7, 3, 1273, 717)]


class Terminal:
    """foot full screen on mutter's monitor, its text cursor hidden: one solid colour that
    recolour() changes (an escape sequence its shell prints). Ended by its process id.
    Colours keep to channel values mutter 48 composites unchanged (00, 80, c0, ee, f0, ff):
    it shifts dark ones by a few levels, which the stream then carries faithfully."""

    def __init__(self, server, colour):
        self.fifo = os.path.join(server.home, "colours")
        if not os.path.exists(self.fifo):
            os.mkfifo(self.fifo)
        # The shell holds the pipe open both ways: it never reads an end, nor loses a line
        # written between two of its reads.
        script = (f'exec 3<>{self.fifo}; printf "\\033[?25l"; '
                  'while read c <&3; do printf "\\033]11;#%s\\033\\\\" "$c"; done')
        self.process = subprocess.Popen(
            ["foot", "--fullscreen", "-o", f"colors.background={colour}", "sh", "-c", script],
            env=dict(server.env, WAYLAND_DISPLAY=server.display, LANG="C.UTF-8"), stdin=subprocess.DEVNULL,
            stdout=server.log, stderr=server.log, start_new_session=True)

    def recolour(self, colour):
        deadline = time.monotonic() + 5
        while True:  # until the shell has opened the pipe
            try:
                fd = os.open(self.fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as e:
                if e.errno != errno.ENXIO or time.monotonic() > deadline or self.process.poll() is not None:
                    raise
                time.sleep(0.01)
        os.write(fd, f"{colour}\n".encode())
        os.close(fd)

    def stop(self):
        end(session_members(self.process.pid))
        self.process.kill()
        self.process.wait()


def bgra(colour):
    return np.array([int(colour[4:6], 16), int(colour[2:4], 16), int(colour[0:2], 16), 255], np.uint8)


def solid(frame, colour):
    return frame is not None and bool((frame == bgra(colour)).all())


def drain(capturer):
    while capturer.grab(timeout_ms=300) is not None:
        pass


def show(terminal, capturer, colour, timeout=5):
    """Recolours the terminal and waits for a frame of that colour alone."""
    terminal.recolour(colour)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if solid(capturer.grab(timeout_ms=500), colour):
            return
    raise AssertionError(f"no frame of #{colour} alone")


@pytest.fixture
def terminal(gnome):
    """The terminal, mapped and settled (mutter animates the mapping)."""
    t = Terminal(gnome, "0080c0")
    try:
        c = _vistrel.Capturer(cursor=False)
        deadline = time.monotonic() + 10
        while not solid(c.grab(timeout_ms=500), "0080c0") and time.monotonic() < deadline:
            pass
        drain(c)
        c.close()
        yield t
    finally:
        t.stop()


def test_first_frame_of_a_still_screen_comes_at_once(gnome):
    [listed] = _vistrel.list_outputs()
    assert listed["name"].endswith("(screen-cast portal)") and listed["pixel_path"] == "pipewire-shm"
    started = time.monotonic()
    c = _vistrel.Capturer(cursor=False)
    frame = c.screenshot(timeout_ms=1000)
    assert time.monotonic() - started < 1.5
    assert frame.shape == (720, 1280, 4) and frame[..., :3].any()  # mutter's background, not a blank image
    c.close()


def test_stream_pixels_and_change_driven_grab_without_damage(gnome, terminal):
    c = _vistrel.Capturer(cursor=False)
    assert (c.width, c.height, c.pixel_path) == (1280, 720, "pipewire-shm")
    show(terminal, c, "c0ffee")
    reference = np.broadcast_to(bgra("c0ffee"), (720, 1280, 4))
    for fmt in LAYOUTS:
        for region in REGIONS:
            left, top, right, bottom = region or (0, 0, 1280, 720)
            frame = c.screenshot(fmt=fmt, **({} if region is None else {"region": region}))
            assert np.array_equal(frame, to_layout(np.ascontiguousarray(reference[top:bottom, left:right]), fmt)), (
                fmt, region)
    # No damage comes with mutter's frames: a still screen still gives no frame, and a
    # change gives the whole new image.
    drain(c)
    started = time.monotonic()
    assert c.grab(timeout_ms=700) is None
    assert time.monotonic() - started >= 0.65
    terminal.recolour("ee00c0")
    frame = c.grab(timeout_ms=3000)
    while frame is not None and not solid(frame, "ee00c0"):
        frame = c.grab(timeout_ms=1000)
    assert solid(frame, "ee00c0")
    c.close()


def pointer_box(frame, colour):
    """The bounds of the pixels that are not the background, and what they hold."""
    ys, xs = np.nonzero((frame != bgra(colour)).any(axis=2))
    if len(xs) == 0:
        return None, None
    box = (xs.min(), ys.min(), xs.max() + 1, ys.max() + 1)
    return box, frame[box[1]:box[3], box[0]:box[2]].copy()


def test_pointer_from_metadata_drawn_only_when_asked(gnome, terminal):
    with_pointer = _vistrel.Capturer(cursor=True)
    without = _vistrel.Capturer(cursor=False)
    show(terminal, without, "f0f0f0")
    gnome.move_pointer(300, 200)
    time.sleep(0.3)
    drain(with_pointer)
    drain(without)

    assert solid(without.screenshot(), "f0f0f0")
    box, shape = pointer_box(with_pointer.screenshot(), "f0f0f0")
    assert box is not None, "no pointer drawn"
    assert box[2] - box[0] <= 64 and box[3] - box[1] <= 64, box

    # A move alone is a frame for the caller that draws the pointer, none for the other;
    # the same image lands exactly as far away as the pointer went.
    gnome.move_pointer(50, 30)
    frame = with_pointer.grab(timeout_ms=2000)
    assert frame is not None
    moved, moved_shape = pointer_box(frame, "f0f0f0")
    assert moved == (box[0] + 50, box[1] + 30, box[2] + 50, box[3] + 30)
    assert np.array_equal(moved_shape, shape)
    assert without.grab(timeout_ms=500) is None
    assert solid(without.screenshot(), "f0f0f0")
    with_pointer.close()
    without.close()
