"""What the portal stacks of the tests share: a private session bus that activates
nothing, pipewire and wireplumber, each process a child started here, in a session of
its own, and ended by its process id on every path (the last started first)."""
import atexit
import os
import shutil
import signal
import subprocess
import tempfile
import time

from compositor import end, session_members

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


class Services:
    """A stack of services under a home of its own: `address` is its bus, `env` what each
    process runs with. Subclasses start theirs in `_start()`, after `_start_bus()`."""

    prefix = "vistrel-services-"

    def __init__(self, timeout=20):
        self.processes = []  # (name, Popen), in start order
        self.home = tempfile.mkdtemp(prefix=self.prefix)
        atexit.register(self.stop)
        try:
            self.deadline = time.monotonic() + timeout
            self.runtime = os.path.join(self.home, "run")
            os.mkdir(self.runtime, 0o700)
            self.log = open(os.path.join(self.home, "services.log"), "w+")
            self._start()
        except BaseException:
            self.stop()
            raise

    def _start(self):
        raise NotImplementedError

    def _start_bus(self, **env):
        """The bus, pipewire and wireplumber; `env` is added to every process's."""
        bus_socket = os.path.join(self.runtime, "bus")
        config = self._write("bus.conf", BUS_CONFIG.format(path=bus_socket))
        self.address = f"unix:path={bus_socket}"
        self.env = dict({"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home,
                         "XDG_RUNTIME_DIR": self.runtime, "DBUS_SESSION_BUS_ADDRESS": self.address}, **env)
        self._spawn("dbus-daemon", ["dbus-daemon", "--config-file", config, "--nofork", "--nopidfile"])
        self._wait_for(lambda: os.path.exists(bus_socket), "the bus socket")
        self._spawn("pipewire", ["pipewire"])
        self._wait_for(lambda: os.path.exists(os.path.join(self.runtime, "pipewire-0")), "the pipewire socket")
        self._spawn("wireplumber", ["wireplumber"])

    def _write(self, name, text):
        path = os.path.join(self.home, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def _spawn(self, name, argv, **extra):
        process = subprocess.Popen(argv, env=dict(self.env, **extra), cwd=self.home, stdin=subprocess.DEVNULL,
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
        # The last started first, the bus last: each goes while what it talks to is there.
        for _, process in reversed(self.processes):
            end(session_members(process.pid))  # what it started, a chooser still running say
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
