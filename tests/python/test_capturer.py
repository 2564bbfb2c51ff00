"""The Capturer object: construction, attributes, states, repr, threads, re-entrancy."""
import gc
import sys

import numpy as np
import pytest

from vistrel import _vistrel

_vistrel_sim = pytest.importorskip("_vistrel_sim")
from helpers import adapter, output, run_in_thread


def test_defaults(sim):
    c = _vistrel.Capturer()
    assert (c.output_idx, c.device_idx, c.width, c.height, c.rotation) == (0, 0, 1920, 1080, 1)
    assert c.region == (0, 0, 1920, 1080)
    assert c.cursor is True and c.is_capturing is False and c.format == "bgra"
    assert repr(c) == "<vistrel.Capturer output=0 device=0 1920x1080 cursor>"
    c.close()
    with _vistrel.Capturer(cursor=False) as quiet:
        assert repr(quiet) == "<vistrel.Capturer output=0 device=0 1920x1080>"
    assert _vistrel.Capturer(cursor=np.bool_(False)).cursor is False


def test_indices_and_keyword_only_arguments(sim):
    sim.reset([adapter(outputs=[output(), output("\\\\.\\DISPLAY2", 1280, 1024)])])
    with _vistrel.Capturer(1, device=0) as by_position:
        expected = repr(by_position)
    assert expected == repr(_vistrel.Capturer(output=1)) == "<vistrel.Capturer output=1 device=0 1280x1024 cursor>"
    with pytest.raises(TypeError):
        _vistrel.Capturer(0, True)
    with pytest.raises(TypeError):
        _vistrel.Capturer(bogus=1)


@pytest.mark.parametrize("kwargs, cls, message", [
    ({"cursor": 1}, TypeError, "argument 'cursor': 'int' object is not an instance of 'bool'"),
    ({"output": "0"}, TypeError, "argument 'output': 'str' object cannot be interpreted as an integer"),
    ({"output": 1.0}, TypeError, "argument 'output': 'float' object cannot be interpreted as an integer"),
    ({"device": None}, TypeError, "argument 'device': 'NoneType' object cannot be interpreted as an integer"),
    ({"output": -1}, OverflowError, "out of range integral type conversion attempted"),
    ({"output": 2**32}, OverflowError, "out of range integral type conversion attempted"),
    ({"device": 2**40}, OverflowError, "out of range integral type conversion attempted"),
    ({"region": [0, 0, 1, 1]}, TypeError, "argument 'region': 'list' object is not an instance of 'tuple'"),
    ({"region": (0, 0, 1)}, ValueError, "expected tuple of length 4, but got tuple of length 3"),
    # the first bad argument in the order output, cursor, region, device is reported
    ({"output": "x", "cursor": 1}, TypeError, "argument 'output': 'str' object cannot be interpreted as an integer"),
    ({"cursor": 1, "region": [1]}, TypeError, "argument 'cursor': 'int' object is not an instance of 'bool'"),
    ({"region": [1], "device": "x"}, TypeError, "argument 'region': 'list' object is not an instance of 'tuple'"),
])
def test_argument_errors(sim, kwargs, cls, message):
    sim.trace()
    with pytest.raises(cls) as raised:
        _vistrel.Capturer(**kwargs)
    assert str(raised.value) == message
    assert sim.trace() == []  # nothing was opened


@pytest.mark.parametrize("kwargs, message", [
    ({"device": 1}, "device index 1 out of range"),
    ({"output": 1}, "output index 1 out of range (HRESULT 0x887A0002)"),
    ({"region": (0, 0, 1921, 1080)}, "region (0,0,1921,1080) exceeds output bounds (1920x1080)"),
    ({"region": (-1, 0, 10, 10)}, "region bounds must be >= 0, got (-1, 0, 10, 10)"),
    ({"region": (5, 0, 4, 10)}, "region must be non-empty (left<right, top<bottom), got (5,0,4,10)"),
])
def test_construction_failures_leave_nothing(sim, kwargs, message):
    with pytest.raises(ValueError) as raised:
        _vistrel.Capturer(**kwargs)
    assert str(raised.value) == message


def test_platform_failure_at_construction(sim):
    sim.fail("IDXGIOutput1::DuplicateOutput", 0x887A0022)
    with pytest.raises(_vistrel.CaptureError) as raised:
        _vistrel.Capturer()
    assert raised.value.hresult == 0x887A0022
    sim.fail("D3D11CreateDevice", 0x887A0005)
    with pytest.raises(_vistrel.DeviceError):
        _vistrel.Capturer()


