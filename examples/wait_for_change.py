"""Wait until something changes in a region of the screen, then save the new image.

grab() returns None while the desktop stands still, and a frame as soon as anything on
the output changes; comparing the region with the image from before tells whether the
change is in the part we watch.

    python examples/wait_for_change.py [seconds]
"""
import sys
import time
from typing import Optional

import numpy as np
from numpy.typing import NDArray

import vistrel

REGION = (0, 0, 200, 100)


def wait_for_change(capturer: vistrel.Capturer, seconds: float) -> Optional[NDArray[np.uint8]]:
    before = capturer.screenshot(region=REGION)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        frame = capturer.grab(timeout_ms=100, region=REGION)  # the lock is released while it waits
        if frame is not None and not np.array_equal(frame, before):
            return frame
    return None


def main(seconds: float) -> None:
    with vistrel.Capturer(0, cursor=False) as capturer:
        frame = wait_for_change(capturer, seconds)
    if frame is None:
        print(f"no change within {seconds} s")
    else:
        np.save("changed.npy", frame)
        print(f"changed: {int((frame != 0).sum())} non-zero bytes, saved as changed.npy")


if __name__ == "__main__":
    main(float(sys.argv[1]) if len(sys.argv) > 1 else 10.0)
