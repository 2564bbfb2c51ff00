"""The video file of ``vistrel record``: its container and encoder chosen from the file
name, and a thread that encodes slots behind a queue bounded in bytes."""
from __future__ import annotations

import io
import os
import pathlib
import queue
import sys
import threading
import time
from fractions import Fraction
from typing import TYPE_CHECKING, Any, BinaryIO, Callable, Dict, Optional, Tuple

from vistrel._cli_errors import CommandError, UsageError

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

# Options that make an encoder hold no frame back: a stopped recording then ends at its last
# encoded slot, and closing the file never waits for a look-ahead of frames to be encoded.
REALTIME_OPTIONS: Dict[str, Dict[str, str]] = {
    "libx264": {"preset": "veryfast", "tune": "zerolatency"},
    "libx265": {"preset": "veryfast", "tune": "zerolatency"},
    "libvpx": {"deadline": "realtime", "cpu-used": "8", "lag-in-frames": "0"},
    "libvpx-vp9": {"deadline": "realtime", "cpu-used": "8", "lag-in-frames": "0", "row-mt": "1"},
}
# The encoder's input layouts, best first: 4:2:0 video, then what stills and GIF take.
PIXEL_FORMATS = ("yuv420p", "rgb24", "rgb8")
# What the encoder queue may hold: enough to ride out a slow frame, never gigabytes.
QUEUE_BYTES = 64 << 20
# How long a stopped recording goes on encoding queued slots before leaving the rest out.
DRAIN_SECONDS = 0.2


class VideoFile:
    """A constant-rate video of BGRA slots. The encoder is checked on a tiny frame in memory
    when this is made, and `create` makes the file before the recording starts, so a wrong
    name or an unwritable place fails at once."""

    def __init__(self, path: pathlib.Path, fps: int, codec: Optional[str]) -> None:
        try:
            import av
        except ImportError:
            raise CommandError("recording needs PyAV: pip install 'vistrel[video]'") from None
        self.av, self.path, self.fps = av, path, fps
        self.file: Optional[BinaryIO] = None
        self.container: Any = None  # writes into `file`; closed before it
        self.stream: Any = None
        self.written = 0
        self.format_name = container_format(av, path)
        self.codec = encoder_name(av, self.format_name, codec)
        self.pix_fmt = pixel_format(av, self.codec)
        self.options = REALTIME_OPTIONS.get(self.codec, {})
        try:
            self._encode_test_frame()
        except Exception as error:
            raise CommandError(f"{self.codec} cannot record into {self.format_name} ({path.name}): "
                               f"{one_line(error)}") from None

    def _encode_test_frame(self) -> None:
        memory = io.BytesIO()
        with self.av.open(memory, mode="w", format=self.format_name) as container:
            stream = self._add_stream(container, 16, 16)
            frame = self.av.VideoFrame(16, 16, "bgra")
            frame.pts = 0
            for packet in stream.encode(frame):
                container.mux(packet)
            for packet in stream.encode():
                container.mux(packet)

    def _add_stream(self, container: Any, width: int, height: int) -> Any:
        stream = container.add_stream(self.codec, rate=self.fps, options=self.options)
        stream.width, stream.height = width, height
        stream.pix_fmt = self.pix_fmt
        stream.time_base = Fraction(1, self.fps)
        return stream

    def create(self, width: int, height: int) -> None:
        """Makes the file for slots of `width` x `height` pixels (an odd last row or column is
        left out: 4:2:0 video needs even sizes)."""
        width, height = width & ~1, height & ~1
        if width == 0 or height == 0:
            raise CommandError("the region is too small for video (at least 2x2)")
        try:
            # A file of our own: an unwritable place fails here, not at the first frame, and
            # a write that fails (a full disk) raises at once rather than at the end.
            self.file = open(self.path, "wb")
        except OSError as error:
            raise CommandError(f"cannot write {self.path}: {error.strerror or error}") from None
        self.container = self.av.open(self.file, mode="w", format=self.format_name)
        self.stream = self._add_stream(self.container, width, height)

    def write(self, image: NDArray[np.uint8], slot: int) -> None:
        height, width = self.stream.height, self.stream.width
        if image.shape[:2] != (height, width):
            import numpy as np

            image = np.ascontiguousarray(image[:height, :width])
        frame = self.av.VideoFrame.from_ndarray(image, format="bgra")
        frame.pts = slot
        for packet in self.stream.encode(frame):
            self.container.mux(packet)
        self.written += 1

    def close(self) -> None:
        """Flushes the encoder and writes the index: the file is playable. When that fails
        (a full disk), the unplayable file is removed and the failure raised."""
        if self.file is None:
            return
        try:
            if self.written:
                for packet in self.stream.encode():
                    self.container.mux(packet)
            self.container.close()
            self.file.close()
        except BaseException:
            self.discard()
            raise
        self.file = None
        if not self.written:
            os.remove(self.path)

    def discard(self) -> None:
        """Removes the file after a failure that left nothing worth keeping."""
        if self.file is None:
            return
        for closable in (self.container, self.file):
            try:
                closable.close()
            except Exception:
                pass  # the file goes anyway
        self.file = None
        try:
            os.remove(self.path)
        except OSError:
            pass


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def container_format(av: Any, path: pathlib.Path) -> str:
    """The muxer that the file name asks for; still-image names are refused."""
    probe = io.BytesIO()
    probe.name = path.name  # PyAV guesses the muxer from a file object's name
    try:
        with av.open(probe, mode="w") as container:
            name: str = container.format.name
    except ValueError:
        raise UsageError(f"unknown video type {path.suffix or path.name!r}: use .mp4, .mkv, .webm, .gif, ...") from None
    if name == "image2":
        raise UsageError(f"{path.suffix} is a still image: record writes video (.mp4, .mkv, .webm, .gif, ...); "
                         f"vistrel grab -o {path.name} saves one image")
    return name


