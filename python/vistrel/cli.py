"""The command line: ``vistrel list | grab | record | bench`` (also ``python -m vistrel``).

Exit codes: 0 done, 1 a capture or output failure (message on stderr), 2 a usage error;
a recording stopped by a signal exits 128 + its number (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP)
and leaves a complete, playable file.
"""
from __future__ import annotations

import argparse
import io
import math
import os
import pathlib
import sys
import time
from typing import TYPE_CHECKING, Callable, List, Optional, Sequence, Tuple

from vistrel import _vistrel
from vistrel._cli_errors import CommandError, UsageError

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

# The number list_outputs() gives, with what it means beside it.
ROTATIONS = {0: "0 (unknown)", 1: "1 (none)", 2: "2 (90°)", 3: "3 (180°)", 4: "4 (270°)"}
FORMATS = ("bgra", "bgr", "rgba", "rgb", "gray", "grey")
IMAGE_FORMATS = ("rgb", "rgba", "gray", "grey")
U32_MAX = 0xFFFFFFFF
# Options whose value may begin with "-", which argparse would take for an option.
VALUE_OPTIONS = ("--region",)


def index_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= U32_MAX:
        raise argparse.ArgumentTypeError(f"expected a whole number from 0 to {U32_MAX}, got {text!r}")
    return value


