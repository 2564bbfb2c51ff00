"""Faults a hostile user finds: the process ending mid-capture, a session reopened at
another size, Ctrl+C during waits, the interpreter raising while NumPy loads, and
arguments at the edges of their types."""
import textwrap
import time

import pytest

from vistrel import _vistrel
from helpers import H, W, desktop, needs_sim, run_python

LOST = 0x887A0026


def run_script(body, timeout=60):
    result = run_python("import _vistrel_sim as sim\nfrom vistrel import _vistrel\n" + textwrap.dedent(body), timeout=timeout)
    assert result.returncode == 0 and "FATAL" not in result.stderr, (result.returncode, result.stderr)
    return result.stdout


# --- the process ends while capture threads run -------------------------------------------------

THREAD_STATES = {
    "healthy": "sim.animate(0, 0, 120)\n",
    # The duplication is lost and cannot be re-created: the thread fails as the interpreter ends.
    "failing": (f"sim.fail('IDXGIOutput1::DuplicateOutput', 0x887A0004, times=-1)\n"
                f"sim.fail('IDXGIOutputDuplication::AcquireNextFrame', {LOST}, times=-1)\n"),
    # A paced thread sleeping most of its period.
    "waiting": "",
}


@needs_sim
@pytest.mark.parametrize("state", sorted(THREAD_STATES))
@pytest.mark.parametrize("how", ["start", "frames"])
def test_interpreter_exit_with_a_running_capture_thread(how, state):
    begin = "c.start(2)\n" if how == "start" else "it = c.frames(30)\n"
    if how == "frames" and state == "healthy":
        begin += "next(it)\n"
    for _ in range(3):
        run_script("c = _vistrel.Capturer()\n" + THREAD_STATES[state] + begin + "print('end')\n")


DAEMON_WAITS = {
    "frames": "next(c.frames(30, timeout_ms=10000))",
    "get_latest_frame": "(c.start(0), c.get_latest_frame())",
    "grab": "c.grab(timeout_ms=10000)",
}


@needs_sim
@pytest.mark.parametrize("wait", sorted(DAEMON_WAITS))
def test_interpreter_exit_with_a_daemon_thread_in_a_wait(wait):
    # The finalising interpreter ends a daemon thread as it takes the lock back.
    run_script(f"""
import threading, time
started = threading.Event()
def wait():
    c = _vistrel.Capturer()
    started.set()
    {DAEMON_WAITS[wait]}
threading.Thread(target=wait, daemon=True).start()
started.wait()
time.sleep(0.2)
""")


# --- a session reopened at another size --------------------------------------------------------

def test_reopened_session_at_a_new_size(sim):
    c = _vistrel.Capturer()
    c.frames(30).close()  # the iterator took the session and released it
    sim.lose_access(0, 0, mode=(1280, 720))
    assert c.grab(timeout_ms=0) is None  # reopens at the new mode; opening took the first frame
    sim.present(0, 0, bytes(1280 * 720 * 4))
    assert c.grab(timeout_ms=1000).shape == (720, 1280, 4)
    assert (c.width, c.height, c.region) == (1280, 720, (0, 0, 1280, 720))
    assert "1280x720" in repr(c)
    c.start(0)
    sim.present(0, 0, bytes(1280 * 720 * 4))
    assert c.get_latest_frame().shape == (720, 1280, 4)
    c.stop()


def test_a_chosen_region_that_no_longer_fits(sim):
    c = _vistrel.Capturer(region=(1300, 0, 1400, 100))
    c.frames(30).close()
    sim.lose_access(0, 0, mode=(1280, 720))
    with pytest.raises(ValueError, match=r"^region \(1300,0,1400,100\) exceeds output bounds \(1280x720\)$"):
        c.grab(timeout_ms=100)
    with pytest.raises(ValueError, match=r"^region \(1300,0,1400,100\) exceeds output bounds \(1280x720\)$"):
        c.start()
    assert not c.is_capturing and c.region == (1300, 0, 1400, 100)
    sim.present(0, 0, bytes(1280 * 720 * 4))
    assert c.grab(timeout_ms=1000, region=(0, 0, 10, 10)).shape == (10, 10, 4)  # the session itself is fine


def test_thread_failure_wakes_a_consumer_without_time_out(sim):
    c = _vistrel.Capturer()
    c.start(0)
    sim.fail("IDXGIOutput1::DuplicateOutput", 0x887A0004, times=-1)
    sim.lose_access(0, 0)
    with pytest.raises(ValueError, match="^AccessLost: "):
        c.get_latest_frame()
    sim.clear_faults()
    c.stop()
    assert c.grab(timeout_ms=0) is None


# --- Ctrl+C ------------------------------------------------------------------------------------

