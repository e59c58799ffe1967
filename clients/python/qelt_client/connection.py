"""A connection to the command server."""

from __future__ import annotations

import contextlib
import math
import selectors
import socket
import time
from typing import Iterable, Iterator

from . import protocol
from .errors import ClientError, ConnectionClosed, Timeout

DEFAULT_PORT = 4321
DEFAULT_TIMEOUT = 5.0
CHUNK_BYTES = 1 << 16


class Connection:
    """One TCP connection to the command server, used as a context manager.

    The timeout bounds the connect and every exchange, from sending a request
    to the last byte of its response. After a failure or an interruption in
    the middle of an exchange the position in the stream is unknown, so the
    connection is closed and later calls raise ConnectionClosed.

    Requests go out while responses come in: the server answers each request
    as it takes it, and once its replies fill the socket buffers it takes no
    more until they are read.
    """

    def __init__(self, host: str, port: int = DEFAULT_PORT, timeout: float = DEFAULT_TIMEOUT):
        if not 0 < port < 65536:
            raise ValueError(f"port {port} is not a TCP port number")
        if not 0 < timeout < math.inf:
            raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
        self.timeout = timeout
        self._deadline = 0.0
        self._outgoing = memoryview(b"")
        self._incoming = bytearray()
        try:
            self._sock = socket.create_connection((host, port), timeout=timeout)
        except socket.timeout:
            raise Timeout(f"no connection to {host}:{port} within {timeout} s") from None
        except OSError as err:
            raise ClientError(f"cannot connect to {host}:{port}: {err.strerror or err}") from None
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._sock.setblocking(False)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self._sock, selectors.EVENT_READ)

    def __enter__(self) -> Connection:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        if self._sock is not None:
            self._selector.close()
            self._sock.close()
            self._sock = None

    @property
    def closed(self) -> bool:
        return self._sock is None

    def command(self, text: str) -> str:
        """Send one line of command text; return the server's reply text."""
        return self.commands([text])[0]

    def commands(self, texts: Iterable[str]) -> list[str]:
        """Send several command texts in one go; return their replies in order."""
        requests = [protocol.encode_command(text) for text in texts]
        replies = []
        with self._exchange(b"".join(requests)):
            for request in requests:
                replies.append(self._receive_command_reply(request))
                # Each reply of a batch gets the whole timeout, counted from
                # the one before: the server runs the commands one by one.
                self._deadline = time.monotonic() + self.timeout
        return replies

    def read(self, addr: int, nwords: int) -> list[int]:
        """Read nwords 32-bit words of physical memory starting at addr."""
        request = protocol.encode_read(addr, nwords)
        with self._exchange(request):
            self._receive_header(request)
            return protocol.bytes_to_words(self._receive(4 * nwords))

    def write(self, addr: int, words: Iterable[int]) -> None:
        """Write 32-bit words to physical memory starting at addr."""
        request = protocol.encode_write(addr, words)
        with self._exchange(request):
            self._receive_header(request)

    def send_raw(self, data: bytes) -> None:
        """Send bytes as they are, for exercising the server with odd requests."""
        with self._exchange(data):
            pass

    def receive_raw(self, nbytes: int) -> bytes:
        """Receive exactly nbytes, within the timeout."""
        with self._exchange(b""):
            return self._receive(nbytes)

    @contextlib.contextmanager
    def _exchange(self, request: bytes) -> Iterator[None]:
        """Send a request while the body receives its responses.

        A request is sent whole even when a reply came before its end: the
        next request must start at a request boundary.
        """
        if self._sock is None:
            raise ConnectionClosed("connection is closed")
        self._deadline = time.monotonic() + self.timeout
        self._outgoing = memoryview(request)
        try:
            yield
            while self._outgoing:
                self._transfer(receiving=False)
        except BaseException:  # a Ctrl-C too leaves the stream mid-response
            self.close()
            raise

    def _receive(self, nbytes: int) -> bytes:
        while len(self._incoming) < nbytes:
            self._transfer(receiving=True, expected=nbytes)
        data = bytes(self._incoming[:nbytes])
        del self._incoming[:nbytes]
        return data

    def _transfer(self, receiving: bool, expected: int = 0) -> None:
        """Wait within the deadline, then send what the socket takes and receive what came."""
        events = (selectors.EVENT_READ if receiving else 0) | (selectors.EVENT_WRITE if self._outgoing else 0)
        self._selector.modify(self._sock, events)
        remaining = self._deadline - time.monotonic()
        ready = self._selector.select(remaining) if remaining > 0 else []
        if not ready:
            raise Timeout(
                f"no complete response within {self.timeout} s"
                if receiving
                else f"server took no request within {self.timeout} s"
            )
        mask = ready[0][1]
        try:
            if mask & selectors.EVENT_WRITE:
                sent = self._sock.send(self._outgoing[:CHUNK_BYTES])
                self._outgoing = self._outgoing[sent:]
        except BlockingIOError:
            pass
        except OSError as err:
            raise ConnectionClosed(f"connection lost while sending: {err.strerror or err}") from None
        if not mask & selectors.EVENT_READ:
            return
        try:
            chunk = self._sock.recv(CHUNK_BYTES)
        except BlockingIOError:
            return
        except OSError as err:
            raise ConnectionClosed(f"connection lost while receiving: {err.strerror or err}") from None
        if not chunk:
            raise ConnectionClosed(
                f"server closed the connection after {len(self._incoming)} of {expected} expected bytes"
            )
        self._incoming += chunk

    def _receive_header(self, request: bytes) -> bytes:
        got = self._receive(protocol.HEADER_BYTES)
        protocol.check_response_header(got, request[: protocol.HEADER_BYTES])
        return got

    def _receive_command_reply(self, request: bytes) -> str:
        nwords = protocol.bytes_to_words(self._receive_header(request))[3]
        return protocol.unpack_text(self._receive(4 * nwords))
