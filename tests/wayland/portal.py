"""The screen-cast portal for the tests, next to a headless sway: a private session bus
that activates nothing, pipewire, wireplumber, the permission store, the wlroots portal
backend (with a command as its chooser) and the portal itself. Every process is a child
started here and ended by its process id, on every path."""
import os
import subprocess
import time

from services import Services

HERE = os.path.dirname(os.path.abspath(__file__))
LIBEXEC = "/usr/libexec"
# The chooser notes each call and prints whatever the test left in `choice` (nothing: the
# user refused).
CHOOSER = """\
#!/bin/sh
echo asked >> {calls}
[ -f {delay} ] && sleep "$(cat {delay})"
exec cat {choice}
"""
BACKEND_CONFIG = """\
[screencast]
chooser_type=simple
chooser_cmd={chooser}
max_fps=60
"""
PORTAL_NAMES = ("org.freedesktop.impl.portal.PermissionStore", "org.freedesktop.impl.portal.desktop.wlr",
                "org.freedesktop.portal.Desktop")


def build_shim(directory):
    """The test-only DMA-BUF shim (see dmabuf_shim.c), compiled for this run."""
    out = os.path.join(directory, "dmabuf_shim.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", out, os.path.join(HERE, "dmabuf_shim.c"), "-ldl"],
                   check=True, timeout=60)
    return out


class Portal(Services):
    """The portal stack for `sway`; `address` is its bus (DBUS_SESSION_BUS_ADDRESS),
    `choose()` sets what the chooser answers."""

    prefix = "vistrel-portal-"

    def __init__(self, sway, timeout=20):
        self.sway = sway
        super().__init__(timeout)

    def _start(self):
        self.choice = os.path.join(self.home, "choice")
        self.calls = os.path.join(self.home, "calls")
        self.delay = os.path.join(self.home, "delay")
        self.choose("HEADLESS-1")
        chooser = self._write("chooser", CHOOSER.format(calls=self.calls, choice=self.choice, delay=self.delay))
        os.chmod(chooser, 0o755)
        shim = build_shim(self.home)
        self._start_bus(WAYLAND_DISPLAY=self.sway.display, XDG_CURRENT_DESKTOP="sway")
        self._spawn("xdg-permission-store", [os.path.join(LIBEXEC, "xdg-permission-store"), "--replace"])
        backend = self._write("xdpw.conf", BACKEND_CONFIG.format(chooser=chooser))
        self._spawn("xdg-desktop-portal-wlr", [os.path.join(LIBEXEC, "xdg-desktop-portal-wlr"), "-c", backend],
                    LD_PRELOAD=shim)
        self._wait_for(lambda: set(PORTAL_NAMES[:2]) <= self.bus_names(), "the portal backend on the bus")
        self._spawn("xdg-desktop-portal", [os.path.join(LIBEXEC, "xdg-desktop-portal"), "--replace"])
        self._wait_for(lambda: set(PORTAL_NAMES) <= self.bus_names(), "the portal on the bus")
        # The session manager links streams: it has joined once it shows among pipewire's clients.
        self._wait_for(self._session_manager_up, "wireplumber in pipewire")

    def _session_manager_up(self):
        out = subprocess.run(["pw-cli", "ls", "Client"], capture_output=True, text=True, timeout=10,
                             env=self.env)
        return "wireplumber" in out.stdout.lower()

    def chooser_calls(self):
        """How often the backend asked its chooser so far."""
        try:
            with open(self.calls) as f:
                return len(f.read().split())
        except FileNotFoundError:
            return 0

    def choose(self, output):
        """What the chooser answers next: an output name, or None for a refusal."""
        self.choose_after(0, output)

    def choose_after(self, seconds, output):
        """The same, after thinking for `seconds`."""
        with open(self.choice, "w") as f:
            f.write(f"{output}\n" if output else "")
        if seconds:
            with open(self.delay, "w") as f:
                f.write(f"{seconds}\n")
        elif os.path.exists(self.delay):
            os.remove(self.delay)

    def reap_closed_casts(self):
        """The backend ends a closed cast only at that cast's next frame, so on a still
        screen closed casts pile up until it serves no new one: a repaint lets it end them."""
        for colour in ("#000000", "#102030"):
            self.sway.msg(f"output * bg {colour} solid_color")
            time.sleep(0.1)
