"""Capturer.grab against the simulated desktop."""
import threading
import time

import numpy as np
import pytest

from vistrel import _vistrel
from pixels import composite, to_layout
from helpers import H, W, needs_sim, random_desktop, run_python

FORMATS = ["bgra", "bgr", "rgba", "rgb", "gray"]


def color_shape():
    rng = np.random.default_rng(7)
    pixels = rng.integers(0, 256, (20, 16, 4), dtype=np.uint8)
    pixels[0, :, 3] = 0
    pixels[1, :, 3] = 255
    return {"type": 2, "width": 16, "height": 20, "pitch": 64 + 8, "hotspot": (0, 0),
            "data": np.pad(pixels.reshape(20, 64), ((0, 0), (0, 8))).tobytes()}


def masked_shape():
    pixels = np.random.default_rng(8).integers(0, 256, (9, 12, 4), dtype=np.uint8)
    pixels[::2, :, 3] = 0
    return {"type": 4, "width": 12, "height": 9, "pitch": 48, "hotspot": (1, 1), "data": pixels.tobytes()}


def monochrome_shape():
    masks = np.random.default_rng(9).integers(0, 256, (2 * 10, 2), dtype=np.uint8)
    return {"type": 1, "width": 13, "height": 20, "pitch": 2, "hotspot": (0, 0), "data": masks.tobytes()}


@pytest.mark.parametrize("shape", [color_shape(), masked_shape(), monochrome_shape()], ids=["color", "masked", "mono"])
@pytest.mark.parametrize("region, pointer", [
    (None, (100, 200)),
    ((0, 0, W, H), (-5, -7)),              # clipped at the top-left of the output
    ((300, 400, 500, 460), (290, 450)),    # clipped at the region's left and bottom edges
    ((1, 1, 2, 2), (0, 0)),                # a single pixel
    ((600, 600, 700, 700), (10, 10)),      # pointer outside the region
])
def test_layouts_regions_and_pointer(sim, shape, region, pointer):
    c = _vistrel.Capturer()
    desktop = random_desktop(1)
    left, top, right, bottom = region or (0, 0, W, H)
    expected_rows = composite(desktop[top:bottom, left:right], shape, pointer[0], pointer[1], (left, top))
    for fmt in FORMATS:
        sim.present(0, 0, desktop.tobytes(), pointer={"x": pointer[0], "y": pointer[1], "visible": True,
                                                       "shape": shape})
        got = c.grab(fmt=fmt, region=region)
        assert got.shape == (bottom - top, right - left, {"gray": 1, "bgr": 3, "rgb": 3}.get(fmt, 4))
        np.testing.assert_array_equal(got, to_layout(expected_rows, fmt), err_msg=fmt)


def test_hidden_pointer_and_no_cursor(sim):
    desktop = random_desktop(2)
    pointer = {"x": 10, "y": 10, "visible": False, "shape": color_shape()}
    c = _vistrel.Capturer()
    sim.present(0, 0, desktop.tobytes(), pointer=pointer)
    np.testing.assert_array_equal(c.grab(), desktop)
    c.close()
    quiet = _vistrel.Capturer(cursor=False)
    pointer["visible"] = True
    sim.present(0, 0, desktop.tobytes(), pointer=pointer)
    np.testing.assert_array_equal(quiet.grab(), desktop)


def test_arrays_own_their_memory(sim):
    c = _vistrel.Capturer()
    arrays = []
    for fmt in ("bgra", "rgb", "rgb"):
        sim.present(0, 0, random_desktop(3).tobytes())
        arrays.append(c.grab(fmt=fmt))
    for a in arrays:
        assert a.base is None and a.flags.owndata and a.flags.writeable and a.flags.c_contiguous
        assert a.dtype == np.uint8
    assert not np.shares_memory(arrays[1], arrays[2])
    np.testing.assert_array_equal(arrays[1], arrays[2])
    arrays[1][:] = 0  # writing one leaves the other alone
    assert arrays[2].any()


def test_format_names(sim):
    c = _vistrel.Capturer()
    for fmt, channels in (("RGB", 3), ("grey", 1), ("Gray", 1), ("BGRA", 4)):
        sim.present(0, 0, sim.image(0, 0))
        assert c.grab(fmt=fmt).shape == (H, W, channels)
    for fmt in ("", "bgra ", "b g r", "xyz"):
        with pytest.raises(ValueError) as raised:
            c.grab(fmt=fmt)
        assert str(raised.value) == f'unknown fmt "{fmt}", expected one of bgra/bgr/rgba/rgb/gray'
    with pytest.raises(ValueError) as raised:
        c.grab(fmt='a"b\\c\n')
    assert str(raised.value) == 'unknown fmt "a\\"b\\\\c\\n", expected one of bgra/bgr/rgba/rgb/gray'
    with pytest.raises(TypeError, match="^argument 'fmt': "):
        c.grab(fmt=b"bgra")


