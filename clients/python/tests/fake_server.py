"""A scripted stand-in for the command server, on an ephemeral loopback port."""

from __future__ import annotations

import socket
import threading


class FakeServer:
    """Accepts one client and plays (request length, reply bytes or None to close) steps,
    then holds the connection until the client leaves; keeps every byte received."""

    def __init__(self, *steps):
        self.steps = steps
        self.received = b""
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def __enter__(self) -> FakeServer:
        return self

    def __exit__(self, *exc) -> None:
        # shutdown() wakes an accept() still waiting for a client; close() would not.
        try:
            self._listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._listener.close()
        self._thread.join(timeout=5)

    def _serve(self) -> None:
        try:
            client, _ = self._listener.accept()
        except OSError:
            return
        with client:
            client.settimeout(5)
            for nbytes, reply in self.steps:
                if not self._take(client, nbytes):
                    return
                if reply is None:
                    return
                client.sendall(reply)
            self._take(client, 1 << 20)

    def _take(self, client: socket.socket, nbytes: int) -> bool:
        """Receive nbytes into `received`; False once the client went away."""
        want = len(self.received) + nbytes
        while len(self.received) < want:
            try:
                chunk = client.recv(want - len(self.received))
            except OSError:
                return False
            if not chunk:
                return False
            self.received += chunk
        return True
