import os
import shutil
import signal
import sys

import pytest

# The reference pixel work is shared with the simulated machine's suite.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "python"))

from compositor import Sway  # noqa: E402
from portal import Portal  # noqa: E402

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


def _cast_through(monkeypatch, tmp_path, sway, portal):
    monkeypatch.setenv("WAYLAND_DISPLAY", sway.display)
    monkeypatch.setenv("DBUS_SESSION_BUS_ADDRESS", portal.address)
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))  # no token from another test
    monkeypatch.setenv("VISTREL_WAYLAND_ROUTE", "portal")
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("VISTREL_BACKEND", raising=False)
    portal.choose("HEADLESS-1")


@pytest.fixture(scope="session")
def portal_server(sway_server):
    if not os.path.exists("/usr/libexec/xdg-desktop-portal-wlr"):
        pytest.skip("needs xdg-desktop-portal-wlr (make deps installs it)")
    server = Portal(sway_server)
    yield server
    server.stop()


@pytest.fixture
def cast(sway_server, portal_server, monkeypatch, tmp_path):
    """The session's sway captured through the portal route; the portal stack is returned."""
    _cast_through(monkeypatch, tmp_path, sway_server, portal_server)
    yield portal_server
    portal_server.reap_closed_casts()


@pytest.fixture
def own_cast(monkeypatch, tmp_path):
    """A sway and portal stack of the test's own, for tests that change or end them;
    returns (sway, portal)."""
    if not os.path.exists("/usr/libexec/xdg-desktop-portal-wlr"):
        pytest.skip("needs xdg-desktop-portal-wlr (make deps installs it)")
    server = Sway()
    try:
        portal = Portal(server)
    except BaseException:
        server.stop()
        raise
    _cast_through(monkeypatch, tmp_path, server, portal)
    yield server, portal
    portal.stop()
    server.stop()


@pytest.fixture(scope="session")
def mutter_server():
    if not shutil.which("mutter") or not shutil.which("foot"):
        pytest.skip("needs mutter and foot (make deps installs them)")
    from mutter import Mutter

    server = Mutter()
    yield server
    server.stop()


@pytest.fixture
def gnome(mutter_server, monkeypatch, tmp_path):
    """The headless mutter captured through the test portal in front of it."""
    monkeypatch.setenv("WAYLAND_DISPLAY", mutter_server.display)
    monkeypatch.setenv("DBUS_SESSION_BUS_ADDRESS", mutter_server.address)
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    monkeypatch.setenv("VISTREL_WAYLAND_ROUTE", "portal")
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("VISTREL_BACKEND", raising=False)
    return mutter_server