def test_region_argument(sim):
    with _vistrel.Capturer(region=(10, 20, 110, 70)) as c:
        assert c.region == (10, 20, 110, 70)
    assert _vistrel.Capturer(region=None).region == (0, 0, 1920, 1080)


def test_closed_object(sim):
    c = _vistrel.Capturer(region=(1, 2, 3, 4))
    assert c.close() is None
    assert repr(c) == "<vistrel.Capturer output=0 closed>"
    assert (c.output_idx, c.device_idx, c.region, c.format, c.is_capturing) == (0, 0, (1, 2, 3, 4), "bgra", False)
    for name in ("width", "height", "rotation", "cursor"):
        with pytest.raises(RuntimeError, match="^Capturer is closed$"):
            getattr(c, name)
    assert c.close() is None
    assert c._debug_cursor() == {}
    with pytest.raises(RuntimeError, match="^Capturer is closed$"):
        c.grab()


def test_with_statement(sim):
    with _vistrel.Capturer() as c:
        assert isinstance(c, _vistrel.Capturer)
        assert repr(c).endswith("cursor>")
    assert repr(c) == "<vistrel.Capturer output=0 closed>"
    with pytest.raises(KeyError):
        with _vistrel.Capturer() as d:
            raise KeyError("propagates")
    assert repr(d).endswith("closed>")
    assert _vistrel.Capturer().__exit__(None, None, None) is False
    with pytest.raises(TypeError):
        _vistrel.Capturer().__exit__()
    with pytest.raises(AttributeError):
        _vistrel.Capturer().width = 5


def test_debug_cursor(sim):
    c = _vistrel.Capturer()
    assert c._debug_cursor() == {"visible": True, "pos_x": 0, "pos_y": 0, "shape": None}
    assert list(c._debug_cursor()) == ["visible", "pos_x", "pos_y", "shape"]
    shape = {"type": 1, "width": 32, "height": 64, "pitch": 4, "hotspot": (3, 5), "data": bytes(256)}
    sim.present(0, 0, sim.image(0, 0), pointer={"x": -7, "y": 12, "visible": False, "shape": shape})
    c.grab()
    info = c._debug_cursor()
    assert info == {"visible": False, "pos_x": -7, "pos_y": 12, "shape_kind": 1, "shape_w": 32, "shape_h": 32,
                    "shape_pitch": 4, "hotspot_x": 3, "hotspot_y": 5, "buf_len": 256}
    assert list(info)[:3] == ["visible", "pos_x", "pos_y"]

    c.close()
    quiet = _vistrel.Capturer(cursor=False)
    sim.present(0, 0, sim.image(0, 0), pointer={"x": 50, "y": 60, "shape": shape})
    quiet.grab()
    assert quiet._debug_cursor() == {"visible": False, "pos_x": 0, "pos_y": 0, "shape": None}


class Reenter:
    """An integer whose conversion calls back into the capturer."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 0


def test_reentrant_use_is_refused(sim):
    c = _vistrel.Capturer()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        c.grab(Reenter(lambda: c.width))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        c.grab(Reenter(c.close))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        c.grab(Reenter(lambda: repr(c)))
    assert repr(c).endswith("cursor>")  # nothing changed


def test_use_from_another_thread_is_an_internal_fault(sim):
    c = _vistrel.Capturer()
    for use in (lambda: c.width, lambda: c.grab(timeout_ms=0), lambda: repr(c), c.close):
        error = run_in_thread(use)["error"]
        assert not isinstance(error, Exception)
        assert type(error).__name__ == "InternalFault"
        assert str(error) == "vistrel::capture::Capturer is unsendable, but sent to another thread"
    assert repr(c).endswith("cursor>")


def test_collected_on_another_thread_releases_everything(monkeypatch):
    _vistrel_sim.reset()
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    before = _vistrel_sim.live_objects()
    for running in (False, True):
        c = _vistrel.Capturer()
        if running:
            c.start()
        cycle = [c]
        cycle.append(cycle)  # only the cyclic collector can free it, on whichever thread runs it
        del c, cycle
        run_in_thread(gc.collect)
        assert reports == []
        # The session, and the capture thread with its events and timer, are gone.
        assert _vistrel_sim.live_objects() == before
    _vistrel_sim.reset()
