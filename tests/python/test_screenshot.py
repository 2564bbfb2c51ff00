"""Capturer.screenshot and vistrel.screenshot: the current image, changed or not."""
import inspect
import threading
import time

import numpy as np
import pytest

import vistrel
from vistrel import _vistrel
from helpers import adapter, counting_thread, output
from pixels import composite, to_layout

W, H = 1920, 1080
FORMATS = ["bgra", "bgr", "rgba", "rgb", "gray"]
ACQUIRE = "IDXGIOutputDuplication::AcquireNextFrame"


def desktop(seed):
    return np.random.default_rng(seed).integers(0, 256, (H, W, 4), dtype=np.uint8)


def arrow():
    pixels = np.random.default_rng(5).integers(0, 256, (8, 6, 4), dtype=np.uint8)
    pixels[..., 3] = 255
    return {"type": 2, "width": 6, "height": 8, "pitch": 24, "hotspot": (0, 0), "data": pixels.tobytes()}


def image_of(sim):
    return np.frombuffer(sim.image(0, 0), np.uint8).reshape(H, W, 4)


@pytest.mark.parametrize("region", [None, (0, 0, W, H), (300, 400, 500, 460), (1919, 1079, 1920, 1080)])
def test_still_desktop_in_every_layout_and_region(sim, region):
    c = _vistrel.Capturer(cursor=False)
    assert c.grab(timeout_ms=0) is None  # the warm-up took the only frame
    left, top, right, bottom = region or (0, 0, W, H)
    expected = image_of(sim)[top:bottom, left:right]
    started = time.monotonic()
    for fmt in FORMATS:
        got = c.screenshot(fmt=fmt, region=region, timeout_ms=10000)
        np.testing.assert_array_equal(got, to_layout(expected, fmt), err_msg=fmt)
        assert got.flags.owndata and got.flags.c_contiguous
    assert time.monotonic() - started < 10  # no call waited for a change
    c.close()


def test_changing_desktop_gives_the_newest_image(sim):
    c = _vistrel.Capturer(cursor=False)
    first, second = desktop(1), desktop(2)
    sim.present(0, 0, first.tobytes())
    sim.present(0, 0, second.tobytes())     # coalesced with the first: the newest wins
    np.testing.assert_array_equal(c.screenshot(), second)
    np.testing.assert_array_equal(c.screenshot(), second)  # taken: the copy still answers
    sim.present(0, 0, first.tobytes())
    assert c.grab(timeout_ms=0) is not None  # grab takes the change ...
    np.testing.assert_array_equal(c.screenshot(fmt="rgb"), to_layout(first, "rgb"))  # ... which stays current

    sim.animate(0, 0, 200)
    try:
        counters = []
        for _ in range(4):
            time.sleep(0.03)
            counters.append(int(np.frombuffer(c.screenshot()[0, 0].tobytes(), "<u4")[0]))
    finally:
        sim.animate(0, 0, 0)
    assert counters == sorted(counters) and counters[-1] > counters[0], counters


def test_pointer_as_last_seen(sim):
    shape = arrow()
    c = _vistrel.Capturer()
    first, second = desktop(4), desktop(5)
    sim.present(0, 0, first.tobytes(), pointer={"x": 40, "y": 50, "visible": True, "shape": shape})
    np.testing.assert_array_equal(c.screenshot(), composite(first, shape, 40, 50, (0, 0)))
    sim.present(0, 0, second.tobytes(), pointer={"x": 700, "y": 30})
    region = (690, 20, 720, 60)
    expected = to_layout(composite(second[20:60, 690:720], shape, 700, 30, (690, 20)), "gray")
    np.testing.assert_array_equal(c.screenshot(fmt="gray", region=region), expected)
    np.testing.assert_array_equal(c.screenshot(fmt="gray", region=region), expected)


def test_states(sim):
    c = _vistrel.Capturer(cursor=False)
    c.start(target_fps=30)
    with pytest.raises(RuntimeError, match="^Capturer is in background mode$"):
        c.screenshot()
    c.stop()
    assert c.screenshot().shape == (H, W, 4)  # the session came back with its image

    frames = c.frames(10, timeout_ms=0)
    with pytest.raises(RuntimeError, match="^Capturer is busy: a frames\\(\\) iterator is active$"):
        c.screenshot(fmt="nope")  # the busy check comes before the format
    frames.close()
    # The iterator released the session; screenshot reopens the output and has its image.
    np.testing.assert_array_equal(c.screenshot(), image_of(sim))

    c.close()
    with pytest.raises(RuntimeError, match="^Capturer is closed$"):
        c.screenshot()
    with pytest.raises(ValueError, match="^unknown fmt"):
        c.screenshot(fmt="xyz")


