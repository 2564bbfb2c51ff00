import os
import shutil
import signal
import sys

import pytest

# The reference pixel work is shared with the simulated machine's suite.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "python"))

from compositor import Sway  # noqa: E402

if not shutil.which("sway"):
    pytest.skip("needs sway (make deps installs it)", allow_module_level=True)


def _terminated(signum, frame):
    raise KeyboardInterrupt  # `timeout` ends the run with SIGTERM: the teardowns still run


signal.signal(signal.SIGTERM, _terminated)


@pytest.fixture(scope="session")
def sway_server():
    server = Sway()
    yield server
    server.stop()


@pytest.fixture
def sway(sway_server, monkeypatch):
    """The session's headless sway (one 1280x720 output) as WAYLAND_DISPLAY, X11 unset."""
    monkeypatch.setenv("WAYLAND_DISPLAY", sway_server.display)
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("VISTREL_BACKEND", raising=False)
    monkeypatch.delenv("VISTREL_WAYLAND_ROUTE", raising=False)
    return sway_server


@pytest.fixture
def own_sway(monkeypatch):
    """A sway of the test's own, for tests that change or end it."""
    server = Sway()
    monkeypatch.setenv("WAYLAND_DISPLAY", server.display)
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("VISTREL_BACKEND", raising=False)
    yield server
    server.stop()
