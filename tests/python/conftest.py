import gc
import threading
import time

import pytest

import _vistrel_sim


@pytest.fixture
def sim():
    """A fresh default machine; the test must leave no simulated object alive."""
    _vistrel_sim.reset()
    before = _vistrel_sim.live_objects()
    yield _vistrel_sim
    _vistrel_sim.clear_faults()
    gc.collect()  # objects kept alive only by reference cycles (tracebacks) go now
    assert _vistrel_sim.live_objects() == before


def adapter(description="Simulated Adapter", outputs=None, **fields):
    """An adapter dict of the simulated machine, with one default output unless given."""
    spec = {
        "description": description,
        "vendor_id": 0x1AB8,
        "device_id": 0x0001,
        "dedicated_video_memory": 1 << 30,
        "luid": (0x1000, 0),
        "outputs": [output()] if outputs is None else outputs,
    }
    spec.update(fields)
    return spec


def output(device_name="\\\\.\\DISPLAY1", width=1920, height=1080, **fields):
    spec = {"device_name": device_name, "width": width, "height": height, "rotation": 1, "attached": True,
            "desktop_origin": (0, 0)}
    spec.update(fields)
    return spec


def counting_thread(seconds):
    """A started pure-Python thread that counts for `seconds`; its count lands in the list
    returned beside it. It only gets far while the main thread has let the lock go."""
    counts = []

    def count():
        n, end = 0, time.monotonic() + seconds
        while time.monotonic() < end:
            n += 1
        counts.append(n)

    worker = threading.Thread(target=count)
    worker.start()
    return worker, counts
