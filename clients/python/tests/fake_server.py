"""A scripted stand-in for the command server, on an ephemeral loopback port."""

from __future__ import annotations

import socket
import threading


class FakeServer:
    """Accepts one client and plays a script of (request length, reply) steps.

    Each step reads exactly that many request bytes, then sends the reply
    bytes; a reply of None closes the connection instead. After the script
    the connection is held open until the client leaves, so a client waiting
    for more runs into its timeout. Everything received is kept in
    `received` for exact comparison.
    """

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
