"""Background capture: start, get_latest_frame, stop, and the capture thread's failures."""
import threading
import time

import numpy as np
import pytest

from vistrel import _vistrel
from helpers import H, W, counting_thread, desktop, needs_sim, run_python
from pixels import composite


def test_mode_transitions(sim):
    c = _vistrel.Capturer()
    assert c.start() is None
    assert c.is_capturing and repr(c) == "<vistrel.Capturer output=0 closed>" and c.width == W
    with pytest.raises(RuntimeError, match=r"^Capturer is already capturing; call stop\(\) first$"):
        c.start()
    with pytest.raises(RuntimeError, match="^Capturer is in background mode$"):
        c.grab()
    sim.trace()
    assert c.stop() is None
    assert not c.is_capturing and repr(c).endswith("1920x1080 cursor>")
    sim.present(0, 0, sim.image(0, 0))
    assert c.grab() is not None
    assert "CreateDXGIFactory1" not in sim.trace()  # the session came back: no reopening
    assert c.stop() is None  # not capturing: nothing to do
    with pytest.raises(RuntimeError, match=r"^Capturer is not capturing; call start\(\) first$"):
        c.get_latest_frame()


def test_argument_and_state_errors_change_nothing(sim):
    c = _vistrel.Capturer()
    with pytest.raises(OverflowError):
        c.start(-1)
    with pytest.raises(TypeError, match="^argument 'video_mode': "):
        c.start(video_mode=1)
    with pytest.raises(TypeError, match="^argument 'target_fps': "):
        c.start(target_fps=1.5)
    with pytest.raises(ValueError, match=r"^region \(0,0,1,1081\) exceeds output bounds \(1920x1080\)$"):
        c.start(region=(0, 0, 1, 1081))
    assert not c.is_capturing and repr(c).endswith("cursor>")  # the session was put back
    c.start(region=(0, 0, 10, 10))
    with pytest.raises(TypeError, match="^argument 'timeout_ms': "):
        c.get_latest_frame(timeout_ms="1")
    c.close()
    with pytest.raises(RuntimeError, match=r"^Capturer is not capturing; call start\(\) first$"):
        c.get_latest_frame()
    with pytest.raises(RuntimeError, match="^Capturer is closed$"):
        c.start()


def test_frames_are_the_region_with_the_pointer(sim):
    shape = {"type": 2, "width": 4, "height": 4, "pitch": 16, "hotspot": (0, 0), "data": bytes([9, 8, 7, 255] * 16)}
    image = np.random.default_rng(5).integers(0, 256, (H, W, 4), dtype=np.uint8)
    c = _vistrel.Capturer()
    c.start(0, region=(100, 200, 300, 260))
    sim.present(0, 0, image.tobytes(), pointer={"x": 98, "y": 258, "visible": True, "shape": shape})
    frame = c.get_latest_frame(timeout_ms=2000)
    assert frame.shape == (60, 200, 4) and frame.dtype == np.uint8 and frame.flags.writeable
    np.testing.assert_array_equal(frame, composite(image[200:260, 100:300], shape, 98, 258, (100, 200)))
    c.stop()


def test_one_slot_newest_wins(sim):
    c = _vistrel.Capturer()
    assert c._debug_publish_seq() == 0
    c.start(0)
    for value in (1, 2, 3):
        sim.present(0, 0, desktop(value).tobytes())
        deadline = time.monotonic() + 2
        while c._debug_publish_seq() < value and time.monotonic() < deadline:
            time.sleep(0.005)
    assert c._debug_publish_seq() == 3
    frame = c.get_latest_frame(timeout_ms=0)
    assert frame[0, 0, 0] == 3
    assert c._debug_publish_seq() == 0
    with pytest.raises(_vistrel.CaptureTimeout, match="^deadline expired$"):
        c.get_latest_frame(timeout_ms=0)   # the frame was taken: the slot is empty
    started = time.monotonic()
    with pytest.raises(_vistrel.CaptureTimeout):
        c.get_latest_frame(timeout_ms=100)
    assert 0.09 < time.monotonic() - started < 1.0
    c.stop()


