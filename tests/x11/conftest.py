import gc
import os
import sys
import time

import pytest

# The reference pixel work is shared with the simulated machine's suite.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "python"))

from vistrel import _vistrel  # noqa: E402
from painter import Canvas, Painter  # noqa: E402
from xservers import start_dummy_xorg, start_xvfb  # noqa: E402


def own_segments():
    """System V shared-memory segments this process created and still has."""
    pid = str(os.getpid())
    with open("/proc/sysvipc/shm") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return [r for r in rows if r[4] == pid]  # cpid column


def segments_left(settle_s=2.0):
    """own_segments() once the server has had time to detach: it does so only when it
    handles the detach request, after the client has let go."""
    deadline = time.monotonic() + settle_s
    while (left := own_segments()) and time.monotonic() < deadline:
        time.sleep(0.02)
    return left


@pytest.fixture(scope="session")
def xvfb_server():
    server = start_xvfb()
    yield server
    server.stop()


@pytest.fixture
def xvfb(xvfb_server, monkeypatch):
    """The session's 1920x1080 Xvfb as DISPLAY; the test must leave no segment behind."""
    monkeypatch.setenv("DISPLAY", xvfb_server.display)
    yield xvfb_server
    gc.collect()
    assert segments_left() == []


@pytest.fixture
def painter(xvfb):
    p = Painter(xvfb.display)
    yield p
    p.close()


@pytest.fixture
def canvas(painter):
    return Canvas(painter, 1920, 1080)


@pytest.fixture
def dummy(monkeypatch):
    """A fresh Xorg with the dummy driver as DISPLAY (1024x768 on DUMMY0)."""
    server = start_dummy_xorg()
    monkeypatch.setenv("DISPLAY", server.display)
    yield server
    server.stop()


@pytest.fixture
def own_xvfb(monkeypatch):
    """An Xvfb of the test's own, for tests that end it."""
    server = start_xvfb(640, 480)
    monkeypatch.setenv("DISPLAY", server.display)
    yield server
    server.stop()
