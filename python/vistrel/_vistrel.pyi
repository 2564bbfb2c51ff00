"""Types of the extension module ``vistrel._vistrel``.

Frames are NumPy ``uint8`` arrays of shape ``(height, width, channels)``, C-contiguous,
writable, owned by the caller (on X11 a ``bgra`` grab's memory is a shared-memory
segment the server wrote into, freed when the array and its views are gone). Channels by ``fmt``: ``"bgra"`` 4 (the duplication's own bytes; the
fourth byte is what the desktop holds, usually 255), ``"bgr"`` 3, ``"rgba"`` 4, ``"rgb"``
3, ``"gray"`` (or ``"grey"``) 1, the luma of the colour. ``fmt`` ignores letter case.

A region is ``(left, top, right, bottom)`` in pixels of the output's own image (origin at
its top-left pixel, not desktop coordinates), half-open, non-empty and inside the image;
otherwise ``ValueError``.

Every ``Capturer``, ``FramesIter`` and ``GpuTexture`` belongs to the thread that created it:
using it from another thread raises the module's internal-fault exception ("... is
unsendable, but sent to another thread"), which derives from ``BaseException``, so
``except Exception`` does not catch it. Create and use each object on one thread. The
interpreter lock is released while waiting and converting, so other Python threads run
meanwhile.
"""
from types import TracebackType
from typing import List, Literal, Optional, Tuple, Type, TypedDict, final, overload

import numpy as np
from numpy.typing import NDArray

_Region = Tuple[int, int, int, int]

class _OutputDescription(TypedDict):
    device_idx: int
    output_idx: int
    name: str
    output_name: str
    width: int
    height: int
    rotation: int
    is_primary: bool
    provider: str
    pixel_path: str

__version__: str
__all__ = [
    "__version__",
    "Capturer",
    "FramesIter",
    "GpuTexture",
    "CaptureError",
    "DeviceError",
    "DuplicationError",
    "AccessLost",
    "CaptureTimeout",
    "list_outputs",
    "device_info",
    "output_info",
]

class CaptureError(Exception):
    """A failed platform call. On Windows its message reads ``"DXGI 0x<8 hex digits>: <system
    text>"``; on Linux it is X11's own text (``"cannot connect to X display ':0': ..."``).

    ``hresult`` (the code, an unsigned 32-bit int) is set on errors that come from a
    platform call; errors with a fixed text have none.
    """

    hresult: int

class DeviceError(CaptureError):
    """The graphics device went away or was reset (driver update, GPU removed or hung,
    0x887A0005 / 0x887A0007). Open a new Capturer."""

class DuplicationError(CaptureError):
    """Reserved: exported, never raised."""

class AccessLost(CaptureError):
    """The duplication was lost and could not be re-created for the same image size:
    most often a display-mode (resolution) change, also a full-screen exclusive
    application or the secure desktop (0x887A0026). Open a new Capturer; its width and
    height are the new mode's."""

class CaptureTimeout(CaptureError):
    """A wait ran out: ``get_latest_frame(timeout_ms=...)`` ("deadline expired"), a
    ``frames()`` iterator without a first frame within its ``timeout_ms``, or a
    ``screenshot()`` of a session that never saw an image."""