def test_arrays_are_separate(sim):
    c = _vistrel.Capturer()
    c.start(0, video_mode=True)
    sim.present(0, 0, desktop(7).tobytes())
    first = c.get_latest_frame(timeout_ms=2000)
    second = c.get_latest_frame(timeout_ms=2000)  # a republish of the same buffer
    assert not np.shares_memory(first, second)
    np.testing.assert_array_equal(first, second)
    c.stop()


def published_and_let_go(sim, value):
    """Presents an image and waits until the capture thread has published it and asked for
    the next frame: from then on it holds the buffer only if it keeps it as its last frame."""
    sim.trace()
    sim.present(0, 0, desktop(value).tobytes())
    calls, deadline = [], time.monotonic() + 5
    while time.monotonic() < deadline:
        calls += sim.trace()
        if "ID3D11DeviceContext::Unmap" in calls[:-1] and \
                "IDXGIOutputDuplication::AcquireNextFrame" in calls[calls.index("ID3D11DeviceContext::Unmap"):]:
            return
        time.sleep(0.001)
    pytest.fail("the capture thread did not publish")


def test_frames_are_handed_over_without_a_copy(sim):
    c = _vistrel.Capturer()
    c.start(0)
    published_and_let_go(sim, 3)
    frame = c.get_latest_frame(timeout_ms=0)
    assert frame[0, 0, 0] == 3
    # Handed over: the array's memory is the thread's buffer, owned by a base object.
    assert not frame.base.flags.owndata and frame.base.base is not None
    c.stop()

    # In video mode the thread keeps the buffer to publish it again: the consumer copies.
    c.start(0, video_mode=True)
    published_and_let_go(sim, 4)
    frame = c.get_latest_frame(timeout_ms=2000)
    assert frame[0, 0, 0] == 4
    assert frame.base.flags.owndata and frame.base.base is None
    c.stop()


def test_a_waiting_consumer_gets_the_buffer_without_a_copy(sim):
    c = _vistrel.Capturer()
    c.start(0)
    images = [desktop(value).tobytes() for value in (1, 2)]
    copied = 0
    for i in range(100):
        # The consumer is waiting (or about to) when the frame is published.
        presenter = threading.Timer(0.002, sim.present, (0, 0, images[i % 2]))
        presenter.start()
        frame = c.get_latest_frame(timeout_ms=5000)
        presenter.join()
        copied += frame.base.flags.owndata
    c.close()
    del c, frame  # the failure's traceback must not keep them alive
    assert copied == 0


def count_frames(c, seconds):
    frames, deadline = 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            c.get_latest_frame(timeout_ms=50)
            frames += 1
        except _vistrel.CaptureTimeout:
            pass
    return frames


def test_pacing_and_video_mode(sim):
    c = _vistrel.Capturer()
    sim.animate(0, 0, 200)
    c.start(20)
    paced = count_frames(c, 0.5)
    c.stop()
    sim.animate(0, 0, 0)
    assert 5 <= paced <= 12   # at most 20 a second although the desktop changes 200 times

    c.start(40, video_mode=True)
    sim.present(0, 0, desktop(1).tobytes())
    repeated = count_frames(c, 0.5)
    c.stop()
    assert 12 <= repeated <= 24  # about once per period on a static desktop

    c.start(40)
    sim.present(0, 0, desktop(2).tobytes())
    assert count_frames(c, 0.3) == 1  # without video mode: only the change


def test_timer_failures_fall_back(sim):
    c = _vistrel.Capturer()
    sim.fail("CreateWaitableTimerExW")
    c.start(40, video_mode=True)
    sim.present(0, 0, desktop(1).tobytes())
    assert 12 <= count_frames(c, 0.5) <= 24  # paced with the ordinary sleep
    c.stop()


