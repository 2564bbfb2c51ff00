"""The command line: ``vistrel list | grab | record | bench`` (also ``python -m vistrel``).

Exit codes: 0 done, 1 a capture or output failure (message on stderr), 2 a usage error,
130 a recording stopped with Ctrl-C (the file is complete and playable).
"""
from __future__ import annotations

import argparse
import pathlib
import queue
import sys
import threading
import time
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple

from vistrel import _vistrel

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

ROTATIONS = {0: "?", 1: "0", 2: "90", 3: "180", 4: "270"}
PIL_MODES = {"rgb": "RGB", "rgba": "RGBA", "gray": "L", "grey": "L"}


class CommandError(Exception):
    """A failure the user can act on: printed as one line, exit status 1."""


def region_arg(text: str) -> Tuple[int, int, int, int]:
    parts = text.split(",")
    try:
        values = tuple(int(p) for p in parts)
    except ValueError:
        values = ()
    if len(values) != 4:
        raise argparse.ArgumentTypeError(f"expected L,T,R,B (four integers), got {text!r}")
    return values[0], values[1], values[2], values[3]


def table(rows: Sequence[Sequence[object]]) -> str:
    cells = [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(cells[0]))]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip() for row in cells)


# --- list --------------------------------------------------------------------------------
def cmd_list(args: argparse.Namespace) -> int:
    outputs = _vistrel.list_outputs()
    if not outputs:
        print("no outputs: this machine offers no display to capture", file=sys.stderr)
        return 1
    rows: List[Sequence[object]] = [("device", "output", "adapter", "output name", "resolution", "rotation",
                                     "attached")]
    for o in outputs:
        rows.append((o["device_idx"], o["output_idx"], o["name"], o["output_name"], f"{o['width']}x{o['height']}",
                     ROTATIONS.get(o["rotation"], str(o["rotation"])), "yes" if o["is_primary"] else "no"))
    print(table(rows))
    return 0


# --- grab --------------------------------------------------------------------------------
def save_png(path: pathlib.Path, image: NDArray[np.uint8], fmt: str) -> None:
    try:
        from PIL import Image
    except ImportError:
        raise CommandError("writing PNG needs Pillow: pip install 'vistrel[png]' (or save as .npy)") from None
    Image.fromarray(image[..., 0] if fmt in ("gray", "grey") else image, PIL_MODES[fmt]).save(path)


def cmd_grab(args: argparse.Namespace) -> int:
    path = pathlib.Path(args.o)
    suffix = path.suffix.lower()
    fmt = args.fmt.lower()
    if suffix == ".png" and fmt not in PIL_MODES:
        raise CommandError(f"PNG holds rgb, rgba or gray pixels, not {args.fmt}; save {args.fmt} as .npy")
    if suffix not in (".png", ".npy"):
        raise CommandError(f"unknown output type {path.suffix or path.name!r}: use .png or .npy")
    with _vistrel.Capturer(args.output, device=args.device, cursor=not args.no_cursor) as capturer:
        image = capturer.screenshot(fmt=fmt, region=args.region)
    if suffix == ".npy":
        import numpy as np

        np.save(path, image)
    else:
        save_png(path, image, fmt)
    print(f"{path}: {image.shape[1]}x{image.shape[0]} {fmt}", file=sys.stderr)
    return 0


