"""Reference pixel work in NumPy, written from the definitions, to check the module against."""
import numpy as np


def to_layout(bgra, fmt):
    """Packed BGRA (H, W, 4) to a layout, as an (H, W, C) uint8 array."""
    fmt = fmt.lower()
    b, g, r, a = (bgra[..., i].astype(np.uint32) for i in range(4))
    if fmt == "bgra":
        return bgra.copy()
    if fmt == "bgr":
        return bgra[..., :3].copy()
    if fmt == "rgba":
        return bgra[..., [2, 1, 0, 3]].copy()
    if fmt == "rgb":
        return bgra[..., [2, 1, 0]].copy()
    if fmt in ("gray", "grey"):
        return ((77 * r + 150 * g + 29 * b + 128) >> 8).astype(np.uint8)[..., None]
    raise ValueError(fmt)


def composite(rows, shape, x, y, origin):
    """Draw a pointer (the dict given to the simulated machine) at output position (x, y)
    into packed BGRA rows whose top-left pixel is output pixel `origin`."""
    out = rows.copy()
    kind, width, height, pitch = shape["type"], shape["width"], shape["height"], shape["pitch"]
    data = np.frombuffer(shape["data"], np.uint8)
    if kind == 1:
        height //= 2
    h, w = out.shape[:2]
    for row in range(height):
        for col in range(width):
            dx, dy = x - origin[0] + col, y - origin[1] + row
            if not (0 <= dx < w and 0 <= dy < h):
                continue
            d = out[dy, dx, :3].astype(np.int64)
            if kind == 1:
                and_bit = (data[row * pitch + col // 8] >> (7 - col % 8)) & 1
                xor_bit = (data[(height + row) * pitch + col // 8] >> (7 - col % 8)) & 1
                d = (d if and_bit else 0) ^ (0xFF if xor_bit else 0)
            else:
                s = data[row * pitch + col * 4: row * pitch + col * 4 + 4].astype(np.int64)
                if kind == 2:
                    alpha = s[3]
                    if alpha == 255:
                        d = s[:3]
                    elif alpha:
                        d = (s[:3] * alpha + d * (255 - alpha) + 127) // 255
                else:
                    d = d ^ s[:3] if s[3] else s[:3]
            out[dy, dx, :3] = d
    return out