def fps_arg(text: str) -> int:
    value = index_arg(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def seconds_arg(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return value


def fmt_arg(text: str) -> str:
    if text.lower() not in FORMATS:
        raise argparse.ArgumentTypeError(f"unknown fmt {text!r}, expected one of bgra/bgr/rgba/rgb/gray")
    return text.lower()


def region_arg(text: str) -> Tuple[int, int, int, int]:
    try:
        values = tuple(index_arg(p) for p in text.split(","))
    except argparse.ArgumentTypeError:
        values = ()
    if len(values) != 4:
        raise argparse.ArgumentTypeError(f"expected L,T,R,B (four whole numbers, 0 or more), got {text!r}")
    return values[0], values[1], values[2], values[3]


def values_attached(argv: Sequence[str]) -> List[str]:
    """`--region -1,0,10,10` as `--region=-1,0,10,10`, so that the value is checked as one."""
    out: List[str] = []
    for arg in argv:
        if out and out[-1] in VALUE_OPTIONS and arg.startswith("-"):
            out[-1] = f"{out[-1]}={arg}"
        else:
            out.append(arg)
    return out


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
    # So does how pixels are read: an X server may refuse shared memory.
    paths = ", ".join(sorted({o["pixel_path"] for o in outputs}))
    print(f"provider: {outputs[0]['provider']}, pixel path: {paths}", file=sys.stderr)
    return 0


def cmd_record(args: argparse.Namespace) -> int:
    # Imported when used: the video side (and what it imports) costs every other command.
    from vistrel._record import cmd_record as record

    return record(args)


# --- grab ------------------------------------------------------------------------------
# Pillow's names of the layouts it holds.
PILLOW_MODES = {3: "RGB", 4: "RGBA", 1: "L"}


def image_writer(path: pathlib.Path, fmt: str) -> Callable[[bytes, Tuple[int, int, int]], None]:
    """What saves the image, given as bytes and their (height, width, channels), to `path`:
    NumPy for .npy, Pillow for every image type it writes. Checked before the capture, so
    that a wrong name costs nothing."""
    suffix = path.suffix.lower()
    if suffix == ".npy":
        import numpy as np

        return lambda pixels, shape: np.save(path, np.frombuffer(pixels, np.uint8).reshape(shape))
    try:
        from PIL import Image
    except ImportError:
        raise CommandError(f"writing {suffix or 'images'} needs Pillow: pip install 'vistrel[png]' "
                           f"(or save as .npy)") from None
    # The common types first: loading every plugin Pillow has costs more than the capture.
    Image.preinit()
    kind = Image.EXTENSION.get(suffix) or Image.registered_extensions().get(suffix)
    if kind is None or kind not in Image.SAVE:
        raise UsageError(f"unknown output type {path.suffix or path.name!r}: use .npy or an image type "
                         f"Pillow writes (.png, .jpg, .bmp, .tiff, .webp, ...)")
    if fmt not in IMAGE_FORMATS:
        raise CommandError(f"{kind} holds rgb, rgba or gray pixels, not {fmt}; save {fmt} as .npy")

    # Bytes rather than an array: importing NumPy would cost the command more than the
    # capture and the encoding together.
    def save(pixels: bytes, shape: Tuple[int, int, int]) -> None:
        height, width, channels = shape
        mode = PILLOW_MODES[channels]
        encoded = io.BytesIO()  # so that a refusal leaves no file behind
        try:
            Image.frombuffer(mode, (width, height), pixels, "raw", mode, 0, 1).save(encoded, format=kind)
        except (OSError, ValueError, KeyError) as error:
            raise CommandError(f"{kind} cannot hold {fmt} pixels: {error}") from None
        path.write_bytes(encoded.getvalue())

    return save


def cmd_grab(args: argparse.Namespace) -> int:
    path = pathlib.Path(args.o)
    save = image_writer(path, args.fmt)
    # One image: a duplication opened for it alone, without a kept Capturer's warm-up.
    pixels, shape = _vistrel._screenshot(args.output, device=args.device, fmt=args.fmt, region=args.region,
                                         cursor=not args.no_cursor, raw=True)
    height, width = shape[:2]
    try:
        save(pixels, shape)
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error.strerror or error}") from None
    print(f"{path}: {width}x{height} {args.fmt}", file=sys.stderr)
    return 0


# --- bench -------------------------------------------------------------------------------
def cmd_bench(args: argparse.Namespace) -> int:
    # A new frame is a grab() result, a desktop image that changed since the one before;
    # screenshot() also returns the newest image again when nothing changed, a copy that
    # says nothing of how fast changes are captured.
    rows: List[Sequence[object]] = [("layout", "new frames/s", "ms/new frame", "copies/s")]
    with _vistrel.Capturer(args.output, device=args.device, cursor=not args.no_cursor) as capturer:
        size = f"{capturer.width}x{capturer.height}"
        for fmt in ("bgra", "bgr", "rgba", "rgb", "gray"):
            fresh, started = 0, time.perf_counter()
            while (left := args.seconds - (time.perf_counter() - started)) > 0:
                fresh += capturer.grab(timeout_ms=max(1, int(left * 1000)), fmt=fmt) is not None
            elapsed = time.perf_counter() - started
            copies, copy_started = 0, time.perf_counter()
            while copies == 0 or time.perf_counter() - copy_started < args.seconds:
                capturer.screenshot(fmt=fmt)
                copies += 1
            copy_rate = copies / (time.perf_counter() - copy_started)
            rows.append((fmt, f"{fresh / elapsed:.1f}", f"{1000 * elapsed / fresh:.2f}" if fresh else "-",
                         f"{copy_rate:.1f}"))
        print(f"output {args.output} of adapter {args.device}, {size}")
        print(table(rows))
        print("new frames: grab() results, each a change of the desktop, so at most as many as the desktop made;")
        print("copies: screenshot() of the newest image, also when nothing changed (not new frames)")
        print()
        lateness: List[float] = []
        try:
            timeout_ms = min(U32_MAX, int(args.seconds * 1000) + 1000)
            with capturer.frames(args.fps, timeout_ms=timeout_ms) as frames:
                started = time.perf_counter()
                for _, seconds in frames:
                    lateness.append(time.perf_counter() - started - seconds)
                    if len(lateness) >= max(1.0, args.seconds * args.fps):
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
        command.add_argument("-d", "--device", type=index_arg, default=0, help="adapter index (vistrel list)")
        command.add_argument("-m", "--output", type=index_arg, default=0,
                             help="output (monitor) index of the adapter")
        if region:
            command.add_argument("--region", type=region_arg, metavar="L,T,R,B",
                                 help="a rectangle in the output's pixels, right and bottom exclusive")
        command.add_argument("--no-cursor", action="store_true", help="leave the mouse pointer out")

    sub.add_parser("list", help="adapters and outputs").set_defaults(run=cmd_list)

    grab = sub.add_parser("grab", help="save the current image as .png (any type Pillow writes) or .npy")
    grab.add_argument("-o", required=True, metavar="FILE",
                      help="shot.png, shot.jpg, ... (need vistrel[png]) or shot.npy")
    grab.add_argument("--fmt", type=fmt_arg, default="rgb", help="bgra, bgr, rgba, rgb (default) or gray")
    source(grab)
    grab.set_defaults(run=cmd_grab)

    record = sub.add_parser("record", help="record a video (needs vistrel[video])")
    record.add_argument("-o", required=True, metavar="FILE",
                        help="clip.mp4, clip.mkv, clip.webm, clip.gif (any container PyAV writes)")
    record.add_argument("--fps", type=fps_arg, default=30, help="frames per second (default 30)")
    record.add_argument("--seconds", type=seconds_arg, default=10.0,
                        help="length (default 10; Ctrl-C, SIGTERM or SIGHUP end early)")
    record.add_argument("--codec", help="encoder (default: the container's, h264 for .mp4/.mkv, vp9 for .webm)")
    source(record)
    record.set_defaults(run=cmd_record)

    bench = sub.add_parser("bench", help="capture rates and frames() lateness on this machine")
    bench.add_argument("--seconds", type=seconds_arg, default=2.0, help="time per measurement (default 2)")
    bench.add_argument("--fps", type=fps_arg, default=60, help="frames() rate (default 60)")
    source(bench, region=False)
    bench.set_defaults(run=cmd_bench)
    return p


def _version() -> str:
    import vistrel

    return vistrel.__version__


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parser().parse_args(values_attached(sys.argv[1:] if argv is None else argv))
    args.exiting = argv is None  # run as the program, which ends when this returns
    try:
        status = int(args.run(args))
    except CommandError as error:
        print(f"vistrel {args.command}: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print(f"vistrel {args.command}: interrupted", file=sys.stderr)
        return 130
    except (_vistrel.CaptureError, ValueError, RuntimeError, OverflowError, OSError) as error:
        print(f"vistrel {args.command}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    if args.exiting and status > 128:
        # Stopped by a signal, with the file closed: the interpreter's teardown (PyAV's many
        # modules) could take longer than whoever sent the signal waits.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    return status


if __name__ == "__main__":
    sys.exit(main())
