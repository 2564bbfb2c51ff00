"""A GNOME-shaped desktop for the tests: headless mutter with one virtual monitor, on a
private bus with pipewire and wireplumber, behind the test portal (gnome_portal.py) that
forwards to mutter's own screen-cast API. mutter sends the pointer as metadata and no
damage. Every process is a child started here and ended by its process id, on every path."""
import atexit
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from jeepney import DBusAddress, new_method_call
from jeepney.io.blocking import open_dbus_connection

from compositor import end, session_members
from gnome_portal import unwrap
from portal import BUS_CONFIG

HERE = os.path.dirname(os.path.abspath(__file__))
CONNECTOR = "Meta-0"
REMOTE_DESKTOP = "org.gnome.Mutter.RemoteDesktop"


class Mutter:
    """`display` is mutter's Wayland socket, `address` the bus its portal serves on."""

    def __init__(self, width=1280, height=720, timeout=20):
        self.size = (width, height)
        self.processes = []  # (name, Popen), in start order
        self.pointer = None  # the RemoteDesktop connection, once the pointer moved
        self.home = tempfile.mkdtemp(prefix="vistrel-mutter-")
        atexit.register(self.stop)
        try:
            self._start(timeout)
        except BaseException:
            self.stop()
            raise

    def _start(self, timeout):
        self.deadline = time.monotonic() + timeout
        self.runtime = os.path.join(self.home, "run")
        os.mkdir(self.runtime, 0o700)
        self.log = open(os.path.join(self.home, "mutter.log"), "w+")
        bus_socket = os.path.join(self.runtime, "bus")
        config = os.path.join(self.home, "bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG.format(path=bus_socket))
        self.address = f"unix:path={bus_socket}"
        self.display = os.path.join(self.runtime, "wayland-0")
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home,
                    "XDG_RUNTIME_DIR": self.runtime, "DBUS_SESSION_BUS_ADDRESS": self.address}
        self._spawn("dbus-daemon", ["dbus-daemon", "--config-file", config, "--nofork", "--nopidfile"])
        self._wait_for(lambda: os.path.exists(bus_socket), "the bus socket")
        self._spawn("pipewire", ["pipewire"])
        self._wait_for(lambda: os.path.exists(os.path.join(self.runtime, "pipewire-0")), "the pipewire socket")
        self._spawn("wireplumber", ["wireplumber"])
        self._spawn("mutter", ["mutter", "--headless", "--wayland", "--no-x11", "--wayland-display", "wayland-0",
                               "--virtual-monitor", f"{self.size[0]}x{self.size[1]}"])
        self._wait_for(lambda: {"org.gnome.Mutter.ScreenCast", REMOTE_DESKTOP} <= self.bus_names(),
                       "mutter on the bus")
        self._wait_for(lambda: os.path.exists(self.display), "mutter's Wayland socket")
        self._spawn("portal", [sys.executable, os.path.join(HERE, "gnome_portal.py"), "--connector", CONNECTOR])
        self._wait_for(lambda: "org.freedesktop.portal.Desktop" in self.bus_names(), "the test portal")

    def _spawn(self, name, argv):
        process = subprocess.Popen(argv, env=self.env, cwd=self.home, stdin=subprocess.DEVNULL, stdout=self.log,
                                   stderr=self.log, start_new_session=True)
        self.processes.append((name, process))

    def _wait_for(self, ready, what):
        while not ready():
            for name, process in self.processes:
                if process.poll() is not None:
                    raise RuntimeError(f"{name} ended ({process.returncode}) before {what}:\n{self.log_text()}")
            if time.monotonic() > self.deadline:
                raise RuntimeError(f"no {what} in time:\n{self.log_text()}")
            time.sleep(0.02)

    def bus_names(self):
        out = subprocess.run(["dbus-send", f"--bus={self.address}", "--print-reply", "--dest=org.freedesktop.DBus",
                              "/org/freedesktop/DBus", "org.freedesktop.DBus.ListNames"],
                             capture_output=True, text=True, timeout=10)
        return {line.split('"')[1] for line in out.stdout.splitlines() if line.strip().startswith("string")}

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

    def log_text(self):
        self.log.seek(0)
        return self.log.read()[-6000:]

    def stop(self):
        if self.pointer is not None:
            self.pointer.close()
            self.pointer = None
        # The portal first, the bus last: each goes while what it talks to is still there.
        for _, process in reversed(self.processes):
            end(session_members(process.pid))
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(3)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.processes = []
        shutil.rmtree(self.home, ignore_errors=True)
        atexit.unregister(self.stop)
