"""`make pictures`: the README's pictures, taken from the real module on an Xvfb of our own.

    docs/desktop.png    a capture of the moving desktop, pointer drawn in
    docs/lateness.png   how late each slot of frames(30) came, beside the loop a user would
                        otherwise write (sleep to the slot's due time, then screenshot())

Both loops hand over the whole 1280x720 output in RGB, and both leave out their first
WARM_UP slots (page faults, the first reads of the server). The iterator's schedule starts
inside frames(), so its lateness is taken against its earliest slot (which counts as on
time); the sleep loop's against the due times it set itself.
"""
import os
import pathlib
import platform
import signal
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import vistrel  # noqa: E402
from xdesktop import moving_desktop  # noqa: E402

DOCS = pathlib.Path(os.environ.get("VISTREL_PICTURES_OUT", HERE.parent / "docs"))
FPS = 30
SECONDS = float(os.environ.get("VISTREL_PICTURES_SECONDS", "10"))
WARM_UP = 10


def frames_lateness(capturer):
    offsets = []
    with capturer.frames(FPS, fmt="rgb") as frames:
        start = time.perf_counter()
        for k, (_, seconds) in enumerate(frames):
            if seconds >= SECONDS:
                break
            offsets.append(time.perf_counter() - start - seconds)
    offsets = offsets[WARM_UP:]  # slot 0 also waits for the desktop's first change
    best = min(offsets)
    return [(o - best) * 1000 for o in offsets]


def sleep_loop_lateness(capturer):
    late = []
    start = time.perf_counter()
    for k in range(1, int(SECONDS * FPS)):
        due = start + k / FPS
        remaining = due - time.perf_counter()
        if remaining > 0:
            time.sleep(remaining)
        capturer.screenshot(fmt="rgb")
        late.append((time.perf_counter() - due) * 1000)
    return late[WARM_UP - 1:]


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * share))]


def plot(iterator, loop, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 3.6), dpi=100)
    for values, label, colour in ((loop, "sleep to the due time, then screenshot()", "#d95f02"),
                                  (iterator, "frames(30)", "#1b9e77")):
        slots = [(WARM_UP + k) / FPS for k in range(len(values))]
        ax.plot(slots, values, ".", markersize=3, color=colour,
                label=f"{label}: median {percentile(values, 0.5):.2f} ms, p99 {percentile(values, 0.99):.1f} ms")
    ax.set_xlabel("slot time (s)")
    ax.set_ylabel("frame in hand, ms after due")
    ax.set_ylim(bottom=0)
    ax.set_title(f"Lateness of each slot at {FPS} fps, 1280x720 RGB, Xvfb on {platform.machine()} Linux "
                 f"({os.cpu_count()} cores)", fontsize=10)
    ax.legend(loc="upper right", fontsize=8, markerscale=3)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main():
    from PIL import Image

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    DOCS.mkdir(parents=True, exist_ok=True)
    with moving_desktop(1280, 720):
        with vistrel.Capturer(0) as capturer:
            loop = sleep_loop_lateness(capturer)
            # Taken after the loop, when the terminal window has filled.
            Image.fromarray(capturer.screenshot(fmt="rgb")).save(DOCS / "desktop.png", optimize=True)
            print(f"{DOCS / 'desktop.png'}: the desktop with the pointer drawn in")
            iterator = frames_lateness(capturer)
    plot(iterator, loop, DOCS / "lateness.png")
    print(f"{DOCS / 'lateness.png'}: frames({FPS}) p99 {percentile(iterator, 0.99):.1f} ms, "
          f"sleep loop p99 {percentile(loop, 0.99):.1f} ms")


if __name__ == "__main__":
    main()