INTERRUPT = """
import os, signal, threading, time
def interrupt_after(seconds):
    sent = []
    def send():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer(seconds, send).start()
    return sent

def latency(call):
    sent = interrupt_after(0.3)
    try:
        call()
    except KeyboardInterrupt:
        return time.perf_counter() - sent[0]
    raise SystemExit("not interrupted")
"""

WAITS = {
    "grab": "c.grab(timeout_ms=10000)",
    "grab_gpu": "c.grab_gpu(timeout_ms=10000)",
    "get_latest_frame": "(c.start(0), c.get_latest_frame(timeout_ms=10000))",
    "get_latest_frame_unlimited": "(c.start(0), c.get_latest_frame())",
    "frames_first_frame": "next(c.frames(30, timeout_ms=10000))",
}


@needs_sim
@pytest.mark.parametrize("wait", sorted(WAITS))
def test_ctrl_c_ends_a_wait_and_leaves_the_capturer_usable(wait):
    out = run_script(INTERRUPT + f"""
c = _vistrel.Capturer()
print(latency(lambda: {WAITS[wait]}))
c.stop()
c.grab(timeout_ms=0)  # reopens the session an interrupted frames() iterator released
sim.present(0, 0, bytes({W * H * 4}))
assert c.grab(timeout_ms=1000) is not None
""")
    assert float(out.split()[0]) < 0.5  # a slice is 50 ms; the rest is scheduling on a busy machine


def test_long_waits_are_sliced_and_never_early(sim):
    c = _vistrel.Capturer()
    sim.trace()
    started = time.perf_counter()
    assert c.grab(timeout_ms=120) is None
    assert time.perf_counter() - started >= 0.120
    acquisitions = [call for call in sim.trace() if call == "IDXGIOutputDuplication::AcquireNextFrame"]
    assert len(acquisitions) == 3  # 50 + 50 + 20 ms
    sim.present(0, 0, desktop(2).tobytes())
    assert c.grab(timeout_ms=10000)[0, 0, 0] == 2  # a frame ends the wait at once


@needs_sim
def test_ctrl_c_in_a_slot_wait_consumes_no_slot():
    run_script(INTERRUPT + """
c = _vistrel.Capturer()
it = c.frames(1)
sim.present(0, 0, sim.image(0, 0))
assert next(it)[1] == 0.0
assert latency(lambda: next(it)) < 0.5  # slot 1 is due at 1 s
frame, seconds = next(it)
assert seconds == 1.0, seconds
""")


# --- the interpreter raising while NumPy loads -------------------------------------------------

FIRST_NUMPY_IMPORT_INTERRUPTED = """
import sys
class Interrupting:
    armed = True
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" and Interrupting.armed:
            Interrupting.armed = False
            raise KeyboardInterrupt
sys.meta_path.insert(0, Interrupting())
c = _vistrel.Capturer()
"""


@needs_sim
def test_interrupt_while_numpy_loads_loses_no_frame_of_the_background_capture():
    run_script(FIRST_NUMPY_IMPORT_INTERRUPTED + f"""
c.start(0)
sim.present(0, 0, bytes({W * H * 4}))
try:
    c.get_latest_frame(timeout_ms=2000)
except KeyboardInterrupt:
    pass
else:
    raise SystemExit("no KeyboardInterrupt")
assert c.get_latest_frame(timeout_ms=500).shape == ({H}, {W}, 4)
""")


@needs_sim
def test_interrupt_while_numpy_loads_consumes_no_slot():
    run_script(FIRST_NUMPY_IMPORT_INTERRUPTED + """
it = c.frames(30)
sim.present(0, 0, sim.image(0, 0))
try:
    next(it)
except KeyboardInterrupt:
    pass
else:
    raise SystemExit("no KeyboardInterrupt")
assert next(it)[1] == 0.0
""")


# --- arguments at the edges --------------------------------------------------------------------

def test_argument_edges(sim):
    c = _vistrel.Capturer()
    with pytest.raises(ValueError, match=r"^argument 'fmt': 'utf-8' codec can't encode"):
        c.grab(fmt="\ud800")
    for call in (lambda: _vistrel.Capturer(output=2**64), lambda: c.grab(2**80), lambda: c.frames(2**64),
                 lambda: c.grab(2**63), lambda: c.grab(-2**70)):
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            call()
    sim.present(0, 0, desktop(1).tobytes())
    assert c.grab(timeout_ms=1000) is not None  # nothing above changed the Capturer


def test_a_closed_iterator_does_not_clear_a_newer_ones_mark(sim):
    c = _vistrel.Capturer()
    first = c.frames(30)
    first.close()
    c.grab(timeout_ms=0)  # takes the session back
    second = c.frames(30)
    first.close()
    del first
    assert c.is_capturing
    with pytest.raises(RuntimeError, match="frames"):
        c.grab(timeout_ms=0)
    second.close()
    assert not c.is_capturing