def test_region_applies_to_one_call(sim):
    c = _vistrel.Capturer(region=(0, 0, 64, 32))
    sim.present(0, 0, sim.image(0, 0))
    assert c.grab(region=(10, 20, 110, 70)).shape == (50, 100, 4)
    sim.present(0, 0, sim.image(0, 0))
    assert c.grab().shape == (32, 64, 4)
    with pytest.raises(ValueError, match=r"^region \(0,0,1921,1080\) exceeds output bounds \(1920x1080\)$"):
        c.grab(region=(0, 0, 1921, 1080))
    with pytest.raises(OverflowError):
        c.grab(region=(0, 0, 2**70, 1))


def test_timeouts(sim):
    c = _vistrel.Capturer()
    started = time.monotonic()
    assert c.grab(timeout_ms=0) is None
    assert time.monotonic() - started < 0.05
    started = time.monotonic()
    assert c.grab(timeout_ms=150) is None
    assert 0.14 < time.monotonic() - started < 1.0
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        c.grab(timeout_ms=-1)
    with pytest.raises(TypeError, match="^argument 'timeout_ms': "):
        c.grab(timeout_ms=1.5)


def test_infinite_wait_releases_the_lock(sim):
    c = _vistrel.Capturer()
    count = 0
    stop = threading.Event()

    def count_then_present():
        nonlocal count
        deadline = time.monotonic() + 0.3
        while time.monotonic() < deadline:
            count += 1
        sim.present(0, 0, sim.image(0, 0))

    worker = threading.Thread(target=count_then_present)
    worker.start()
    frame = c.grab(timeout_ms=4294967295)  # INFINITE: until the worker presents
    worker.join()
    stop.set()
    assert frame is not None
    assert count > 10000  # the worker ran all the while


def test_check_order(sim):
    c = _vistrel.Capturer()
    c.close()
    with pytest.raises(TypeError):                      # arguments first
        c.grab(timeout_ms="x")
    with pytest.raises(ValueError, match="^unknown fmt"):  # then the format, before the closed state
        c.grab(fmt="nope")
    with pytest.raises(RuntimeError, match="^Capturer is closed$"):  # the closed state before the region
        c.grab(region=(0, 0, 99999, 1))


@pytest.mark.parametrize("operation, code, cls", [
    ("ID3D11DeviceContext::Map", 0x887A0005, "DeviceError"),
    ("ID3D11DeviceContext::Map", 0x80070057, "CaptureError"),
])
def test_read_back_failures(sim, operation, code, cls):
    c = _vistrel.Capturer()
    sim.present(0, 0, sim.image(0, 0))
    sim.fail(operation, code)
    with pytest.raises(getattr(_vistrel, cls)) as raised:
        c.grab(fmt="rgb")
    assert type(raised.value) is getattr(_vistrel, cls) and raised.value.hresult == code
    sim.present(0, 0, sim.image(0, 0))
    assert c.grab() is not None  # the session is still there


def test_acquisition_failures(sim):
    c = _vistrel.Capturer()
    sim.lose_access(0, 0)
    sim.fail("IDXGIOutput1::DuplicateOutput", 0x887A0004, times=-1)
    with pytest.raises(_vistrel.AccessLost) as raised:
        c.grab(timeout_ms=0)
    assert raised.value.hresult == 0x887A0026
    assert str(raised.value).startswith("DXGI 0x887A0026: ")
    sim.clear_faults()
    assert c.grab(timeout_ms=0) is None   # healed: a new duplication
    assert c.grab(timeout_ms=0) is not None
    sim.fail("IDXGIOutputDuplication::AcquireNextFrame", 0x887A0005)
    sim.fail("IDXGIOutput1::DuplicateOutput", 0x887A0005)
    with pytest.raises(_vistrel.DeviceError):
        c.grab(timeout_ms=0)


NO_NUMPY_AT_FIRST_GRAB = r"""
import sys
sys.modules['numpy'] = None
from vistrel import _vistrel
import _vistrel_sim
c = _vistrel.Capturer()
_vistrel_sim.present(0, 0, _vistrel_sim.image(0, 0))
try:
    c.grab()
except Exception as e:
    raise SystemExit(f"an Exception: {e!r}")
except BaseException as e:
    assert str(e).startswith("Failed to access NumPy array API capsule"), e
del sys.modules['numpy']
frame = c.grab(timeout_ms=1000)
assert frame.shape == (1080, 1920, 4), frame
print("ok")
"""


@needs_sim
def test_numpy_missing_then_present():
    result = run_python(NO_NUMPY_AT_FIRST_GRAB, timeout=60)
    assert result.returncode == 0, result.stderr + result.stdout


def test_failed_reopening_leaves_the_capturer_detached(sim):
    c = _vistrel.Capturer()
    c.frames(30).close()  # the iterator took the session and released it
    sim.fail("CreateDXGIFactory1", 0x887A0004)
    with pytest.raises(_vistrel.CaptureError) as raised:
        c.grab(timeout_ms=0)
    assert raised.value.hresult == 0x887A0004
    assert repr(c) == "<vistrel.Capturer output=0 closed>" and not c.is_capturing
    assert c.grab(timeout_ms=0) is None  # the next call tries again, and reopens
    assert repr(c).endswith("cursor>")