@final
class Capturer:
    """One output (monitor) of one adapter, opened for capture.

    ``Capturer(output=0, *, cursor=True, region=None, device=0, restore_token=None)`` opens output ``output``
    of adapter ``device`` (the indices of :func:`list_outputs`) and takes its first frame
    at once (so an immediate :meth:`grab` of a still desktop returns None; use
    :meth:`screenshot` for the current image). ``cursor`` draws the mouse pointer into
    frames; ``region`` is the default region of every capture; ``restore_token`` opens a
    Wayland portal session without its dialog (None: the token stored for the output).
    Raises ``CaptureError`` or
    a subclass when the output cannot be duplicated, ``ValueError`` for a bad region.

    States: ready after construction; capturing in the background between
    :meth:`start` and :meth:`stop`; iterating while a :meth:`frames` iterator is open;
    closed after :meth:`close` or the end of a ``with`` block. Use in a ``with`` block.
    """

    def __new__(
        cls,
        output: int = 0,
        *,
        cursor: bool = True,
        region: Optional[_Region] = None,
        device: int = 0,
        restore_token: Optional[str] = None,
    ) -> "Capturer": ...
    @property
    def output_idx(self) -> int:
        """The output index given to the constructor."""
    @property
    def device_idx(self) -> int:
        """The adapter index given to the constructor."""
    @property
    def width(self) -> int:
        """Image width in pixels: at opening, and again whenever the output is reopened
        (after a ``frames()`` iterator). ``RuntimeError`` once closed."""
    @property
    def height(self) -> int:
        """Image height in pixels, like ``width``. ``RuntimeError`` once closed."""
    @property
    def rotation(self) -> int:
        """The output's rotation: 1 none, 2 90 degrees, 3 180, 4 270, 0 unknown. Recorded,
        never applied: frames are the image as the display scans it out."""
    @property
    def cursor(self) -> bool:
        """Whether the pointer is drawn into frames. ``RuntimeError`` once closed."""
    @property
    def region(self) -> _Region:
        """The default region: the constructor's, else the whole image."""
    @property
    def format(self) -> str:
        """Always ``"bgra"``, the layout of ``get_latest_frame()``."""
    @property
    def is_capturing(self) -> bool:
        """True while a background capture or a ``frames()`` iterator runs."""
    @property
    def token(self) -> Optional[str]:
        """The restore token the Wayland screen-cast portal gave for the next session;
        None on other routes and platforms."""
    @property
    def pixel_path(self) -> Optional[str]:
        """How frames reach the process: ``"mit-shm"`` (the X server writes into shared
        memory) or ``"get-image"`` (replies over the socket, where MIT-SHM is missing or
        refused) on X11, ``"wl-shm"`` (screencopy) or ``"pipewire-shm"`` (the portal) on
        Wayland, ``"staging-texture"`` on Windows. None while a capture thread holds the
        session. ``RuntimeError`` once closed."""
    def grab(
        self, timeout_ms: int = 1000, fmt: str = "bgra", region: Optional[_Region] = None
    ) -> Optional[NDArray[np.uint8]]:
        """The next desktop change, waiting up to ``timeout_ms`` (0 polls).

        Returns None when nothing changed within ``timeout_ms``: a still desktop gives
        None, also for the first call after opening (the constructor took the first
        frame). Raises ``RuntimeError`` when closed, capturing in the background or
        iterating; ``AccessLost`` after a resolution change.
        """
    def screenshot(
        self, fmt: str = "bgra", region: Optional[_Region] = None, timeout_ms: int = 1000
    ) -> NDArray[np.uint8]:
        """The desktop as it is now, changed or not. Never None.

        Takes a waiting change without waiting, otherwise returns the newest image the
        Capturer has seen. Waits up to ``timeout_ms`` only if it has never seen one and
        then raises ``CaptureTimeout``. Same errors as :meth:`grab`.
        """
    def grab_gpu(self, timeout_ms: int = 1000) -> Optional["GpuTexture"]:
        """The next desktop change as a shared Direct3D 11 texture, without a copy to the
        CPU; None when nothing changed within ``timeout_ms``. Every call returns a new
        handle to the same texture, which the next call overwrites."""
    def start(self, target_fps: int = 60, region: Optional[_Region] = None, video_mode: bool = False) -> None:
        """Starts a capture thread that publishes the newest frame up to ``target_fps``
        times a second; :meth:`get_latest_frame` takes it. With ``video_mode`` the thread
        republishes the last frame when nothing changes, so frames keep coming at the
        rate. ``RuntimeError`` when already capturing, iterating or closed."""
    def stop(self) -> None:
        """Stops the capture thread and waits for it. Does nothing when none runs."""
    def get_latest_frame(self, timeout_ms: Optional[int] = None) -> Optional[NDArray[np.uint8]]:
        """The newest published frame, always BGRA, each frame once.

        Waits for one, without limit when ``timeout_ms`` is None (on a still desktop
        that is until the next change; Ctrl+C ends the wait with ``KeyboardInterrupt``).
        Raises ``CaptureTimeout`` when the limit runs out, ``RuntimeError`` when
        :meth:`start` was not called, and ``ValueError`` with the capture thread's error
        text when it failed (for example ``"AccessLost: DXGI 0x887A0026: ..."``).
        Returns None when the capture was stopped with no frame waiting.
        """
    def _debug_publish_seq(self) -> int: ...
    def frames(
        self, fps: int, fmt: str = "bgra", region: Optional[_Region] = None, timeout_ms: int = 5000
    ) -> "FramesIter":
        """Iterates at exactly ``fps`` slots a second: each step yields
        ``(frame, k / fps)`` for slot k, the newest frame or the previous one repeated when
        the desktop did not change, never skipping a slot (a slow consumer gets the
        late slots at once). ``timeout_ms`` bounds the wait for the first frame only
        (``CaptureTimeout``; a still desktop has no first frame after opening). The
        Capturer's session goes to the iterator: after it closes, the next capture call
        reopens the output. Close it (or use ``with``)."""
    def _debug_cursor(self) -> dict[str, object]: ...
    def close(self) -> None:
        """Stops any background capture and releases the device. Calling it again does
        nothing."""
    def __enter__(self) -> "Capturer": ...
    def __exit__(
        self,
        _exc_type: Optional[Type[BaseException]],
        _exc: Optional[BaseException],
        _tb: Optional[TracebackType],
    ) -> Literal[False]: ...

