"""A GNOME-shaped desktop for the tests: headless mutter with one virtual monitor, on a
private bus with pipewire and wireplumber, behind the test portal (gnome_portal.py) that
forwards to mutter's own screen-cast API. mutter sends the pointer as metadata and no
damage. Every process is a child started here and ended by its process id, on every path."""
import os
import sys

from jeepney import DBusAddress, new_method_call
from jeepney.io.blocking import open_dbus_connection

from gnome_portal import unwrap
from services import Services

HERE = os.path.dirname(os.path.abspath(__file__))
CONNECTOR = "Meta-0"
REMOTE_DESKTOP = "org.gnome.Mutter.RemoteDesktop"


class Mutter(Services):
    """`display` is mutter's Wayland socket, `address` the bus its portal serves on."""

    prefix = "vistrel-mutter-"

    def __init__(self, width=1280, height=720, timeout=20):
        self.size = (width, height)
        self.pointer = None  # the RemoteDesktop connection, once the pointer moved
        super().__init__(timeout)

    def _start(self):
        self.display = os.path.join(self.runtime, "wayland-0")
        self._start_bus()
        self._spawn("mutter", ["mutter", "--headless", "--wayland", "--no-x11", "--wayland-display", "wayland-0",
                               "--virtual-monitor", f"{self.size[0]}x{self.size[1]}"])
        self._wait_for(lambda: {"org.gnome.Mutter.ScreenCast", REMOTE_DESKTOP} <= self.bus_names(),
                       "mutter on the bus")
        self._wait_for(lambda: os.path.exists(self.display), "mutter's Wayland socket")
        self._spawn("portal", [sys.executable, os.path.join(HERE, "gnome_portal.py"), "--connector", CONNECTOR])
        self._wait_for(lambda: "org.freedesktop.portal.Desktop" in self.bus_names(), "the test portal")

    def move_pointer(self, dx, dy):
        """Moves mutter's pointer by (dx, dy) through a virtual pointer of its remote
        desktop API (created on first use; the pointer appears with it)."""
        if self.pointer is None:
            self.pointer = open_dbus_connection(self.address)
            call = new_method_call(DBusAddress("/org/gnome/Mutter/RemoteDesktop", REMOTE_DESKTOP, REMOTE_DESKTOP),
                                   "CreateSession")
            (path,) = unwrap(self.pointer.send_and_get_reply(call, timeout=10))
            self.pointer_session = DBusAddress(path, REMOTE_DESKTOP, REMOTE_DESKTOP + ".Session")
            unwrap(self.pointer.send_and_get_reply(new_method_call(self.pointer_session, "Start"), timeout=10))
        unwrap(self.pointer.send_and_get_reply(
            new_method_call(self.pointer_session, "NotifyPointerMotionRelative", "dd", (float(dx), float(dy))),
            timeout=10))

    def stop(self):
        if self.pointer is not None:
            self.pointer.close()
            self.pointer = None
        super().stop()
