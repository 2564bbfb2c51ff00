"""A server that stops answering (SIGSTOP here; a dropped TCP link looks the same) must not
hold the caller: every call keeps its time-out, Ctrl+C works, the process can exit."""
import os
import queue
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from vistrel import _vistrel
from painter import Painter
from stalling_proxy import StallingProxy

OPEN_TIMEOUT = 5.0  # the bound opening and enumeration keep against a silent server
SLACK = 1.0  # a frame's replies may take a floor of 0.25 s beyond a short time-out, more under load


class Worker:
    """One thread that makes and uses the Capturers (they are bound to it), so the test's
    own thread can give up on a call that waits too long and still wake the server."""

    def __init__(self):
        self.jobs = queue.Queue()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            call, done = self.jobs.get()
            started = time.monotonic()
            try:
                result = call()
            except Exception as e:  # noqa: BLE001 - the failure is the result here
                result = e
            done.put((result, time.monotonic() - started))

    def run(self, call, limit=10.0):
        """call()'s result or exception, which must come within `limit` seconds."""
        done = queue.Queue()
        self.jobs.put((call, done))
        try:
            result, took = done.get(timeout=limit + 2)
        except queue.Empty:
            pytest.fail(f"still waiting after {limit + 2} s")
        assert took < limit, (result, took)
        return result


def test_calls_keep_their_time_outs(own_xvfb):
    painter = Painter(own_xvfb.display)
    worker = Worker()
    grabbing, shooting, background = worker.run(
        lambda: (_vistrel.Capturer(cursor=False), _vistrel.Capturer(cursor=False), _vistrel.Capturer()))
    painter.fill(0, 0, 10, 10, (1, 2, 3))
    assert worker.run(lambda: grabbing.grab(timeout_ms=2000)) is not None
    worker.run(background.start)
    # A change the server has announced but whose pixels are still to be read.
    painter.fill(0, 0, 50, 50, (9, 8, 7))
    with own_xvfb.frozen():
        assert worker.run(lambda: grabbing.grab(timeout_ms=500), 0.5 + SLACK) is None
        worker.run(lambda: shooting.screenshot(timeout_ms=500), 0.5 + SLACK)
        for call in (_vistrel.Capturer, _vistrel.list_outputs):
            result = worker.run(call, OPEN_TIMEOUT + 1)
            assert isinstance(result, _vistrel.CaptureError), result
            assert f"X display '{own_xvfb.display}' did not answer within 5000 ms" in str(result)
        worker.run(background.stop, 1)
    # Once the server answers again, the same objects go on, with the change they waited for.
    assert worker.run(lambda: grabbing.grab(timeout_ms=2000))[0, 0].tolist() == [9, 8, 7, 255]
    assert worker.run(shooting.screenshot)[0, 0].tolist() == [9, 8, 7, 255]
    for c in (grabbing, shooting, background):
        worker.run(c.close)
    painter.close()


STUCK_CHILD = """
import sys, time
from vistrel import _vistrel
c = _vistrel.Capturer()
c.start(target_fps=30)
time.sleep(0.2)
print("running", flush=True)
sys.stdin.readline()
if sys.argv[1] == "grab":
    b = _vistrel.Capturer(cursor=False)
    print("grabbing", flush=True)
    while True:
        b.grab(timeout_ms=60000)
if sys.argv[1] == "open":
    print("grabbing", flush=True)
    while True:
        _vistrel.Capturer()
"""


@pytest.mark.parametrize("ending", ["exit", "grab", "open"])
def test_process_ends_while_server_is_stopped(own_xvfb, ending):
    painter = Painter(own_xvfb.display)
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(STUCK_CHILD), ending], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=dict(os.environ))
    try:
        assert child.stdout.readline() == "running\n", child.stderr.read()
        if ending != "exit":
            child.stdin.write("\n")
            child.stdin.flush()
            assert child.stdout.readline() == "grabbing\n"
            time.sleep(0.2)
        painter.fill(0, 0, 50, 50, (1, 2, 3))
        with own_xvfb.frozen():
            if ending == "exit":
                child.stdin.write("\n")  # the interpreter's end must not wait for the capture thread for ever
                child.stdin.flush()
            else:
                time.sleep(0.3)  # deep in a wait on the silent server
                child.send_signal(signal.SIGINT)
            started = time.monotonic()
            _, err = child.communicate(timeout=10)
            took = time.monotonic() - started
        if ending == "exit":
            assert child.returncode == 0, err
        else:
            assert "KeyboardInterrupt" in err
        assert took < 1.5
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        painter.close()


def test_reply_cut_off_mid_packet(xvfb, monkeypatch):
    proxy = StallingProxy(xvfb.display)
    try:
        monkeypatch.setenv("DISPLAY", proxy.display)
        worker = Worker()
        assert len(worker.run(_vistrel.list_outputs)) == 1
        proxy.stall.set()
        # libxcb reads the rest of a begun reply without limit: the connection is given up
        # instead, a moment after the opening's time-out.
        error = worker.run(_vistrel.list_outputs, OPEN_TIMEOUT + 2)
        assert isinstance(error, _vistrel.CaptureError), error
        assert str(error) == f"lost the connection to X display '{proxy.display}'"
    finally:
        proxy.close()



# The request held, as (extension or None for the core protocol, major opcode there, second
# byte): a region read before but with no spare segment has a new one attached (ShmAttach);
# a spare one is written (ShmGetImage); a region never read goes over the socket (GetImage
# of a ZPixmap).
@pytest.mark.parametrize("held, region", [(("MIT-SHM", 0, 1), (0, 0, 30, 30)), (("MIT-SHM", 0, 4), None),
                                          ((None, 73, 2), (0, 0, 40, 40))], ids=["attach", "shm-write", "socket"])
def test_a_kept_read_the_server_leaves_unanswered(xvfb, monkeypatch, held, region):
    """The change is acquired, then the server stops answering just before the array is
    written: the grab waits out its time-out as on any silent server, and the next grab
    still delivers that change."""
    proxy = StallingProxy(xvfb.display)
    painter = Painter(xvfb.display)
    try:
        monkeypatch.setenv("DISPLAY", proxy.display)
        worker = Worker()
        capturer = worker.run(lambda: _vistrel.Capturer(cursor=False))
        for colour in [(1, 2, 3), (3, 2, 1)]:  # the first whole image over the socket, the second into a segment
            painter.fill(0, 0, 8192, 8192, colour)
            assert worker.run(lambda: capturer.grab(timeout_ms=2000)) is not None
        assert worker.run(lambda: capturer.screenshot(region=(0, 0, 30, 30))) is not None
        painter.fill(0, 0, 8192, 8192, (9, 8, 7))  # every row: the server writes the array itself
        extension, major, second = held
        if extension:
            major = painter.display.query_extension(extension).major_opcode
        proxy.hold_at = (major, second)
        assert worker.run(lambda: capturer.grab(timeout_ms=500, region=region), 0.5 + SLACK) is None
        assert proxy.held.is_set()
        proxy.release.set()
        frame = worker.run(lambda: capturer.grab(timeout_ms=2000, region=region))
        assert frame is not None and frame[0, 0].tolist() == [9, 8, 7, 255]
        del frame
        worker.run(capturer.close)  # the fixture then finds no segment left
    finally:
        proxy.close()
        painter.close()
