"""The tests' own X client: draws known pixels on the root window and moves the pointer."""
import numpy as np
import Xlib.ext
from Xlib import X, display
from Xlib.ext import xtest

# Only the extensions used here: python-xlib mis-registers some others' events on
# servers where their numbering shifts (a server started without MIT-SHM).
Xlib.ext.__extensions__ = [e for e in Xlib.ext.__extensions__ if e[0] in ("XTEST", "XFIXES")]


class Painter:
    def __init__(self, name):
        self.display = display.Display(name)
        self.root = self.display.screen().root
        self.gc = self.root.create_gc()

    def close(self):
        self.display.close()

    def put(self, x, y, bgra):
        """Draws an (H, W, 4) BGRA array at (x, y), in bands small enough for one request."""
        bgra = np.ascontiguousarray(bgra, dtype=np.uint8)
        h, w = bgra.shape[:2]
        band = max(1, 200_000 // (w * 4))
        for top in range(0, h, band):
            rows = bgra[top:top + band]
            self.root.put_image(self.gc, x, y + top, w, rows.shape[0], X.ZPixmap, 24, 0, rows.tobytes())
        self.display.sync()

    def fill(self, x, y, w, h, bgr):
        b, g, r = bgr
        self.gc.change(foreground=(r << 16) | (g << 8) | b)
        self.root.fill_rectangle(self.gc, x, y, w, h)
        self.display.sync()

    def move_pointer(self, x, y):
        """A real motion, as a device gives it (XTest), not a warp."""
        xtest.fake_input(self.display, X.MotionNotify, x=x, y=y)
        self.display.sync()

    def warp_pointer(self, x, y):
        """A jump as a program makes it (XWarpPointer): no device motion, no raw event."""
        self.root.warp_pointer(x, y)
        self.display.sync()

    def jiggle_pointer(self, motions):
        """Many device motions, sent without waiting for each."""
        for i in range(motions):
            xtest.fake_input(self.display, X.MotionNotify, x=10 + i % 2, y=10)
            if i % 1000 == 999:
                self.display.sync()
        self.display.sync()

    def dots(self, count, columns, step, bgr):
        """`count` separate 1x1 dots in rows from the top, a request each: each is an area
        of its own for damage, so each makes an event for every watching client."""
        b, g, r = bgr
        self.gc.change(foreground=(r << 16) | (g << 8) | b)
        for i in range(count):
            self.root.fill_rectangle(self.gc, step * (i % columns), step * (i // columns), 1, 1)
        self.display.sync()

    def cursor_image(self):
        """The server's cursor: (hotspot, (H, W, 4) premultiplied BGRA)."""
        self.display.xfixes_query_version()
        reply = self.display.xfixes_get_cursor_image(self.root)
        argb = np.array(reply.cursor_image, dtype=np.uint32).reshape(reply.height, reply.width)
        return (reply.xhot, reply.yhot), argb.view(np.uint8).reshape(reply.height, reply.width, 4)


class Canvas:
    """What the screen should show: the drawing mirrored into a BGRA array."""

    def __init__(self, painter, width, height, seed=1):
        self.painter = painter
        self.pixels = np.zeros((height, width, 4), np.uint8)
        self.pixels[..., 3] = 255
        self.rng = np.random.default_rng(seed)

    def random_block(self, x, y, w, h):
        block = self.rng.integers(0, 256, (h, w, 4), dtype=np.uint8)
        # X ignores the fourth byte of a depth-24 pixel; the capture reports it as 255.
        self.painter.put(x, y, block)
        block[..., 3] = 255
        self.pixels[y:y + h, x:x + w] = block

    def fill(self, x, y, w, h, bgr):
        self.painter.fill(x, y, w, h, bgr)
        self.pixels[y:y + h, x:x + w, :3] = bgr
