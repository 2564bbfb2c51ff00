"""fork() after a Capturer exists: the child captures over a connection of its own (or says
clearly why it cannot), and the parent's Capturer goes on untouched."""
import os
import subprocess
import sys
import textwrap

import pytest

SCENARIO = """
import os, sys, time, traceback
sys.path.insert(0, {here!r})
from vistrel import _vistrel
from painter import Painter

spot = [0]  # the parent draws at the left, the child further right

def colour(frame):
    return frame[0, spot[0], :3].tolist()

def expect_change(capturer, painter, bgr, get):
    painter.fill(spot[0], 0, 20, 20, bgr)
    frame = get(capturer)
    assert frame is not None and colour(frame) == list(bgr), (frame is None or colour(frame), bgr)

def grab(c):
    return c.grab(timeout_ms=3000)

def latest(c):
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:  # frames from before the change may come first
        frame = c.get_latest_frame(timeout_ms=3000)
        if colour(frame) == colour_wanted[0]:
            return frame
    return None

colour_wanted = [None]
mode = sys.argv[1]
painter = Painter(os.environ["DISPLAY"])
c = _vistrel.Capturer(cursor=False)
get = grab if mode == "grab" else latest
if mode == "background":
    c.start(target_fps=60)
for run in range(10):
    colour_wanted[0] = [run, 1, 2]
    expect_change(c, painter, (run, 1, 2), get)
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            mine = Painter(os.environ["DISPLAY"])
            spot[0] = 100
            if mode == "background":
                try:
                    c.get_latest_frame()
                    raise AssertionError("the child waited on a thread it does not have")
                except ValueError as e:
                    assert "did not survive fork()" in str(e), e
                c.stop()
                c.start(target_fps=60)
            colour_wanted[0] = [run, 3, 4]
            expect_change(c, mine, (run, 3, 4), get)
            c.close()
            status = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(status)
    # The parent captures meanwhile and afterwards, on its own connection.
    for k in range(3):
        colour_wanted[0] = [run, 5 + k, 6]
        expect_change(c, painter, (run, 5 + k, 6), get)
    _, status = os.waitpid(pid, 0)
    assert status == 0, f"child of run {{run}} ended with {{status}}"
print("held", flush=True)
"""


@pytest.mark.parametrize("mode", ["grab", "background"])
def test_fork_keeps_parent_and_child_apart(xvfb, mode):
    script = textwrap.dedent(SCENARIO.format(here=os.path.dirname(__file__)))
    try:
        out = subprocess.run([sys.executable, "-c", script, mode], capture_output=True, text=True, timeout=60,
                             env=dict(os.environ), start_new_session=True)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"hung: {e.stderr}")
    assert out.stdout == "held\n", out.stderr
