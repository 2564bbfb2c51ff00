"""What Windows refuses or does between frames, and how capture lives with it: one
duplication of an output per process, the secure desktop, frames that carry only the
pointer, blank first frames and HDR surfaces."""
import time

import numpy as np
import pytest

import vistrel
from vistrel import _vistrel

pytest.importorskip("_vistrel_sim")
from helpers import adapter, desktop, output, random_desktop
from pixels import composite


def test_one_capturer_per_output(sim):
    sim.reset([adapter(outputs=[output(), output("\\\\.\\DISPLAY2", 640, 480)])])
    with _vistrel.Capturer() as first:
        for second in (lambda: _vistrel.Capturer(), lambda: vistrel.screenshot()):
            with pytest.raises(_vistrel.CaptureError) as raised:
                second()
            assert raised.value.hresult == 0x80070057
            assert str(raised.value).startswith("DXGI 0x80070057: output 0 is already captured in this process")
        with _vistrel.Capturer(1) as other:  # another output is free
            assert other.width == 640
        assert first.grab(timeout_ms=0) is None  # the first one is untouched
    # The output is free again once its Capturer has closed, also while detached.
    with _vistrel.Capturer() as again:
        iterator = again.frames(30)
        sim.present(0, 0, desktop(9).tobytes())
        next(iterator)
        iterator.close()
        assert vistrel.screenshot().shape == (1080, 1920, 3)


def test_secure_desktop_one_shot(sim):
    c = _vistrel.Capturer()
    sim.secure_desktop(0, 0, True)
    for method in (c.grab, c.screenshot, c.grab, c.screenshot):
        with pytest.raises(_vistrel.AccessLost) as raised:
            method(timeout_ms=0)
        assert raised.value.hresult == 0x887A0026
    sim.present(0, 0, desktop(77).tobytes())  # the desktop changed behind the secure desktop
    sim.secure_desktop(0, 0, False)
    np.testing.assert_array_equal(c.screenshot(), desktop(77))  # the same Capturer, the current desktop
    sim.present(0, 0, desktop(78).tobytes())
    np.testing.assert_array_equal(c.grab(timeout_ms=1000), desktop(78))
    c.close()


def test_capture_thread_and_frames_survive_the_secure_desktop(sim):
    c = _vistrel.Capturer()
    c.start(0)
    sim.present(0, 0, desktop(1).tobytes())
    assert c.get_latest_frame(timeout_ms=2000)[0, 0, 0] == 1
    sim.secure_desktop(0, 0, True)
    time.sleep(0.2)
    sim.present(0, 0, desktop(2).tobytes())  # not seen while the secure desktop shows
    with pytest.raises(_vistrel.CaptureTimeout):
        c.get_latest_frame(timeout_ms=200)
    sim.secure_desktop(0, 0, False)
    assert c.get_latest_frame(timeout_ms=2000)[0, 0, 0] == 2  # the fresh duplication's first frame
    sim.present(0, 0, desktop(3).tobytes())
    assert c.get_latest_frame(timeout_ms=2000)[0, 0, 0] == 3
    c.stop()

    iterator = c.frames(50)
    sim.present(0, 0, desktop(3).tobytes())
    assert next(iterator)[0][0, 0, 0] == 3
    sim.secure_desktop(0, 0, True)
    seen = [next(iterator)[0][0, 0, 0] for _ in range(10)]  # the last frame, repeated
    assert set(seen) == {3}
    sim.present(0, 0, desktop(4).tobytes())
    sim.secure_desktop(0, 0, False)
    seen = [next(iterator)[0][0, 0, 0] for _ in range(15)]
    assert seen[-1] == 4
    iterator.close()
    c.close()


def test_a_lasting_failure_still_ends_the_capture_thread(sim):
    c = _vistrel.Capturer()
    c.start(0)
    sim.lose_access(0, 0, mode=(1280, 720))  # a new mode size
    with pytest.raises(ValueError, match="^AccessLost: DXGI 0x887A0026: "):
        for _ in range(50):
            c.get_latest_frame(timeout_ms=2000)
    c.close()


def test_pointer_only_frames_move_the_pointer(sim):
    shape = {"type": 2, "width": 4, "height": 4, "pitch": 16, "hotspot": (0, 0), "data": bytes([0, 0, 255, 255] * 16)}
    still = random_desktop(5)
    sim.present(0, 0, still.tobytes(), pointer={"x": 100, "y": 100, "visible": True, "shape": shape})
    with _vistrel.Capturer() as c:
        np.testing.assert_array_equal(c.screenshot(fmt="bgra"), composite(still, shape, 100, 100, (0, 0)))
        sim.present(0, 0, None, pointer={"x": 300, "y": 40})  # the mouse moves over a still desktop
        np.testing.assert_array_equal(c.grab(timeout_ms=1000), composite(still, shape, 300, 40, (0, 0)))
        sim.present(0, 0, None, pointer={"visible": False})  # it leaves the output: no ghost stays
        np.testing.assert_array_equal(c.grab(timeout_ms=1000), still)


@pytest.mark.parametrize("flags", [{"blank_first_frame": True}, {"hdr": True},
                                   {"blank_first_frame": True, "hdr": True}])
def test_frames_without_an_image_keep_the_last_one(sim, flags):
    sim.reset([adapter(outputs=[output(**flags)])])
    with _vistrel.Capturer() as c:
        if flags.get("blank_first_frame"):
            # Nothing real to show yet: no black frame passes for the desktop.
            with pytest.raises(_vistrel.CaptureTimeout):
                c.screenshot(timeout_ms=100)
        image = random_desktop(6)
        sim.present(0, 0, image.tobytes())
        np.testing.assert_array_equal(c.grab(timeout_ms=1000), image)
        sim.present(0, 0, None, pointer={"x": 5, "y": 5})  # an HDR surface rides on this one
        np.testing.assert_array_equal(c.grab(timeout_ms=1000), image)
        np.testing.assert_array_equal(c.screenshot(), image)


def test_a_surface_of_another_format_is_never_copied(sim):
    sim.reset([adapter(outputs=[output(surface_format=10)])])  # R16G16B16A16_FLOAT
    with _vistrel.Capturer() as c:
        sim.present(0, 0, random_desktop(7).tobytes())
        with pytest.raises(_vistrel.AccessLost):
            for _ in range(3):
                c.grab(timeout_ms=100)