@final
class FramesIter:
    """The iterator of :meth:`Capturer.frames`; not created directly."""

    def __iter__(self) -> "FramesIter": ...
    def __next__(self) -> Tuple[NDArray[np.uint8], float]: ...
    def close(self) -> None:
        """Ends the capture thread and frees the Capturer for other calls."""
    def __enter__(self) -> "FramesIter": ...
    def __exit__(
        self,
        _exc_type: Optional[Type[BaseException]],
        _exc: Optional[BaseException],
        _tb: Optional[TracebackType],
    ) -> Literal[False]: ...

@final
class GpuTexture:
    """A frame on the GPU, from :meth:`Capturer.grab_gpu`: a shared BGRA texture that another
    Direct3D 11 device opens with ``OpenSharedResource1(shared_handle)`` on the adapter
    ``luid`` names. The handle is this object's; :meth:`close` closes it."""

    @property
    def shared_handle(self) -> int:
        """The NT handle value. ``RuntimeError`` once closed."""
    @property
    def luid(self) -> Tuple[int, int]:
        """The adapter's LUID as ``(low, high)``."""
    @property
    def format(self) -> str:
        """Always ``"DXGI_FORMAT_B8G8R8A8_UNORM"``."""
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def keyed_mutex_acquire_key(self) -> int: ...
    @property
    def keyed_mutex_release_key(self) -> int: ...
    def close(self) -> None: ...
    def __enter__(self) -> "GpuTexture": ...
    def __exit__(
        self,
        _exc_type: Optional[Type[BaseException]],
        _exc: Optional[BaseException],
        _tb: Optional[TracebackType],
    ) -> Literal[False]: ...

def list_outputs() -> List[_OutputDescription]:
    """One dict per output of every adapter, in the order of the indices ``Capturer``
    takes: ``device_idx``, ``output_idx``, ``name`` (the adapter), ``output_name``,
    ``width``, ``height``, ``rotation`` and ``is_primary``, which is the attached-to-desktop
    flag (True for every output that is part of the desktop), not the main monitor, and
    ``provider``: who serves the outputs ("windows", "x11" or "wayland"; on Linux the
    Wayland compositor named by ``WAYLAND_DISPLAY`` is preferred over ``DISPLAY``, and
    ``VISTREL_BACKEND=x11|wayland`` decides instead), and ``pixel_path``: how a capture of
    the output would read its pixels (as ``Capturer.pixel_path``)."""

def device_info() -> str:
    """One line per adapter: index, name, vendor and device ids, dedicated video memory."""

def output_info() -> str:
    """One line per output: indices, resolution, rotation, attached flag (``Primary:``)."""

@overload
def _screenshot(
    output: int = 0,
    *,
    device: int = 0,
    fmt: str = "rgb",
    region: Optional[_Region] = None,
    cursor: bool = True,
    timeout_ms: int = 1000,
    raw: Literal[False] = False,
) -> NDArray[np.uint8]:
    """One image of an output, from a duplication opened for it alone (``vistrel.screenshot``)."""
@overload
def _screenshot(
    output: int = 0,
    *,
    device: int = 0,
    fmt: str = "rgb",
    region: Optional[_Region] = None,
    cursor: bool = True,
    timeout_ms: int = 1000,
    raw: Literal[True],
) -> Tuple[bytes, Tuple[int, int, int]]:
    """The same image as bytes with its (height, width, channels), without NumPy."""
