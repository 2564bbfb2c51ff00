"""A desktop to capture where there is none: an Xvfb of our own with windows drawn on it,
content that keeps moving and a pointer that moves, for `make demo` and `make pictures`.

    with moving_desktop(1280, 720) as display:   # DISPLAY is set while the block runs
        ...

The server and the client that animates it are ended by process id when the block ends,
however it ends (an exception, Ctrl+C, or SIGTERM turned into SystemExit by the caller).
Run as `xdesktop.py animate DISPLAY WIDTH HEIGHT`, this file is that client.
"""
import contextlib
import math
import os
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "x11"))

from xservers import start_xvfb  # noqa: E402

# Where the animation runs, in pixels of the output: a region worth capturing on its own.
ANIMATION = (760, 120, 1160, 420)
TERMINAL = (80, 120, 700, 560)
FPS = 30


def pointer_at(t):
    """A slow figure of eight over the terminal window, so the pointer is always on content."""
    left, top, right, bottom = TERMINAL
    cx, cy = (left + right) // 2, (top + bottom) // 2
    return (int(cx + 0.35 * (right - left) * math.sin(t * 0.9)),
            int(cy + 0.3 * (bottom - top) * math.sin(t * 1.8)))


def scene(width, height):
    """The still part: a background and two windows, as an RGB Pillow image."""
    from PIL import Image, ImageDraw, ImageFont

    image = Image.new("RGB", (width, height))
    draw = ImageDraw.Draw(image)
    for y in range(height):
        shade = 40 + 50 * y // height
        draw.line([(0, y), (width, y)], fill=(20, shade // 2 + 20, shade + 40))
    draw.rectangle([0, height - 36, width, height], fill=(30, 30, 36))
    font = ImageFont.load_default(size=15)
    draw.text((14, height - 27), "vistrel on Xvfb", font=font, fill=(220, 220, 220))
    for (left, top, right, bottom), title in ((TERMINAL, "terminal"), (ANIMATION, "animation")):
        draw.rectangle([left - 2, top - 30, right + 2, bottom + 2], fill=(70, 70, 78))
        draw.text((left + 8, top - 24), title, font=font, fill=(235, 235, 235))
        draw.rectangle([left, top, right - 1, bottom - 1], fill=(12, 12, 14))
    return image


def terminal_lines(n):
    return [f"$ line {k:5d}   t = {k * 5 / FPS:6.2f} s   {'#' * (k % 23)}" for k in range(max(0, n - 22), n + 1)]


def animate(display, width, height):
    """Draws the scene, then keeps the animation window, the terminal and the pointer moving."""
    import numpy as np
    from PIL import Image, ImageDraw, ImageFont
    from painter import Painter

    def bgra(image):
        rgb = np.asarray(image.convert("RGB"))
        out = np.empty(rgb.shape[:2] + (4,), np.uint8)
        out[..., :3], out[..., 3] = rgb[..., ::-1], 255
        return out

    painter = Painter(display)
    painter.put(0, 0, bgra(scene(width, height)))
    print("drawn", flush=True)
    font = ImageFont.load_default(size=14)
    a_left, a_top, a_right, a_bottom = ANIMATION
    t_left, t_top, t_right, t_bottom = TERMINAL
    started = time.monotonic()
    for k in range(1 << 62):
        # Wall-clock time, so that content moves at its speed also when drawing falls behind.
        delay = started + k / FPS - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        t = time.monotonic() - started
        frame = Image.new("RGB", (a_right - a_left, a_bottom - a_top), (12, 12, 14))
        draw = ImageDraw.Draw(frame)
        w, h = frame.size
        for i in range(12):  # a turning wheel of spokes
            angle = t * 1.5 + i * math.pi / 6
            colour = (80 + 14 * i, 200 - 10 * i, 120 + 11 * i)
            draw.line([(w / 2, h / 2), (w / 2 + 120 * math.cos(angle), h / 2 + 120 * math.sin(angle))],
                      fill=colour, width=6)
        x = (t * 160) % (2 * (w - 40))
        x = x if x < w - 40 else 2 * (w - 40) - x
        draw.ellipse([x, h - 44, x + 36, h - 8], fill=(240, 180, 40))
        painter.put(a_left, a_top, bgra(frame))
        if k % 5 == 0:
            text = Image.new("RGB", (t_right - t_left, t_bottom - t_top), (12, 12, 14))
            draw = ImageDraw.Draw(text)
            for row, line in enumerate(terminal_lines(k // 5)):
                draw.text((10, 8 + 19 * row), line, font=font, fill=(120, 230, 120))
            painter.put(t_left, t_top, bgra(text))
        painter.move_pointer(*pointer_at(t))


def end(process):
    if process.poll() is None:
        os.kill(process.pid, signal.SIGKILL)
    process.wait(timeout=10)
    if process.stdout:
        process.stdout.close()


@contextlib.contextmanager
def moving_desktop(width=1280, height=720):
    """An Xvfb with the animated scene on it, as DISPLAY; yields the display name."""
    server = start_xvfb(width, height)
    previous = os.environ.get("DISPLAY")
    animator = None
    try:
        os.environ["DISPLAY"] = server.display
        # An arrow rather than the root window's X-shaped default, as on a real desktop.
        subprocess.run(["xsetroot", "-cursor_name", "left_ptr"], check=True, timeout=30)
        # Its own session, so that Ctrl+C in the terminal reaches only us and we end it.
        animator = subprocess.Popen([sys.executable, __file__, "animate", server.display, str(width), str(height)],
                                    stdout=subprocess.PIPE, text=True, start_new_session=True)
        if animator.stdout.readline() != "drawn\n":
            raise RuntimeError(f"the animating client exited with status {animator.wait(timeout=10)}")
        yield server.display
    finally:
        with signals_held():
            if animator is not None:
                end(animator)
            server.stop()
        if previous is None:
            os.environ.pop("DISPLAY", None)
        else:
            os.environ["DISPLAY"] = previous


@contextlib.contextmanager
def signals_held():
    """Ctrl+C and SIGTERM are ignored while the servers end: a second one would otherwise
    cut their ending short and leave them running."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    held = {sig: signal.signal(sig, signal.SIG_IGN) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for sig, handler in held.items():
            signal.signal(sig, handler)


if __name__ == "__main__" and sys.argv[1:2] == ["animate"]:
    animate(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
