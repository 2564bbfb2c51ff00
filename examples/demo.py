"""A tour of the API on the simulated machine: list the outputs, open a Capturer, grab in
every layout and a region, save a frame as PNG, measure the grab rate, run the background
capture and the constant-frame-rate iterator, and hand a frame over on the GPU.

A test-build example: it needs `_vistrel_sim`, which only the test build has, so it does
not run against an installed package (`make demo` runs the real thing on Xvfb).

    make demo-sim
"""
import pathlib
import time
from typing import Any, Dict

import numpy as np
from PIL import Image

from vistrel import _vistrel
import _vistrel_sim  # type: ignore[import-not-found]  # test builds only, untyped

OUT = pathlib.Path(__file__).resolve().parent.parent / "build" / "demo-frame.png"


def arrow_pointer() -> Dict[str, Any]:
    """A 12 x 16 white arrow head with a black edge, as a color pointer shape."""
    shape = np.zeros((16, 12, 4), np.uint8)
    for y in range(16):
        width = min(y + 1, 12)
        shape[y, :width] = (0, 0, 0, 255)
        if y < 15:
            shape[y, 1:width - 1] = (255, 255, 255, 255)
    return {"type": 2, "width": 12, "height": 16, "pitch": 48, "hotspot": (0, 0), "data": shape.tobytes()}


def main() -> None:
    _vistrel_sim.reset()
    _vistrel_sim.present(0, 0, _vistrel_sim.image(0, 0),
                         pointer={"x": 200, "y": 150, "visible": True, "shape": arrow_pointer()})
    _vistrel_sim.animate(0, 0, 500)  # the desktop changes 500 times a second
    try:
        print("outputs:")
        for entry in _vistrel.list_outputs():
            print("  ", entry)
        print(_vistrel.device_info(), end="")
        print(_vistrel.output_info(), end="")

        with _vistrel.Capturer() as capturer:
            print(capturer)
            for fmt in ("bgra", "bgr", "rgba", "rgb", "gray"):
                frame = capturer.grab(fmt=fmt)
                assert frame is not None  # the desktop changes all the time
                print(f"  grab(fmt={fmt!r}): shape {frame.shape}, first pixel {frame[0, 0].tolist()}")
            part = capturer.screenshot(fmt="rgb", region=(100, 50, 420, 290))
            print(f"  screenshot(region=(100, 50, 420, 290)): shape {part.shape}")

            OUT.parent.mkdir(exist_ok=True)
            Image.fromarray(capturer.screenshot(fmt="rgb")).save(OUT)
            print(f"  saved {OUT}")

            grabs, started = 0, time.perf_counter()
            while time.perf_counter() - started < 2.0:
                if capturer.grab(fmt="bgra") is not None:
                    grabs += 1
            elapsed = time.perf_counter() - started
            print(f"  {grabs} new frames in {elapsed:.1f} s: {grabs / elapsed:.0f} grabs per second "
                  f"(the desktop changes 500 times a second)")

            capturer.start(target_fps=30)
            taken, started = 0, time.perf_counter()
            while time.perf_counter() - started < 1.0:
                capturer.get_latest_frame(timeout_ms=1000)
                taken += 1
            capturer.stop()
            print(f"  background capture at 30 fps: {taken} frames taken in 1 s")

            with capturer.frames(60, fmt="rgb", region=(0, 0, 640, 360)) as frames:
                started = time.perf_counter()
                for image, seconds in frames:
                    if seconds >= 1.0:
                        break
                late = time.perf_counter() - started - seconds
            print(f"  frames(60): slot {seconds:.3f} s served {late * 1000:+.2f} ms from its due time, "
                  f"each frame {image.shape}")

            texture = capturer.grab_gpu()
            assert texture is not None
            with texture:
                print(f"  grab_gpu(): {texture}")
        print(capturer)
    finally:
        _vistrel_sim.animate(0, 0, 0)


if __name__ == "__main__":
    main()
