"""A display that forwards to a real X server and, when told, stops half-way through the
next reply with a body: its 32-byte start arrives, the rest never does, as when a server
stops mid-write or a network link drops. It can also hold the clients' requests from the
first one of a kind on, as a server that stops at a chosen moment looks to its client."""
import os
import select
import socket
import threading


class StallingProxy:
    def __init__(self, server_display):
        self._target = f"/tmp/.X11-unix/X{server_display.lstrip(':')}"
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        for number in range(600, 700):
            path = f"/tmp/.X11-unix/X{number}"
            if os.path.exists(path) or os.path.exists(f"/tmp/.X{number}-lock"):
                continue
            try:
                self._listener.bind(path)
            except OSError:
                continue
            self._path, self.display = path, f":{number}"
            break
        else:
            raise RuntimeError("no free display number for the proxy")
        self._listener.listen(8)
        self.stall = threading.Event()
        self.hold_at = None  # (major, minor) opcodes of the request to hold requests from
        self.held = threading.Event()
        self.release = threading.Event()
        self._closing = threading.Event()
        self._sockets = [self._listener]
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self._closing.set()
        self.release.set()
        for s in self._sockets:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()
        os.unlink(self._path)

    def _accept(self):
        while not self._closing.is_set():
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            server.connect(self._target)
            self._sockets += [client, server]
            threading.Thread(target=self._requests, args=(client, server), daemon=True).start()
            threading.Thread(target=self._replies, args=(server, client), daemon=True).start()

    def _requests(self, client, server):
        """Client to server, request by request, so that a hold can start at any one."""
        buffer = b""

        def need(n):
            nonlocal buffer
            while len(buffer) < n:
                data = client.recv(65536)
                if not data:
                    raise OSError
                buffer += data

        def word(at, size):
            return int.from_bytes(buffer[at:at + size], "little")

        try:
            need(12)  # the setup request: its fixed part, then the padded authorisation
            pad = lambda n: (n + 3) & ~3  # noqa: E731
            size = 12 + pad(word(6, 2)) + pad(word(8, 2))
            while True:
                need(size)
                server.sendall(buffer[:size])
                buffer = buffer[size:]
                need(4)
                size = word(2, 2) * 4
                if size == 0:  # a big request: its length follows in 32 bits
                    need(8)
                    size = word(4, 4) * 4
                if self.hold_at == (buffer[0], buffer[1]):
                    self.hold_at = None
                    self.held.set()
                    self.release.wait()
        except OSError:
            pass

    def _replies(self, server, client):
        """Server to client, packet by packet, so a stall can cut a reply after its start."""
        buffer = b""
        size = None  # the setup reply comes first: 8 bytes, then its length in words

        def need(n):
            nonlocal buffer
            while len(buffer) < n:
                if not select.select([server], [], [], 1)[0]:
                    if self._closing.is_set():
                        raise OSError
                    continue
                data = server.recv(65536)
                if not data:
                    raise OSError
                buffer += data

        try:
            need(8)
            size = 8 + int.from_bytes(buffer[6:8], "little") * 4
            while True:
                need(size)
                client.sendall(buffer[:size])
                buffer = buffer[size:]
                need(32)
                kind, length = buffer[0] & 0x7F, int.from_bytes(buffer[4:8], "little")
                size = 32 + (length * 4 if kind in (1, 35) else 0)
                if kind == 1 and length > 0 and self.stall.is_set():
                    client.sendall(buffer[:32])
                    self._closing.wait()
                    return
        except OSError:
            pass