@pytest.mark.parametrize("operation, message", [
    ("CreateEventW", "CreateEventW failed; required for the consumer wait path"),
    ("CreateThread", "failed to spawn thread"),
])
def test_creation_failures_are_internal_faults(sim, operation, message):
    c = _vistrel.Capturer()
    sim.fail(operation)
    with pytest.raises(BaseException) as raised:
        c.start()
    assert type(raised.value).__name__ == "InternalFault"
    assert str(raised.value).startswith(message)
    assert not c.is_capturing and repr(c) == "<vistrel.Capturer output=0 closed>"  # Detached
    assert c.grab(timeout_ms=0) is None  # reopens a session
    assert repr(c).endswith("cursor>")


def test_thread_failures_reach_the_consumer(sim):
    c = _vistrel.Capturer()
    c.start(0)
    sim.present(0, 0, desktop(4).tobytes())
    time.sleep(0.1)
    # The fault first: the thread re-creates a lost duplication within milliseconds.
    sim.fail("IDXGIOutput1::DuplicateOutput", 0x887A0004, times=-1)
    sim.lose_access(0, 0)
    assert c.get_latest_frame(timeout_ms=2000)[0, 0, 0] == 4  # published before the failure: delivered first
    for _ in range(2):  # the failure stays
        with pytest.raises(ValueError) as raised:
            c.get_latest_frame(timeout_ms=5000)
        assert str(raised.value).startswith("AccessLost: DXGI 0x887A0026: ")
    sim.clear_faults()
    c.stop()  # a failed thread hands its session back too
    assert repr(c).endswith("cursor>")
    assert c.grab(timeout_ms=0) is None      # its lost duplication is re-created
    sim.present(0, 0, sim.image(0, 0))
    assert c.grab(timeout_ms=1000) is not None


def test_map_failure_and_healing(sim):
    c = _vistrel.Capturer()
    c.start(0)
    sim.lose_access(0, 0)  # heals: a new duplication, frames go on
    sim.present(0, 0, desktop(5).tobytes())
    # The new duplication may first deliver the image it found; the presented one follows.
    value = c.get_latest_frame(timeout_ms=2000)[0, 0, 0]
    if value != 5:
        value = c.get_latest_frame(timeout_ms=2000)[0, 0, 0]
    assert value == 5
    sim.fail("ID3D11DeviceContext::Map", 0x887A0005)
    sim.present(0, 0, desktop(6).tobytes())
    with pytest.raises(ValueError, match="^DeviceError: DXGI 0x887A0005: "):
        c.get_latest_frame(timeout_ms=2000)
    c.close()


def test_lock_released_while_waiting(sim):
    c = _vistrel.Capturer()
    c.start(0)
    worker, counts = counting_thread(0.3)
    with pytest.raises(_vistrel.CaptureTimeout):
        c.get_latest_frame(timeout_ms=500)
    worker.join()
    assert counts[0] > 10000
    c.stop()


def test_dropping_a_capturer_stops_its_thread(sim):
    c = _vistrel.Capturer()
    c.start(0)
    del c  # the fixture checks that nothing is left alive


def test_repeated_start_stop_leaves_nothing(sim):
    c = _vistrel.Capturer()
    for _ in range(200):
        c.start(0)
        c.stop()
    assert repr(c).endswith("cursor>")


STOP_DURING_FAILURE = r"""
from vistrel import _vistrel
import _vistrel_sim as s
c = _vistrel.Capturer()
for i in range(100):
    c.start(0)
    s.fail("IDXGIOutputDuplication::AcquireNextFrame", 0x887A0026, times=-1, description="gone")
    s.fail("IDXGIOutput1::DuplicateOutput", 0x887A0004, times=-1)
    c.stop()
    s.clear_faults()
print("ok")
"""


@needs_sim
def test_stop_while_the_thread_fails_does_not_deadlock():
    result = run_python(STOP_DURING_FAILURE, timeout=120)
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr


def test_pacing_holds_when_the_timer_cannot_be_armed(sim):
    c = _vistrel.Capturer()
    sim.fail("SetWaitableTimer", times=-1)
    c.start(40, video_mode=True)
    sim.present(0, 0, desktop(1).tobytes())
    assert 12 <= count_frames(c, 0.5) <= 24
    c.stop()
