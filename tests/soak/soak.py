"""Soak run on the simulated machine: many grabs in every layout and many regions, and
many cycles of each lifecycle, watching the process's resident memory and the count of
live simulated objects. Not part of `make test`; `make soak` runs it.

Each phase runs a warm-up share of its work first, then the rest; the resident memory
must not grow by more than a small allowance from the end of the warm-up to the end of
the phase, nor may the count of live simulated objects. Exits non-zero otherwise."""
import argparse
import gc
import random
import sys
import time

import numpy as np

import _vistrel
import _vistrel_sim as sim

FORMATS = ["bgra", "bgr", "rgba", "rgb", "gray"]
# Two outputs of different sizes: sessions, regions and arrays of more than one shape.
OUTPUTS = [(640, 480, (0, 0)), (320, 200, (640, 0))]
GROWTH_ALLOWANCE_KB = 2048


def rss_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def machine():
    outputs = [{"device_name": f"\\\\.\\DISPLAY{i + 1}", "width": w, "height": h, "rotation": 1,
                "attached": True, "desktop_origin": origin} for i, (w, h, origin) in enumerate(OUTPUTS)]
    return [{"description": "Soak Adapter", "vendor_id": 0x1AB8, "device_id": 1,
             "dedicated_video_memory": 1 << 30, "luid": (0x1000, 0), "outputs": outputs}]


def images():
    """A few desktop images per output, presented in turn so that every grab has a new frame."""
    rng = np.random.default_rng(11)
    return [[rng.integers(0, 256, (h, w, 4), dtype=np.uint8).tobytes() for _ in range(3)] for w, h, _ in OUTPUTS]


def random_region(rng, output):
    w, h, _ = OUTPUTS[output]
    if rng.random() < 0.2:
        return None
    left, top = rng.randrange(w), rng.randrange(h)
    return (left, top, rng.randrange(left + 1, w + 1), rng.randrange(top + 1, h + 1))


class Soak:
    def __init__(self, scale):
        self.scale = scale
        self.rng = random.Random(7)
        self.images = images()
        self.presented = 0
        self.failed = False
        self.shape = {"type": 2, "width": 16, "height": 16, "pitch": 64, "hotspot": (2, 2),
                      "data": bytes([40, 80, 120, 200] * 256)}

    def present(self, output):
        self.presented += 1
        pointer = {"x": self.rng.randrange(-20, 660), "y": self.rng.randrange(-20, 500), "visible": True}
        if self.presented % 50 == 1:
            pointer["shape"] = self.shape
        sim.present(0, output, self.images[output][self.presented % 3], pointer=pointer)

    def phase(self, name, count, step, warm_up_share=0.1):
        count = max(1, int(count * self.scale))
        warm_up = max(1, int(count * warm_up_share))
        started = time.monotonic()
        for i in range(warm_up):
            step(i)
        gc.collect()
        rss_warm = rss_kb()
        live_warm = sim.live_objects()
        for i in range(warm_up, count):
            step(i)
        gc.collect()
        rss_end = rss_kb()
        elapsed = time.monotonic() - started
        live_after = sim.live_objects()
        growth = rss_end - rss_warm
        ok = growth <= GROWTH_ALLOWANCE_KB and live_after == live_warm
        self.failed |= not ok
        print(f"{name:<26} {count:>6} in {elapsed:6.1f}s  RSS after warm-up {rss_warm / 1024:7.1f} MB, "
              f"at end {rss_end / 1024:7.1f} MB ({growth:+d} kB)  live simulated objects after warm-up "
              f"{live_warm}, at end {live_after}  {'ok' if ok else 'FAILED'}", flush=True)

    def run(self):
        capturers = [_vistrel.Capturer(output) for output in range(len(OUTPUTS))]

        def grab(i):
            output = i % len(OUTPUTS)
            self.present(output)
            fmt = FORMATS[(i // len(OUTPUTS)) % len(FORMATS)]
            region = random_region(self.rng, output)
            frame = capturers[output].grab(timeout_ms=1000, fmt=fmt, region=region)
            if frame is None:
                raise RuntimeError("grab after a present returned no frame")
            w, h, _ = OUTPUTS[output]
            left, top, right, bottom = region or (0, 0, w, h)
            if frame.shape[:2] != (bottom - top, right - left):
                raise RuntimeError(f"grab of {region} gave an array of shape {frame.shape}")

        # A longer warm-up here: the call trace fills up to its limit in the first grabs.
        self.phase("grab (layouts, regions)", 10000, grab, warm_up_share=0.2)

        def start_stop(i):
            c = capturers[i % len(OUTPUTS)]
            c.start(target_fps=240, region=random_region(self.rng, i % len(OUTPUTS)), video_mode=i % 2 == 0)
            if i % 4 == 0:
                self.present(i % len(OUTPUTS))
                c.get_latest_frame(timeout_ms=1000)
            c.stop()

        self.phase("start/stop", 1000, start_stop)

        def frames_open_close(i):
            output = i % len(OUTPUTS)
            iterator = capturers[output].frames(240, fmt=FORMATS[i % len(FORMATS)],
                                                region=random_region(self.rng, output), timeout_ms=1000)
            if i % 4 == 0:
                self.present(output)
                next(iterator)
            iterator.close()  # frees the session; a grab opens the next one
            capturers[output].grab(timeout_ms=0)

        self.phase("frames open/close", 1000, frames_open_close)

        for c in capturers:
            c.close()

        def create_close(i):
            c = _vistrel.Capturer(i % len(OUTPUTS), cursor=i % 2 == 0)
            if i % 5 == 0:
                self.present(i % len(OUTPUTS))
                c.grab(timeout_ms=1000)
            c.close()

        self.phase("Capturer create/close", 1000, create_close)

        gpu = _vistrel.Capturer(0)

        def grab_gpu(i):
            self.present(0)
            texture = gpu.grab_gpu(timeout_ms=1000)
            if texture is None:
                raise RuntimeError("grab_gpu after a present returned no texture")
            texture.close()

        self.phase("GPU grabs", 500, grab_gpu)
        gpu.close()
        gc.collect()
        print(f"live simulated objects after closing everything: {sim.live_objects()}")
        if sim.live_objects() != 0:
            self.failed = True
        trace_length = len(sim.trace(clear=False))
        print(f"call trace kept: {trace_length} entries (never read during the run)")
        return 1 if self.failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiply every count (for a quick try)")
    args = parser.parse_args()
    sim.reset(machine())
    sys.exit(Soak(args.scale).run())


if __name__ == "__main__":
    main()