def encoder_name(av: Any, format_name: str, codec: Optional[str]) -> str:
    """The encoder given, or the container's own default (h264 for .mp4, vp9 for .webm, gif)."""
    if codec is None:
        with av.open(io.BytesIO(), mode="w", format=format_name) as container:
            codec = str(container.default_video_codec)
    try:
        return str(av.codec.Codec(codec, "w").name)
    except Exception as error:
        raise CommandError(f"codec {codec!r} unavailable: {one_line(error)}") from None


def pixel_format(av: Any, codec: str) -> str:
    offered = [f.name for f in av.codec.Codec(codec, "w").video_formats or ()]
    return next((f for f in PIXEL_FORMATS if f in offered), offered[0] if offered else "yuv420p")


Item = Tuple["NDArray[np.uint8]", int]


class Encoder:
    """Encodes slots on a thread of its own, so that encoding does not hold up the capture,
    and reports progress on stderr once a second. The queue holds at most QUEUE_BYTES (two
    slots at least): a capture faster than the encoder waits, and its slots are served late.
    Once `stopped_at` answers a time, queued slots are encoded for DRAIN_SECONDS more and the
    rest is left out, so that a stop ends promptly whatever the backlog."""

    def __init__(self, video: VideoFile, slots: int, slot_bytes: int,
                 stopped_at: Callable[[], Optional[float]]) -> None:
        self.video, self.slots, self.stopped_at = video, slots, stopped_at
        depth = max(2, min(2 * video.fps + 2, QUEUE_BYTES // max(1, slot_bytes)))
        self.items: queue.Queue[Optional[Item]] = queue.Queue(maxsize=depth)
        self.error: Optional[BaseException] = None
        self.late = 0
        self.left_out = 0
        self.started = time.monotonic()
        self.thread = threading.Thread(target=self.run, name="vistrel-encoder", daemon=True)
        self.thread.start()

    def put(self, image: NDArray[np.uint8], slot: int, arrived: float) -> None:
        """Queues slot `slot`, served `arrived` seconds after recording began."""
        if self.error is not None:
            raise self.error
        if arrived - slot / self.video.fps > 1.0 / self.video.fps:
            self.late += 1
        self.items.put((image, slot))

    def report(self) -> None:
        print(f"\r{self.video.written}/{self.slots} frames  {time.monotonic() - self.started:6.1f} s  "
              f"{self.late} late", end="", file=sys.stderr, flush=True)

    def run(self) -> None:
        last_report = time.monotonic()
        while True:
            try:
                item = self.items.get(timeout=0.25)
            except queue.Empty:
                pass  # nothing yet: report all the same
            else:
                if item is None:
                    break
                self.encode(*item)
            if time.monotonic() - last_report >= 1.0:
                last_report = time.monotonic()
                self.report()

    def encode(self, image: NDArray[np.uint8], slot: int) -> None:
        stopped = self.stopped_at()
        if self.error is not None or (stopped is not None and time.monotonic() > stopped + DRAIN_SECONDS):
            self.left_out += self.error is None
            return  # drained unencoded, so that the capture never blocks on the queue
        try:
            self.video.write(image, slot)
        except BaseException as error:
            self.error = error

    def finish(self) -> None:
        """Waits for the queued slots (or the drain after a stop), then closes the file."""
        self.items.put(None)
        self.thread.join()
        if self.error is not None:
            self.video.discard()
            raise self.error
        self.video.close()
