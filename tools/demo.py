"""`make demo`: the main job on a desktop of its own. Starts an Xvfb with moving content
and a moving pointer, captures it with the X11 module, and writes under out/:

    screenshot.png   the current image, pointer drawn in
    region.png       one second of a region at 10 frames a second, side by side
    desktop.mp4      3 seconds of the whole output from frames(30)

The server and its animating client are ended by process id on every path.
"""
import os
import pathlib
import signal
import statistics
import sys
import time
from fractions import Fraction

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import vistrel  # noqa: E402
from xdesktop import ANIMATION, moving_desktop  # noqa: E402

OUT = pathlib.Path(os.environ.get("VISTREL_DEMO_OUT", HERE.parent / "out"))


def lateness_ms(started, slots):
    """How late each (returned at, slot time) came against its due time, in milliseconds."""
    return [(returned - started - seconds) * 1000 for returned, seconds in slots]


def screenshot(capturer):
    from PIL import Image

    started = time.perf_counter()
    image = capturer.screenshot(fmt="rgb")
    took = (time.perf_counter() - started) * 1000
    Image.fromarray(image).save(OUT / "screenshot.png")
    cursor = capturer._debug_cursor()
    print(f"screenshot(fmt='rgb'): {image.shape} in {took:.1f} ms, pointer drawn at "
          f"({cursor['pos_x']}, {cursor['pos_y']}) -> out/screenshot.png")


def region_at_fixed_rate(capturer):
    from PIL import Image

    tiles, slots = [], []
    with capturer.frames(10, fmt="rgb", region=ANIMATION) as frames:
        started = time.perf_counter()
        for frame, seconds in frames:
            slots.append((time.perf_counter(), seconds))
            tiles.append(frame[::2, ::2])  # half size, so the strip stays small
            if len(tiles) == 10:
                break
    Image.fromarray(np.concatenate(tiles, axis=1)).save(OUT / "region.png")
    late = lateness_ms(started, slots[1:])  # slot 0 waits for the first change, not a clock
    print(f"frames(10, region={ANIMATION}): {len(tiles)} frames of {frame.shape} in "
          f"{slots[-1][1]:.1f} s, slots at most {max(late):.1f} ms late -> out/region.png")


def video(capturer, seconds=3, fps=30):
    import av

    path = OUT / "desktop.mp4"
    encoded, slots = 0, []
    with av.open(str(path), mode="w") as container:
        stream = container.add_stream("h264", rate=fps)
        stream.width, stream.height = capturer.width & ~1, capturer.height & ~1  # 4:2:0 needs even sizes
        stream.pix_fmt = "yuv420p"
        stream.time_base = Fraction(1, fps)
        with capturer.frames(fps, fmt="rgb") as frames:
            started = time.perf_counter()
            for slot, (image, at) in enumerate(frames):
                if slot == seconds * fps:
                    break
                slots.append((time.perf_counter(), at))
                frame = av.VideoFrame.from_ndarray(image[: stream.height, : stream.width], format="rgb24")
                frame.pts = slot
                container.mux(stream.encode(frame))
                encoded += 1
        container.mux(stream.encode())
    late = lateness_ms(started, slots[1:])
    print(f"frames({fps}): {encoded} frames ({seconds} s) encoded as H.264, slot lateness median "
          f"{statistics.median(late):.1f} ms, max {max(late):.1f} ms -> out/desktop.mp4")


def main():
    # SIGTERM (kill, timeout) unwinds like Ctrl+C, so the server is ended either way.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.stdout.reconfigure(line_buffering=True)  # each step shows as it ends, also through a pipe
    OUT.mkdir(parents=True, exist_ok=True)
    with moving_desktop(1280, 720) as display:
        print(f"Xvfb on {display}, 1280x720, with moving content and a moving pointer")
        for o in vistrel.list_outputs():
            print(f"output {o['device_idx']}.{o['output_idx']}: {o['output_name']} {o['width']}x{o['height']} "
                  f"({o['name']})")
        with vistrel.Capturer(0) as capturer:
            screenshot(capturer)
            region_at_fixed_rate(capturer)
            video(capturer)
    print("server ended; everything is in", OUT)


if __name__ == "__main__":
    main()
