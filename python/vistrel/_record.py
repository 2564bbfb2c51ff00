"""``vistrel record``: the frames() stream into a video file that stays playable however the
recording ends (its length, Ctrl-C, SIGTERM or SIGHUP, any number of them)."""
from __future__ import annotations

import argparse
import pathlib
import signal
import socket
import sys
import time
from types import FrameType
from typing import TYPE_CHECKING, Any, Dict, Optional, Tuple

from vistrel import _vistrel
from vistrel._cli_errors import CommandError
from vistrel._video import Encoder, VideoFile

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray


class Stopped(BaseException):
    """Ends the capture loop: raised by the first stop signal, once, and only there."""


class StopSignals:
    """While entered, SIGINT, SIGTERM and SIGHUP stop the recording instead of the process.
    Each is noted; the first one raises Stopped if the capture loop is running (`armed`), so
    that a wait for the desktop ends at once, and no later one interrupts the closing of the
    file. A signal the process ignores (nohup) stays ignored. When the process ends right
    after (`exiting`), a stopped recording leaves these signals ignored: one more arriving
    while the interpreter shuts down would otherwise replace the exit status with a kill.

    Signals that arrive together are all pending when the interpreter next looks, and it
    runs their handlers in signal-number order, SIGINT's before SIGTERM's. The order they
    arrived in is read from the interpreter's wakeup socket, which gets their numbers as
    they come, unless the process already uses it for something else."""

    NAMES = ("SIGINT", "SIGTERM", "SIGHUP")

    def __init__(self, exiting: bool) -> None:
        self.signum: Optional[int] = None
        self.since: Optional[float] = None
        self.armed = False
        self.exiting = exiting
        self._previous: Dict[int, Any] = {}
        self._arrivals: Optional[Tuple[socket.socket, socket.socket]] = None

    def __enter__(self) -> StopSignals:
        for name in self.NAMES:
            number = getattr(signal, name, None)
            if number is None or signal.getsignal(number) == signal.SIG_IGN:
                continue
            try:
                self._previous[number] = signal.signal(number, self._handle)
            except ValueError:
                pass  # not the main thread: the signals keep their handlers
        if self._previous:
            self._watch_arrivals()
        return self

    def __exit__(self, *exc: object) -> None:
        self.armed = False
        for number, handler in self._previous.items():
            signal.signal(number, signal.SIG_IGN if self.exiting and self.signum is not None else handler)
        if self._arrivals:
            signal.set_wakeup_fd(-1)
            for end in self._arrivals:
                end.close()
            self._arrivals = None

    def _watch_arrivals(self) -> None:
        reader, writer = socket.socketpair()  # a socket: Windows takes nothing else
        reader.setblocking(False)
        writer.setblocking(False)
        try:
            earlier = signal.set_wakeup_fd(writer.fileno(), warn_on_full_buffer=False)
        except ValueError:
            earlier = None
        if earlier == -1:
            self._arrivals = (reader, writer)
            return
        if earlier is not None:
            signal.set_wakeup_fd(earlier)  # the process's own: left as it was
        reader.close()
        writer.close()

    def _first_arrived(self, handled: int) -> int:
        if not self._arrivals:
            return handled
        try:
            arrived = self._arrivals[0].recv(512)
        except OSError:
            return handled
        return next((n for n in arrived if n in self._previous), handled)

    def _handle(self, signum: int, frame: Optional[FrameType]) -> None:
        if self.signum is None:
            self.signum, self.since = self._first_arrived(signum), time.monotonic()
        if self.armed:
            self.armed = False
            raise Stopped

    def stopped_at(self) -> Optional[float]:
        return self.since

    @property
    def exit_status(self) -> int:
        return 0 if self.signum is None else 128 + self.signum


def record_slots(capturer: _vistrel.Capturer, args: argparse.Namespace, still: NDArray[np.uint8], slots: int,
                 encoder: Encoder, stops: StopSignals) -> None:
    """Feeds `slots` slots of the frames() stream to the encoder until a stop signal. The
    iterator's first frame is the desktop's first change, which a still desktop never makes:
    until it comes, the slots falling due are fed with `still`, the image from before."""
    fps = args.fps
    # Half a period: a still slot is queued within half a period of falling due.
    poll_ms = max(1, 500 // fps)
    started = time.monotonic()
    fed = 1  # slots 0 .. fed-1 are queued; slot 0, the still image, before the loop
    first_change: Optional[float] = None
    with capturer.frames(fps, region=args.region, timeout_ms=poll_ms) as frames:
        while fed < slots and stops.signum is None:
            try:
                frame, seconds = next(frames)
            except _vistrel.CaptureTimeout:
                if first_change is not None:
                    raise
                due = min(slots, int((time.monotonic() - started) * fps) + 1)
                for slot in range(fed, due):
                    encoder.put(still, slot, time.monotonic() - started)
                fed = max(fed, due)
                continue
            slot = round(seconds * fps)
            if slot < fed:
                continue  # fed with the still image while the desktop stood still
            arrived = time.monotonic() - started
            if first_change is None:
                first_change = arrived
            # The slots that ended before the first change showed the image from before it.
            if (slot + 1) / fps <= first_change:
                frame = still
            encoder.put(frame, slot, arrived)
            fed = slot + 1


def capture_until_stopped(capturer: _vistrel.Capturer, args: argparse.Namespace, still: NDArray[np.uint8], slots: int,
                          encoder: Encoder, stops: StopSignals) -> None:
    # The nesting matters: Stopped may be raised up to the moment `armed` is cleared.
    try:
        try:
            stops.armed = True
            if stops.signum is None:
                record_slots(capturer, args, still, slots, encoder, stops)
        finally:
            stops.armed = False
    except Stopped:
        pass


def cmd_record(args: argparse.Namespace) -> int:
    with StopSignals(exiting=args.exiting) as stops:
        path = pathlib.Path(args.o)
        video = VideoFile(path, args.fps, args.codec)
        slots = max(1, round(args.seconds * args.fps))
        with _vistrel.Capturer(args.output, device=args.device, cursor=not args.no_cursor) as capturer:
            # The image before the first change, which also gives the video its size.
            still = capturer.screenshot(region=args.region)
            video.create(still.shape[1], still.shape[0])
            print(f"{path}: recording {slots} slots at {args.fps} fps ({video.codec}); Ctrl-C stops",
                  file=sys.stderr, flush=True)
            encoder = Encoder(video, slots, still.nbytes, stops.stopped_at)
            try:
                encoder.put(still, 0, 0.0)  # a stop however early still leaves a playable file
                capture_until_stopped(capturer, args, still, slots, encoder, stops)
            finally:
                try:
                    encoder.finish()
                except OSError as error:
                    print(file=sys.stderr)  # after the progress line
                    raise CommandError(f"writing {path} failed: {error.strerror or error}; "
                                       f"the incomplete file was removed") from None
    encoder.report()
    print(file=sys.stderr)
    stopped = stops.signum is not None
    left_out = f", {encoder.left_out} queued slots left out to stop promptly" if encoder.left_out else ""
    print(f"{path}: {video.written} frames, {video.written / args.fps:.2f} s at {args.fps} fps, "
          f"{encoder.late} slots served late{left_out}" + (" (stopped)" if stopped else ""), file=sys.stderr)
    return stops.exit_status
