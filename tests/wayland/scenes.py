"""Backgrounds for the headless sway, and waiting until the compositor shows them."""
import time

import numpy as np


def noise(width, height, seed):
    return np.random.default_rng(seed).integers(0, 256, (height, width, 3), np.uint8)


def show_and_settle(sway, image, output="*", name=None, timeout=10):
    """Shows `image` (RGB) and returns the reference client's BGRA once the compositor
    has drawn it: at most the pointer's few pixels may differ from the image."""
    sway.show(image, output)
    expected = image[..., ::-1]
    deadline = time.monotonic() + timeout
    while True:
        shot = sway.grim(name)
        if shot.shape[:2] == image.shape[:2] and (shot[..., :3] != expected).any(axis=2).sum() < 2000:
            return shot
        assert time.monotonic() < deadline, "the compositor never showed the background"
        time.sleep(0.05)
