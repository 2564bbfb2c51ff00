"""BGRA arrays the X server wrote into: shared-memory segments that are the arrays' own
memory, taken from a pool and given back when the array and its views are gone, and never
left behind by a Capturer that closes or a process that dies."""
import gc
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np

from vistrel import _vistrel
from conftest import own_segments


def test_kept_arrays_and_views_keep_their_pixels_while_later_grabs_run(canvas):
    canvas.fill(0, 0, 1920, 1080, (0, 0, 0))  # whatever earlier tests drew
    c = _vistrel.Capturer(cursor=False)
    kept, views = [], []
    for i in range(10):  # more arrays than the pool keeps spare
        if i % 2:
            canvas.fill(0, 0, 1920, 1080, (i * 20, 5, 9))  # the server writes the array itself
        else:
            canvas.random_block(50 * i, 30, 8, 8)  # a few rows: copied from the kept image
        frame = c.grab(timeout_ms=2000)
        assert frame is not None and frame.flags.c_contiguous and frame.flags.writeable
        kept.append((frame, canvas.pixels.copy()))
        views.append((frame[20:60, 40:520], canvas.pixels[20:60, 40:520].copy()))
        shot = c.screenshot(region=(0, 0, 960, 540))
        views.append((shot[::3, 5:], canvas.pixels[:540:3, 5:960].copy()))
    for frame, expected in kept:
        assert np.array_equal(frame, expected)
    # Views outlive their arrays, and the memory stays theirs while segments come and go.
    del kept, frame, shot
    gc.collect()
    for i in range(6):
        canvas.fill(0, 0, 1920, 1080, (3, i * 30, 7))
        assert c.grab(timeout_ms=2000) is not None
    for view, expected in views:
        assert np.array_equal(view, expected)
    # An array written to changes neither the screen's next image nor later arrays.
    mine = c.screenshot()
    mine[:] = 0
    del mine
    gc.collect()
    assert np.array_equal(c.screenshot(), canvas.pixels)
    c.close()


def test_arrays_outlive_their_capturer_and_the_pool_stays_small(canvas):
    c = _vistrel.Capturer(cursor=False)
    arrays = []
    for i in range(12):
        canvas.fill(0, 0, 1920, 1080, (i, i, 99))
        arrays.append((c.grab(timeout_ms=2000), canvas.pixels.copy()))
        # Regions of many sizes: the spares kept stay a handful whatever was asked.
        c.screenshot(region=(0, 0, 100 + i, 50))
    del arrays[:8]
    gc.collect()
    # The monitor's image, the arrays held and a few spares; nothing more.
    assert len(own_segments()) <= 1 + 4 + 6
    c.close()
    deadline = time.monotonic() + 2  # the server lets go of a segment when it handles the detach
    while len(own_segments()) > 4 and time.monotonic() < deadline:
        time.sleep(0.02)
    assert len(own_segments()) == 4  # only the arrays still held
    for frame, expected in arrays:
        assert np.array_equal(frame, expected)


FORKED = """
import os, sys
import numpy as np
sys.path.insert(0, {here!r})
from vistrel import _vistrel
from painter import Canvas, Painter
canvas = Canvas(Painter(None), 1920, 1080, seed=3)
c = _vistrel.Capturer(cursor=False)
canvas.fill(0, 0, 1920, 1080, (1, 2, 3))
before = c.grab(timeout_ms=2000)
expected = canvas.pixels.copy()
pid = os.fork()
if pid == 0:
    ok = np.array_equal(before, expected)
    canvas = Canvas(Painter(None), 1920, 1080, seed=4)
    canvas.fill(0, 0, 1920, 1080, (4, 5, 6))
    mine = c.grab(timeout_ms=2000)
    ok = ok and mine is not None and np.array_equal(mine, canvas.pixels)
    del before, mine
    c.close()
    os._exit(0 if ok else 1)
_, status = os.waitpid(pid, 0)
canvas.fill(0, 0, 1920, 1080, (7, 8, 9))
after = c.grab(timeout_ms=2000)
print(status, np.array_equal(before, expected), np.array_equal(after, canvas.pixels))
"""


def test_arrays_across_fork(xvfb):
    script = textwrap.dedent(FORKED.format(here=os.path.dirname(__file__)))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ), start_new_session=True)
    assert out.stdout.split() == ["0", "True", "True"], out.stderr


HOLDER = """
import sys, time
sys.path.insert(0, {here!r})
from vistrel import _vistrel
from painter import Painter
painter = Painter(None)
c = _vistrel.Capturer(cursor=True)
held = []
for i in range(5):
    painter.fill(0, 0, 1920, 1080, (i, 40, 80))
    held.append(c.grab(timeout_ms=2000))
print("holding", flush=True)
time.sleep(60)
"""


def test_a_killed_process_leaves_no_segment(xvfb):
    holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent(HOLDER.format(here=os.path.dirname(__file__)))],
                              stdout=subprocess.PIPE, text=True, env=dict(os.environ))
    try:
        assert holder.stdout.readline() == "holding\n"
        with open("/proc/sysvipc/shm") as f:
            # Removed as soon as attached: no key, no name, nothing for anyone to find later.
            rows = [line.split() for line in f.readlines()[1:] if line.split()[4] == str(holder.pid)]
        assert len(rows) >= 5 and all(int(row[2], 8) & 0o1000 for row in rows), rows  # SHM_DEST
    finally:
        holder.send_signal(signal.SIGKILL)
        holder.wait()
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        with open("/proc/sysvipc/shm") as f:
            left = [line for line in f.readlines()[1:] if line.split()[4] == str(holder.pid)]
        if not left:
            break
        time.sleep(0.05)
    assert left == []


def test_capture_thread_hands_out_kept_arrays(canvas):
    canvas.fill(0, 0, 1920, 1080, (0, 0, 0))  # whatever earlier tests drew
    c = _vistrel.Capturer(cursor=False)
    c.start(target_fps=0)
    kept = []
    for i in range(8):  # more arrays than the pool keeps spare
        if i % 2:
            canvas.fill(0, 0, 1920, 1080, (i * 20, 5, 9))
        else:
            canvas.random_block(50 * i, 30, 8, 8)
        deadline = time.monotonic() + 5
        while not np.array_equal(frame := c.get_latest_frame(timeout_ms=2000), canvas.pixels):
            assert time.monotonic() < deadline, "the change never came"
        kept.append((frame, canvas.pixels.copy()))
    del frame
    gc.collect()
    assert len(own_segments()) >= 8  # each array is a segment the server wrote or we filled
    c.stop()
    canvas.fill(0, 0, 1920, 1080, (1, 1, 1))
    c.close()
    for frame, expected in kept:
        assert np.array_equal(frame, expected)