# --- record ------------------------------------------------------------------------------
class Recorder:
    """Runs a Capturer and its frames() iterator on a thread of its own (both belong to the
    thread that made them), handing each slot to the encoding thread through a queue, so
    that Ctrl-C reaches the main thread at once even while the iterator waits."""

    def __init__(self, args: argparse.Namespace, fps: int, slots: int) -> None:
        self.args, self.fps, self.slots = args, fps, slots
        self.items: queue.Queue[Tuple[str, Any]] = queue.Queue(maxsize=2 * fps + 2)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.still: Optional[NDArray[np.uint8]] = None  # set by the thread before it iterates
        self.started = 0.0

    def put(self, kind: str, value: Any) -> bool:
        while not self.stop.is_set():
            try:
                self.items.put((kind, value), timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def run(self) -> None:
        try:
            self.capture()
        except BaseException as error:  # reported by the main thread
            self.put("error", error)
        else:
            self.put("end", None)

    def capture(self) -> None:
        a = self.args
        with _vistrel.Capturer(a.output, device=a.device, cursor=not a.no_cursor) as capturer:
            # The desktop as it is when recording starts: the iterator's first frame is the
            # first change, which a still desktop never makes.
            still = capturer.screenshot(fmt="rgb", region=a.region)
            self.started = time.monotonic()
            self.still = still
            started = self.started
            duration_ms = -(-self.slots * 1000 // self.fps)
            frames = capturer.frames(self.fps, fmt="rgb", region=a.region, timeout_ms=duration_ms)
            with frames:
                first_change: Optional[float] = None
                try:
                    for frame, seconds in frames:
                        slot = round(seconds * self.fps)
                        if slot >= self.slots:
                            return
                        arrived = time.monotonic() - started
                        if first_change is None:
                            first_change = arrived
                        # The iterator serves the slots that passed before the first change
                        # late, with that change; they showed the image from before it.
                        if (slot + 1) / self.fps <= first_change:
                            frame, arrived = still, slot / self.fps
                        if not self.put("frame", (frame, slot, arrived)):
                            return
                except _vistrel.CaptureTimeout:
                    if first_change is not None:
                        raise
                    # Still for the whole recording: a still video of the full length.
                    for slot in range(self.slots):
                        if not self.put("frame", (still, slot, slot / self.fps)):
                            return


class VideoFile:
    """A constant-rate video of RGB slots, opened at the first frame (which gives the size);
    `close` flushes the encoder and leaves a playable file."""

    def __init__(self, path: pathlib.Path, fps: int, codec: str) -> None:
        try:
            import av
        except ImportError:
            raise CommandError("recording needs PyAV: pip install 'vistrel[video]'") from None
        try:
            av.codec.Codec(codec, "w")
        except Exception as error:
            raise CommandError(f"codec {codec!r} unavailable: {error}") from None
        self.av, self.path, self.fps, self.codec = av, path, fps, codec
        self.container: Any = None
        self.stream: Any = None
        self.written = 0

    def open(self, width: int, height: int) -> None:
        from fractions import Fraction

        # 4:2:0 video needs even sizes: an odd last row or column is left out.
        width, height = width & ~1, height & ~1
        if width == 0 or height == 0:
            raise CommandError("the region is too small for video (at least 2x2)")
        self.container = self.av.open(str(self.path), mode="w")
        self.stream = self.container.add_stream(self.codec, rate=self.fps)
        self.stream.width, self.stream.height = width, height
        self.stream.pix_fmt = "yuv420p"
        self.stream.time_base = Fraction(1, self.fps)

    def write(self, image: NDArray[np.uint8], slot: int) -> None:
        if self.container is None:
            self.open(image.shape[1], image.shape[0])
        height, width = self.stream.height, self.stream.width
        if image.shape[:2] != (height, width):
            import numpy as np

            image = np.ascontiguousarray(image[:height, :width])
        frame = self.av.VideoFrame.from_ndarray(image, format="rgb24")
        frame.pts = slot
        for packet in self.stream.encode(frame):
            self.container.mux(packet)
        self.written += 1

    def close(self) -> None:
        if self.container is not None:
            for packet in self.stream.encode():
                self.container.mux(packet)
            self.container.close()
            self.container = None


def cmd_record(args: argparse.Namespace) -> int:
    if args.fps < 1:
        raise CommandError("--fps must be at least 1")
    if args.seconds <= 0:
        raise CommandError("--seconds must be positive")
    video = VideoFile(pathlib.Path(args.o), args.fps, args.codec)
    slots = max(1, round(args.seconds * args.fps))
    recorder = Recorder(args, args.fps, slots)
    started = time.monotonic()
    recorder.thread.start()
    late = 0
    interrupted = False
    last_report = started

    def report() -> None:
        print(f"\r{video.written}/{slots} frames  {time.monotonic() - started:6.1f} s  {late} late", end="",
              file=sys.stderr, flush=True)

    try:
        while True:
            try:
                kind, value = recorder.items.get(timeout=0.2)
            except queue.Empty:
                kind, value = "wait", None
            if kind == "error":
                raise value
            if kind == "end":
                break
            if kind == "frame":
                image, slot, arrived = value
                video.write(image, slot)
                if arrived - slot / args.fps > 1.0 / args.fps:
                    late += 1
            if time.monotonic() - last_report >= 1.0:
                last_report = time.monotonic()
                report()
    except KeyboardInterrupt:
        interrupted = True
        # Stopped while the desktop stood still: the slots that passed showed the still image.
        if video.written == 0 and recorder.still is not None:
            passed = int((time.monotonic() - recorder.started) * args.fps)
            for slot in range(min(passed, slots)):
                video.write(recorder.still, slot)
    finally:
        recorder.stop.set()
        video.close()
        if not interrupted:
            # The capture thread closes its Capturer as soon as it sees the stop.
            recorder.thread.join(timeout=5)
    report()
    print(file=sys.stderr)
    if video.written == 0:
        raise CommandError("no frame recorded")
    print(f"{args.o}: {video.written} frames, {video.written / args.fps:.2f} s at {args.fps} fps, "
          f"{late} slots served late" + (" (stopped)" if interrupted else ""), file=sys.stderr)
    return 130 if interrupted else 0


# --- bench -------------------------------------------------------------------------------
def cmd_bench(args: argparse.Namespace) -> int:
    rows: List[Sequence[object]] = [("capture", "frames/s", "ms/frame")]
    with _vistrel.Capturer(args.output, device=args.device, cursor=not args.no_cursor) as capturer:
        size = f"{capturer.width}x{capturer.height}"
        for fmt in ("bgra", "bgr", "rgba", "rgb", "gray"):
            capturer.screenshot(fmt=fmt)
            count, started = 0, time.perf_counter()
            while time.perf_counter() - started < args.seconds:
                capturer.screenshot(fmt=fmt)
                count += 1
            elapsed = time.perf_counter() - started
            rows.append((f"screenshot {fmt}", f"{count / elapsed:.1f}", f"{1000 * elapsed / count:.2f}"))
        print(f"output {args.output} of adapter {args.device}, {size}")
        print(table(rows))
        print()
        lateness: List[float] = []
        try:
            with capturer.frames(args.fps, timeout_ms=int(args.seconds * 1000) + 1000) as frames:
                started = time.perf_counter()
                for _, seconds in frames:
                    lateness.append(time.perf_counter() - started - seconds)
                    if len(lateness) >= args.seconds * args.fps:
                        break
        except _vistrel.CaptureTimeout:
            print(f"frames({args.fps}): the desktop did not change, so there was no frame to pace")
            return 0
    lateness.sort()
    late = sum(1 for x in lateness if x > 1.0 / args.fps)
    print(table([("frames()", "slots", "median late ms", "p99 late ms", "max late ms", "late > 1 period"),
                 (f"{args.fps} fps", len(lateness), f"{1000 * lateness[len(lateness) // 2]:.2f}",
                  f"{1000 * lateness[int(len(lateness) * 0.99)]:.2f}", f"{1000 * lateness[-1]:.2f}", late)]))
    return 0


# --- parser ------------------------------------------------------------------------------
def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vistrel", description="Capture the desktop: screenshots, video, figures.")
    p.add_argument("--version", action="version", version=f"vistrel {_version()}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def source(command: argparse.ArgumentParser, region: bool = True) -> None:
        command.add_argument("-d", "--device", type=int, default=0, help="adapter index (vistrel list)")
        command.add_argument("-m", "--output", type=int, default=0, help="output (monitor) index of the adapter")
        if region:
            command.add_argument("--region", type=region_arg, metavar="L,T,R,B",
                                 help="a rectangle in the output's pixels, right and bottom exclusive")
        command.add_argument("--no-cursor", action="store_true", help="leave the mouse pointer out")

    sub.add_parser("list", help="adapters and outputs").set_defaults(run=cmd_list)

    grab = sub.add_parser("grab", help="save the current image as .png or .npy")
    grab.add_argument("-o", required=True, metavar="FILE", help="shot.png (needs vistrel[png]) or shot.npy")
    grab.add_argument("--fmt", default="rgb", help="bgra, bgr, rgba, rgb (default) or gray")
    source(grab)
    grab.set_defaults(run=cmd_grab)

    record = sub.add_parser("record", help="record a video (needs vistrel[video])")
    record.add_argument("-o", required=True, metavar="FILE", help="clip.mp4 (any container PyAV writes)")
    record.add_argument("--fps", type=int, default=30, help="frames per second (default 30)")
    record.add_argument("--seconds", type=float, default=10.0, help="length (default 10; Ctrl-C ends early)")
    record.add_argument("--codec", default="h264", help="encoder (default h264)")
    source(record)
    record.set_defaults(run=cmd_record)

    bench = sub.add_parser("bench", help="capture rates and frames() lateness on this machine")
    bench.add_argument("--seconds", type=float, default=2.0, help="time per measurement (default 2)")
    bench.add_argument("--fps", type=int, default=60, help="frames() rate (default 60)")
    source(bench, region=False)
    bench.set_defaults(run=cmd_bench)
    return p


def _version() -> str:
    import vistrel

    return vistrel.__version__


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parser().parse_args(argv)
    try:
        return int(args.run(args))
    except CommandError as error:
        print(f"vistrel {args.command}: {error}", file=sys.stderr)
        return 1
    except (_vistrel.CaptureError, ValueError, RuntimeError, OverflowError, OSError) as error:
        print(f"vistrel {args.command}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