def test_arguments(sim):
    c = _vistrel.Capturer()
    assert str(inspect.signature(c.screenshot)) == "(fmt='bgra', region=None, timeout_ms=1000)"
    assert c.screenshot("rgb", (0, 0, 8, 4), 0).shape == (4, 8, 3)
    with pytest.raises(TypeError, match="^argument 'fmt': "):
        c.screenshot(fmt=3)
    with pytest.raises(TypeError, match="^argument 'region': 'list' object is not an instance of 'tuple'$"):
        c.screenshot(region=[0, 0, 1, 1])
    with pytest.raises(ValueError, match="exceeds output bounds"):
        c.screenshot(region=(0, 0, W + 1, H))
    with pytest.raises(OverflowError):
        c.screenshot(timeout_ms=-1)
    c.close()


def test_a_session_without_an_image_waits_for_its_first(sim):
    # The warm-up's acquisitions deliver no desktop image: nothing to show yet.
    sim.fail(ACQUIRE, null=True, times=2)
    c = _vistrel.Capturer(cursor=False)
    started = time.monotonic()
    with pytest.raises(_vistrel.CaptureTimeout, match="^no desktop image within timeout_ms$"):
        c.screenshot(timeout_ms=150)
    assert 0.14 < time.monotonic() - started < 2.0
    with pytest.raises(_vistrel.CaptureTimeout):
        c.screenshot(timeout_ms=0)

    # A change during the wait ends it; the lock is released meanwhile.
    image = desktop(3)
    presenter = threading.Timer(0.2, lambda: sim.present(0, 0, image.tobytes()))
    worker, counts = counting_thread(0.15)
    presenter.start()
    got = c.screenshot(timeout_ms=5000)
    presenter.join()
    worker.join()
    np.testing.assert_array_equal(got, image)
    assert counts[0] > 10000
    c.close()


def test_platform_failures(sim):
    c = _vistrel.Capturer()
    sim.fail("ID3D11DeviceContext::Map", 0x887A0005)
    with pytest.raises(_vistrel.DeviceError) as raised:
        c.screenshot(fmt="rgb")
    assert raised.value.hresult == 0x887A0005
    assert c.screenshot().shape == (H, W, 4)  # the session survives
    sim.lose_access(0, 0, mode=(1280, 720))   # a resolution change: a new Capturer is needed
    with pytest.raises(_vistrel.AccessLost):
        c.screenshot()
    c.close()
    with _vistrel.Capturer() as fresh:
        assert fresh.screenshot().shape == (720, 1280, 4)


def test_package_function(sim):
    sim.reset([adapter(outputs=[output(), output("\\\\.\\DISPLAY2", 640, 480)])])
    left = image_of(sim)
    right = np.frombuffer(sim.image(0, 1), np.uint8).reshape(480, 640, 4)
    np.testing.assert_array_equal(vistrel.screenshot(cursor=False), to_layout(left, "rgb"))
    np.testing.assert_array_equal(vistrel.screenshot(1, device=0, fmt="bgra", region=(10, 20, 30, 40), cursor=False),
                                  right[20:40, 10:30])
    with pytest.raises(ValueError, match="^device index 1 out of range$"):
        vistrel.screenshot(device=1)
    # One opening and one frame: no warm-up waits on a still desktop.
    sim.trace()
    vistrel.screenshot()
    assert sim.trace().count("IDXGIOutputDuplication::AcquireNextFrame") == 1
    # The pointer of that one frame is drawn.
    shape = {"type": 2, "width": 2, "height": 2, "pitch": 8, "hotspot": (0, 0), "data": bytes([9, 8, 7, 255] * 4)}
    sim.present(0, 0, None, pointer={"x": 3, "y": 4, "visible": True, "shape": shape})
    assert vistrel.screenshot(fmt="bgra")[4, 3].tolist() == [9, 8, 7, left[4, 3, 3]]
