"""Capturer.frames and FramesIter: the constant-frame-rate schedule, states and failures."""
import time

import numpy as np
import pytest

from vistrel import _vistrel
from helpers import H, W, counting_thread, desktop, needs_sim, run_in_thread, run_python
from pixels import to_layout


def next_with_time(iterator):
    frame, seconds = next(iterator)
    return frame, seconds, time.perf_counter()


def test_schedule_on_an_idle_desktop(sim):
    c = _vistrel.Capturer()
    started = time.perf_counter()
    with c.frames(30) as frames:
        sim.present(0, 0, sim.image(0, 0))
        results = [next_with_time(frames) for _ in range(8)]
    assert [s for _, s, _ in results] == [k / 30 for k in range(8)]
    for k, (_, _, returned) in enumerate(results):
        assert returned - started >= k / 30 - 1e-6  # never early
    # Each slot after the first waits for its due time: about 33 ms apart. A slot served
    # late on a loaded machine is followed by a short gap, so the typical gap is checked.
    gaps = [b - a for (_, _, a), (_, _, b) in zip(results[1:], results[2:])]
    assert 0.02 < sorted(gaps)[len(gaps) // 2] < 0.06, gaps
    first = results[0][0]
    for frame, _, _ in results[1:]:
        np.testing.assert_array_equal(frame, first)   # repeats of the one image
        assert not np.shares_memory(frame, first)     # each in memory of its own


def test_late_consumer_gets_every_slot_at_once(sim):
    c = _vistrel.Capturer()
    frames = c.frames(30)
    sim.present(0, 0, sim.image(0, 0))
    next(frames)
    next(frames)
    time.sleep(0.2)
    returned = []
    seconds = []
    for _ in range(10):
        _, s, t = next_with_time(frames)
        seconds.append(s)
        returned.append(t)
    assert seconds == [k / 30 for k in range(2, 12)]
    immediate = sum(1 for a, b in zip(returned, returned[1:]) if b - a < 0.005)
    assert 4 <= immediate <= 8  # the overdue slots, served without waiting
    frames.close()


@pytest.mark.parametrize("fmt, channels", [("bgra", 4), ("bgr", 3), ("rgb", 3), ("RGBA", 4), ("gray", 1)])
def test_layouts_and_region(sim, fmt, channels):
    image = np.random.default_rng(3).integers(0, 256, (H, W, 4), dtype=np.uint8)
    c = _vistrel.Capturer(cursor=False)
    with c.frames(60, fmt=fmt, region=(10, 20, 74, 52)) as frames:
        sim.present(0, 0, image.tobytes())
        frame, seconds = next(frames)
    assert frame.shape == (32, 64, channels) and seconds == 0.0
    np.testing.assert_array_equal(frame, to_layout(image[20:52, 10:74], fmt))


def test_only_the_newest_frame_is_served(sim):
    c = _vistrel.Capturer(cursor=False)
    sim.animate(0, 0, 300)
    try:
        with c.frames(20) as frames:
            counters = [int(np.frombuffer(next(frames)[0][0, 0].tobytes(), "<u4")[0]) for _ in range(6)]
    finally:
        sim.animate(0, 0, 0)
    steps = [b - a for a, b in zip(counters[1:], counters[2:])]
    assert all(step > 3 for step in steps), counters  # about 15 desktop changes per slot


def test_a_busy_desktop_is_read_once_per_slot(sim):
    # frames() costs what start() at its rate costs: one read per slot, not one per change.
    c = _vistrel.Capturer(cursor=False)
    sim.animate(0, 0, 300)
    try:
        with c.frames(10) as frames:
            next(frames)
            next(frames)  # the first period is read as it changes, for the first frame
            sim.trace(clear=True)
            for _ in range(5):
                next(frames)
            reads = sim.trace().count("ID3D11DeviceContext::Map")
    finally:
        sim.animate(0, 0, 0)
    assert 3 <= reads <= 10, reads  # unpaced: about 150


def test_argument_and_state_errors(sim):
    c = _vistrel.Capturer()
    with pytest.raises(TypeError):
        c.frames()
    with pytest.raises(OverflowError):
        c.frames(-1)
    with pytest.raises(ValueError, match=r"^frames\(fps=\) must be > 0$"):
        c.frames(0)
    with pytest.raises(ValueError, match="^unknown fmt"):
        c.frames(30, fmt="yuv")
    with pytest.raises(ValueError, match=r"^region \(0,0,1921,1\) exceeds"):
        c.frames(30, region=(0, 0, 1921, 1))
    assert repr(c).endswith("cursor>")  # nothing changed
    c.start()
    with pytest.raises(RuntimeError, match=r"^Capturer is in background mode; call stop\(\) first$"):
        c.frames(30)
    c.stop()

    frames = c.frames(30)
    assert c.is_capturing and repr(c) == "<vistrel.Capturer output=0 closed>"
    with pytest.raises(RuntimeError, match=r"^Capturer is busy: a frames\(\) iterator is already active$"):
        c.frames(30)
    with pytest.raises(RuntimeError, match=r"^Capturer is busy: a frames\(\) iterator is active$"):
        c.start()
    with pytest.raises(RuntimeError, match=r"^Capturer is busy: a frames\(\) iterator is active$"):
        c.grab()
    assert c.stop() is None
    assert c._debug_publish_seq() == 0
    with pytest.raises(RuntimeError, match=r"^Capturer is not capturing; call start\(\) first$"):
        c.get_latest_frame()
    c.close()  # leaves the iterator running
    with pytest.raises(RuntimeError, match=r"^Capturer is busy: a frames\(\) iterator is active$"):
        c.grab()
    assert c.is_capturing
    frames.close()
    assert not c.is_capturing
    with pytest.raises(ValueError, match=r"^frames\(fps=\) must be > 0$"):
        c.frames(0)  # before any state check
    with pytest.raises(RuntimeError, match="^Capturer is closed$"):
        c.frames(30)


def test_closing_detaches_and_grab_reopens(sim):
    c = _vistrel.Capturer()
    with c.frames(30) as frames:
        sim.present(0, 0, sim.image(0, 0))
        next(frames)
    with pytest.raises(StopIteration):
        next(frames)
    assert frames.close() is None and frames.close() is None
    assert not c.is_capturing and repr(c) == "<vistrel.Capturer output=0 closed>"
    assert c.grab(timeout_ms=0) is None  # reopens the session
    assert repr(c).endswith("cursor>")
    c.start()
    c.stop()


def _detached(sim):
    c = _vistrel.Capturer()
    with c.frames(30) as frames:
        sim.present(0, 0, sim.image(0, 0))
        next(frames)
    assert repr(c) == "<vistrel.Capturer output=0 closed>" and not c.is_capturing
    return c


def _start_and_take(c, sim):
    c.start(0)
    sim.present(0, 0, sim.image(0, 0))
    frame = c.get_latest_frame(timeout_ms=2000)
    c.stop()
    return frame


def _first_of_frames(c, sim):
    with c.frames(30) as frames:
        sim.present(0, 0, sim.image(0, 0))
        return next(frames)[0]


@pytest.mark.parametrize(
    "method",
    [
        pytest.param(_start_and_take, id="start"),
        pytest.param(_first_of_frames, id="frames"),
        pytest.param(lambda c, sim: c.screenshot(), id="screenshot"),
        pytest.param(lambda c, sim: c._debug_cursor(), id="_debug_cursor"),
    ],
)
def test_every_capture_method_reopens_a_detached_capturer(sim, method):
    c = _detached(sim)
    result = method(c, sim)
    if isinstance(result, dict):
        assert list(result) == ["visible", "pos_x", "pos_y", "shape"]
    else:
        assert result.shape == (H, W, 4)
    assert not c.is_capturing
    c.close()
    if isinstance(result, dict):
        assert method(c, sim) == {}
    else:
        with pytest.raises(RuntimeError, match="^Capturer is closed$"):
            method(c, sim)


def test_first_frame_timeout_and_retry(sim):
    c = _vistrel.Capturer()
    frames = c.frames(30, timeout_ms=0)
    started = time.perf_counter()
    with pytest.raises(_vistrel.CaptureTimeout, match="^deadline expired$"):
        next(frames)
    assert time.perf_counter() - started < 0.05
    sim.present(0, 0, sim.image(0, 0))
    time.sleep(0.05)
    frame, seconds = next(frames)  # slot 0 again
    assert seconds == 0.0 and frame.shape == (H, W, 4)
    frames.close()


def test_thread_failures_are_reported(sim):
    c = _vistrel.Capturer()
    frames = c.frames(30, timeout_ms=2000)
    sim.fail("IDXGIOutput1::DuplicateOutput", 0x887A0004, times=-1)
    sim.lose_access(0, 0)
    with pytest.raises(ValueError, match="^AccessLost: DXGI 0x887A0026: "):
        next(frames)
    frames.close()
    sim.clear_faults()

    c2 = _vistrel.Capturer()
    frames = c2.frames(30)
    sim.present(0, 0, sim.image(0, 0))
    next(frames)
    sim.fail("ID3D11DeviceContext::Map", 0x887A0005)
    sim.present(0, 0, sim.image(0, 0))
    time.sleep(0.1)
    # After the first frame too: reported, not repeated silently, until closed.
    for _ in range(3):
        with pytest.raises(ValueError, match="^DeviceError: DXGI 0x887A0005: "):
            next(frames)
    frames.close()
    with pytest.raises(StopIteration):
        next(frames)


def test_iterator_is_bound_to_its_thread(sim):
    c = _vistrel.Capturer()
    frames = c.frames(30)
    error = run_in_thread(lambda: next(frames))["error"]
    assert type(error).__name__ == "InternalFault"
    assert str(error) == "vistrel::pacing::FramesIter is unsendable, but sent to another thread"
    del error  # its traceback holds the iterator
    frames.close()


def test_class_and_repeated_open_close(sim):
    with pytest.raises(TypeError, match=r"^cannot create 'vistrel._vistrel.FramesIter' instances$"):
        _vistrel.FramesIter()
    c = _vistrel.Capturer()
    for _ in range(200):
        frames = c.frames(60)
        assert iter(frames) is frames
        frames.close()
        c.grab(timeout_ms=0)  # reopen for the next round
    frames = c.frames(60)
    del frames  # deallocation stops the thread and frees the Capturer
    assert not c.is_capturing


def test_waits_release_the_lock_and_survive_without_a_timer(sim):
    c = _vistrel.Capturer()
    sim.fail("CreateWaitableTimerExW", times=-1)  # no timer: the ordinary sleep paces the slots
    frames = c.frames(10)
    sim.present(0, 0, sim.image(0, 0))
    next(frames)
    started = time.perf_counter()
    worker, counts = counting_thread(0.3)
    for _ in range(3):
        next(frames)  # each waits about 100 ms for its slot
    worker.join()
    assert time.perf_counter() - started > 0.25
    assert counts[0] > 10000  # the counter ran while the slots were awaited
    frames.close()


def test_slots_are_never_early_when_the_timer_cannot_be_armed(sim):
    c = _vistrel.Capturer()
    sim.fail("SetWaitableTimer", times=-1)
    started = time.perf_counter()
    with c.frames(20) as frames:
        sim.present(0, 0, sim.image(0, 0))
        returns = [next_with_time(frames)[2] for _ in range(5)]
    for k, returned in enumerate(returns):
        assert returned - started >= k / 20 - 1e-6


def test_iterator_outlives_its_capturer(sim):
    c = _vistrel.Capturer()
    frames = c.frames(60)
    sim.present(0, 0, desktop(1).tobytes())
    assert next(frames)[0][0, 0, 0] == 1
    del c  # the iterator owns the thread and the session, not the Capturer
    sim.present(0, 0, desktop(2).tobytes())
    for _ in range(120):
        if next(frames)[0][0, 0, 0] == 2:
            break
    else:
        pytest.fail("the iterator stopped seeing the desktop once its Capturer was gone")
    del frames  # its thread and session are released: the fixture finds nothing alive


DROPPED_ON_ANOTHER_THREAD = r"""
import sys, threading, _vistrel_sim as s
from vistrel import _vistrel
reports = []
sys.unraisablehook = lambda r: reports.append((type(r.exc_value).__name__, str(r.exc_value)))
c = _vistrel.Capturer()
holder = [c.frames(30)]
s.present(0, 0, s.image(0, 0))
next(holder[0])
worker = threading.Thread(target=holder.clear)
worker.start()
worker.join()
print(reports)
# Its thread was stopped and its session released: the Capturer is free again.
print(c.is_capturing)
c.grab(timeout_ms=0)
c.start()
print(c.is_capturing)
"""


@needs_sim
def test_iterator_dropped_on_another_thread_is_released():
    # A subprocess: a capture thread left running would outlive the test.
    result = run_python(DROPPED_ON_ANOTHER_THREAD)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["[]", "False", "True"]
