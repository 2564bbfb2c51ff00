"""Backgrounds for the headless sway, and waiting until the compositor shows them."""
import threading
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


class Recolour:
    """Changes the whole background colour every `period` seconds on a thread."""

    def __init__(self, sway, period=0.15):
        self.sway, self.period = sway, period
        self.stop_flag = threading.Event()
        self.thread = threading.Thread(target=self.run)

    def run(self):
        level = 0
        while not self.stop_flag.wait(self.period):
            level = (level + 40) % 256
            self.sway.msg(f"output * bg #{level:02x}{255 - level:02x}80 solid_color")

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop_flag.set()
        self.thread.join()
