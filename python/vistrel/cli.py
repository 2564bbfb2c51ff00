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
    # Which provider serves (x11 or wayland on Linux) goes beside the table, not into it.
    print(f"provider: {outputs[0]['provider']}", file=sys.stderr)
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


class Encoder:
    """Encodes slots on a thread of its own, so that encoding does not hold up the capture
    on the caller's thread; reports progress on stderr once a second."""

    def __init__(self, video: VideoFile, fps: int, slots: int) -> None:
        self.video, self.fps, self.slots = video, fps, slots
        self.items: queue.Queue[Optional[Tuple[NDArray[np.uint8], int, float]]] = queue.Queue(maxsize=2 * fps + 2)
        self.error: Optional[BaseException] = None
        self.late = 0
        self.started = time.monotonic()
        self.thread = threading.Thread(target=self.run, name="vistrel-encoder", daemon=True)
        self.thread.start()

    def put(self, image: NDArray[np.uint8], slot: int, arrived: float) -> None:
        """Queues slot `slot`, delivered `arrived` seconds after recording began."""
        if self.error is not None:
            raise self.error
        self.items.put((image, slot, arrived))

    def report(self) -> None:
        print(f"\r{self.video.written}/{self.slots} frames  {time.monotonic() - self.started:6.1f} s  "
              f"{self.late} late", end="", file=sys.stderr, flush=True)

    def run(self) -> None:
        last_report = time.monotonic()
        while True:
            try:
                item = self.items.get(timeout=0.25)
            except queue.Empty:
                pass  # nothing yet (a still desktop): report all the same
            else:
                if item is None:
                    break
                self.encode(*item)
            if time.monotonic() - last_report >= 1.0:
                last_report = time.monotonic()
                self.report()

    def encode(self, image: NDArray[np.uint8], slot: int, arrived: float) -> None:
        if self.error is not None:
            return  # drain after an error, so that the capture never blocks on the queue
        try:
            self.video.write(image, slot)
        except BaseException as error:
            self.error = error
            return
        if arrived - slot / self.fps > 1.0 / self.fps:
            self.late += 1

    def finish(self) -> None:
        """Waits for the queued slots and closes the file, playable whatever came before."""
        self.items.put(None)
        self.thread.join()
        self.video.close()
        if self.error is not None:
            raise self.error


def record_slots(capturer: _vistrel.Capturer, args: argparse.Namespace, slots: int, encoder: Encoder) -> None:
    """Feeds `slots` slots of the frames() stream to the encoder. The iterator's first
    frame is the desktop's first change, which a still desktop never makes: the image from
    before it fills the slots that passed without one."""
    fps = args.fps
    still = capturer.screenshot(fmt="rgb", region=args.region)
    started = time.monotonic()
    first_change: Optional[float] = None
    try:
        with capturer.frames(fps, fmt="rgb", region=args.region, timeout_ms=-(-slots * 1000 // fps)) as frames:
            for frame, seconds in frames:
                slot = round(seconds * fps)
                if slot >= slots:
                    return
                arrived = time.monotonic() - started
                if first_change is None:
                    first_change = arrived
                # The slots due before the first change are served late, with that change;
                # they showed the image from before it.
                if (slot + 1) / fps <= first_change:
                    frame, arrived = still, slot / fps
                encoder.put(frame, slot, arrived)
    except _vistrel.CaptureTimeout:
        if first_change is not None:
            raise
        for slot in range(slots):  # still for the whole recording
            encoder.put(still, slot, slot / fps)
    except KeyboardInterrupt:
        if first_change is None:  # stopped while the desktop stood still
            for slot in range(min(slots, int((time.monotonic() - started) * fps))):
                encoder.put(still, slot, slot / fps)
        raise


def cmd_record(args: argparse.Namespace) -> int:
    if args.fps < 1:
        raise CommandError("--fps must be at least 1")
    if args.seconds <= 0:
        raise CommandError("--seconds must be positive")
    video = VideoFile(pathlib.Path(args.o), args.fps, args.codec)
    slots = max(1, round(args.seconds * args.fps))
    interrupted = False
    with _vistrel.Capturer(args.output, device=args.device, cursor=not args.no_cursor) as capturer:
        encoder = Encoder(video, args.fps, slots)
        try:
            record_slots(capturer, args, slots, encoder)
        except KeyboardInterrupt:
            interrupted = True
        finally:
            encoder.finish()
    encoder.report()
    print(file=sys.stderr)
    if video.written == 0:
        raise CommandError("no frame recorded")
    print(f"{args.o}: {video.written} frames, {video.written / args.fps:.2f} s at {args.fps} fps, "
          f"{encoder.late} slots served late" + (" (stopped)" if interrupted else ""), file=sys.stderr)
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
