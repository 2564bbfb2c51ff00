"""Soak run on the X11 module against an Xvfb of its own: many grabs while 0, 1 and 100
of the arrays they return are kept alive, watching the process's resident memory, its open
file descriptors and its shared-memory segments. Not part of `make test`; `make soak`
runs it.

Each phase runs a warm-up share of its grabs first (filling the kept arrays), then the
rest; resident memory may not grow by more than a small allowance from the end of the
warm-up to the end of the phase, and descriptors and segments not at all. After the
Capturer closes no segment of this process may be left. Exits non-zero otherwise."""
import argparse
import collections
import gc
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "x11"))

from vistrel import _vistrel  # noqa: E402
from conftest import own_segments, segments_left  # noqa: E402
from painter import Painter  # noqa: E402
from xservers import start_xvfb  # noqa: E402

FORMATS = ["bgra", "bgr", "rgba", "rgb", "gray"]
WIDTH, HEIGHT = 640, 480
GROWTH_ALLOWANCE_KB = 2048


def rss_kb():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def usage():
    gc.collect()
    return rss_kb(), open_fds(), len(own_segments())


def phase(capturer, painter, kept_count, count):
    kept = collections.deque(maxlen=kept_count) if kept_count else None
    warm_up = max(kept_count + 10, count // 10)  # the kept arrays all held before measuring
    started = time.monotonic()
    for i in range(count):
        if i == warm_up:
            before = usage()
        painter.fill(i % (WIDTH - 4), i % (HEIGHT - 4), 4, 4, (i % 256, 7, 9))
        fmt = FORMATS[i % len(FORMATS)]
        frame = capturer.grab(timeout_ms=1000, fmt=fmt) if i % 4 else capturer.screenshot(fmt=fmt)
        if frame is None:
            raise RuntimeError("a grab after a change returned no frame")
        if kept is not None:
            kept.append(frame)
    after = usage()
    growth = after[0] - before[0]
    ok = growth <= GROWTH_ALLOWANCE_KB and after[1:] == before[1:]
    print(f"{count:>6} grabs keeping {kept_count:>3} arrays in {time.monotonic() - started:6.1f}s: RSS "
          f"{before[0] / 1024:7.1f} -> {after[0] / 1024:7.1f} MB ({growth:+d} kB), fds {before[1]} -> {after[1]}, "
          f"segments {before[2]} -> {after[2]}  {'ok' if ok else 'FAILED'}", flush=True)
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiply every count (for a quick try)")
    args = parser.parse_args()
    server = start_xvfb(WIDTH, HEIGHT)
    try:
        os.environ["DISPLAY"] = server.display
        painter = Painter(server.display)
        capturer = _vistrel.Capturer(cursor=True)
        print(f"pixel path: {capturer.pixel_path}")
        count = max(10, int(10000 * args.scale))
        ok = all([phase(capturer, painter, kept, count) for kept in (0, 1, 100)])
        capturer.close()
        painter.close()
        left = segments_left()
        print(f"segments left after close: {len(left)}")
        return 0 if ok and not left else 1
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
