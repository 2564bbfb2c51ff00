"""The screen-cast portal for the tests, next to a headless sway: a private session bus
that activates nothing, pipewire, wireplumber, the permission store, the wlroots portal
backend (with a command as its chooser) and the portal itself. Every process is a child
started here and ended by its process id, on every path."""
import atexit
import os
import shutil
import signal
import subprocess
import tempfile
import time

from compositor import end, session_members

HERE = os.path.dirname(os.path.abspath(__file__))
LIBEXEC = "/usr/libexec"
BUS_CONFIG = """\
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={path}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""
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


class Portal:
    """The portal stack for `sway`; `address` is its bus (DBUS_SESSION_BUS_ADDRESS),
    `choose()` sets what the chooser answers."""

    def __init__(self, sway, timeout=20):
        self.sway = sway
        self.processes = []  # (name, Popen), in start order
        self.home = tempfile.mkdtemp(prefix="vistrel-portal-")
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
        self.choice = os.path.join(self.home, "choice")
        self.calls = os.path.join(self.home, "calls")
        self.delay = os.path.join(self.home, "delay")
        self.choose("HEADLESS-1")
        chooser = self._write("chooser", CHOOSER.format(calls=self.calls, choice=self.choice, delay=self.delay))
        os.chmod(chooser, 0o755)
        self.log = open(os.path.join(self.home, "portal.log"), "w+")
        shim = build_shim(self.home)

        bus_socket = os.path.join(self.runtime, "bus")
        config = self._write("bus.conf", BUS_CONFIG.format(path=bus_socket))
        self.address = f"unix:path={bus_socket}"
        self.base_env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home, "XDG_RUNTIME_DIR": self.runtime,
            "DBUS_SESSION_BUS_ADDRESS": self.address,
            "WAYLAND_DISPLAY": self.sway.display, "XDG_CURRENT_DESKTOP": "sway",
        }
        self._spawn("dbus-daemon", ["dbus-daemon", "--config-file", config, "--nofork", "--nopidfile"])
        self._wait_for(lambda: os.path.exists(bus_socket), "the bus socket")
        self._spawn("pipewire", ["pipewire"])
        self._wait_for(lambda: os.path.exists(os.path.join(self.runtime, "pipewire-0")), "the pipewire socket")
        self._spawn("wireplumber", ["wireplumber"])
        self._spawn("xdg-permission-store", [os.path.join(LIBEXEC, "xdg-permission-store"), "--replace"])
        backend = self._write("xdpw.conf", BACKEND_CONFIG.format(chooser=chooser))
        self._spawn("xdg-desktop-portal-wlr", [os.path.join(LIBEXEC, "xdg-desktop-portal-wlr"), "-c", backend],
                    LD_PRELOAD=shim)
        self._wait_for(lambda: set(PORTAL_NAMES[:2]) <= self.bus_names(), "the portal backend on the bus")
        self._spawn("xdg-desktop-portal", [os.path.join(LIBEXEC, "xdg-desktop-portal"), "--replace"])
        self._wait_for(lambda: set(PORTAL_NAMES) <= self.bus_names(), "the portal on the bus")
        # The session manager links streams: it has joined once it shows among pipewire's clients.
        self._wait_for(self._session_manager_up, "wireplumber in pipewire")

    def _write(self, name, text):
        path = os.path.join(self.home, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def _spawn(self, name, argv, **extra):
        process = subprocess.Popen(argv, env=dict(self.base_env, **extra), cwd=self.home, stdin=subprocess.DEVNULL,
                                   stdout=self.log, stderr=self.log, start_new_session=True)
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

    def _session_manager_up(self):
        out = subprocess.run(["pw-cli", "ls", "Client"], capture_output=True, text=True, timeout=10,
                             env=self.base_env)
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

    def kill(self, name):
        """Ends the service `name` at once, as a crash would."""
        for started, process in self.processes:
            if started == name and process.poll() is None:
                end(session_members(process.pid))
                process.kill()
                process.wait()

    def log_text(self):
        self.log.seek(0)
        return self.log.read()[-6000:]

    def stop(self):
        # The portal first, the bus last: each goes while what it talks to is still there.
        for _, process in reversed(self.processes):
            end(session_members(process.pid))  # a chooser still running, and what it started
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(2)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.processes = []
        shutil.rmtree(self.home, ignore_errors=True)
        atexit.unregister(self.stop)
