"""A scripted stand-in for the command server, on an ephemeral loopback port, and wire helpers."""

import contextlib
import socket
import threading

from qelt_client.protocol import pack_text


def h(text: str) -> bytes:
    return bytes.fromhex(text.replace(" ", ""))


def command_reply(text: str) -> bytes:
    body = pack_text(text)
    return h(f"ad010003 00000000 00000000 {len(body) // 4:08x} 00000000") + body


ECHO_HI_REQUEST = h("da010003 00000000 00000000 00000002 00000000 6f686365 00696820")
ECHO_HI_REPLY = command_reply("echo: hi")


class FakeServer:
    """Accepts one client and plays (request length, reply bytes or None to close) steps,
    then holds the connection until the client leaves; keeps every byte received."""

    def __init__(self, *steps):
        self.steps, self.received = steps, bytearray()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc: object) -> None:
        # shutdown() wakes an accept() still waiting for a client; close() would not.
        with contextlib.suppress(OSError):
            self._listener.shutdown(socket.SHUT_RDWR)
        self._listener.close()
        self._thread.join(timeout=5)

    def _serve(self) -> None:
        try:
            client, _ = self._listener.accept()
        except OSError:
            return
        with client, client.makefile("rb") as requests:
            client.settimeout(5)
            for nbytes, reply in self.steps:
                if not self._take(requests, nbytes) or reply is None:
                    return
                client.sendall(reply)
            self._take(requests, 1 << 20)

    def _take(self, requests, nbytes: int) -> bool:
        """Receive nbytes into `received`; False once the client went away."""
        try:
            data = requests.read(nbytes)
        except OSError:
            return False
        self.received += data
        return len(data) == nbytes
