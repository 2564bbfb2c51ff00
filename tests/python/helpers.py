"""What the Python tests share: the default output's size, desktop images, simulated
machine descriptions, a subprocess runner, a thread runner and a lock-release probe."""
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

try:
    import _vistrel_sim
except ImportError:  # a build over another provider
    _vistrel_sim = None

# Marks a test that drives the simulated machine without the `sim` fixture (a subprocess).
needs_sim = pytest.mark.skipif(_vistrel_sim is None, reason="needs the simulated machine")

# The default machine's one output.
W, H = 1920, 1080


def desktop(value):
    """An opaque desktop image whose blue channel is `value`."""
    image = np.zeros((H, W, 4), np.uint8)
    image[..., 0] = value
    image[..., 3] = 255
    return image


def uniform(value):
    """A desktop image with every byte `value`."""
    return np.full((H, W, 4), value, np.uint8)


def random_desktop(seed):
    return np.random.default_rng(seed).integers(0, 256, (H, W, 4), dtype=np.uint8)


def adapter(description="Simulated Adapter", outputs=None, **fields):
    """An adapter dict of the simulated machine, with one default output unless given."""
    fields_ = {
        "description": description,
        "vendor_id": 0x1AB8,
        "device_id": 0x0001,
        "dedicated_video_memory": 1 << 30,
        "luid": (0x1000, 0),
        "outputs": [output()] if outputs is None else outputs,
    }
    fields_.update(fields)
    return fields_


def output(device_name="\\\\.\\DISPLAY1", width=1920, height=1080, **fields):
    fields_ = {"device_name": device_name, "width": width, "height": height, "rotation": 1, "attached": True,
               "desktop_origin": (0, 0)}
    fields_.update(fields)
    return fields_


def run_python(script, timeout=60):
    """Runs `script` in a fresh interpreter of this one; the completed process."""
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)


def run_in_thread(function):
    """Calls `function` on a new thread and waits for it: {"value": result} or {"error": exception}."""
    result = {}

    def body():
        try:
            result["value"] = function()
        except BaseException as e:  # the internal fault is not an Exception
            result["error"] = e

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    return result


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
