"""Desktop capture into NumPy arrays.

The capture itself is the extension module ``vistrel._vistrel``; this package re-exports
its names and adds what is plain Python: :func:`screenshot` and the command line
(``python -m vistrel``).
"""
# No `from typing import ...` at module level: every name bound here shows in dir(vistrel).
import typing as _typing

from vistrel import _vistrel
from vistrel._vistrel import (
    AccessLost,
    CaptureError,
    CaptureTimeout,
    Capturer,
    DeviceError,
    DuplicationError,
    FramesIter,
    GpuTexture,
    device_info,
    list_outputs,
    output_info,
)

if _typing.TYPE_CHECKING:
    from typing import Optional, Tuple

    import numpy as np
    from numpy.typing import NDArray

# Compiled into the extension from the one place the version is written, the same the
# wheel's metadata is made from: asking the metadata instead costs most of an import.
__version__: str = _vistrel.__version__

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
    "screenshot",
]


def screenshot(
    output: int = 0,
    *,
    device: int = 0,
    fmt: str = "rgb",
    region: "Optional[Tuple[int, int, int, int]]" = None,
    cursor: bool = True,
) -> "NDArray[np.uint8]":
    """The current image of one output as a (H, W, C) uint8 array, RGB by default.

    Duplicates output ``output`` of adapter ``device`` for this one image, as
    :meth:`Capturer.screenshot` would see it, and lets it go again. For more than one
    image, keep a Capturer open instead: opening one costs far more than a screenshot.
    Raises what ``Capturer(...)`` and ``Capturer.screenshot`` raise.
    """
    # One opening and one frame: a kept Capturer's warm-up would only add to the wait.
    return _vistrel._screenshot(output, device=device, fmt=fmt, region=region, cursor=cursor)
