"""A connection to the command server."""

from __future__ import annotations

import contextlib
import math
import socket
import time

from . import protocol
from .errors import ClientError, ConnectionClosed, Timeout

DEFAULT_PORT = 4321
DEFAULT_TIMEOUT = 5.0


class Connection:
    """One TCP connection to the command server, used as a context manager.

    The timeout bounds the connect and every exchange, from sending a request
    to the last byte of its response. After a failure or an interruption in
    the middle of an exchange the position in the stream is unknown, so the
    connection is closed and later calls raise ConnectionClosed.
    """

    def __init__(self, host: str, port: int = DEFAULT_PORT, timeout: float = DEFAULT_TIMEOUT):
        if not 0 < port < 65536:
            raise ValueError(f"port {port} is not a TCP port number")
        if not 0 < timeout < math.inf:
            raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
        self.timeout = timeout
        self._deadline = 0.0
        try:
            self._sock = socket.create_connection((host, port), timeout=timeout)
        except socket.timeout:
            raise Timeout(f"no connection to {host}:{port} within {timeout} s") from None
        except OSError as err:
            raise ClientError(f"cannot connect to {host}:{port}: {err.strerror or err}") from None
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def __enter__(self) -> Connection:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    @property
    def closed(self) -> bool:
        return self._sock is None

    def command(self, text: str) -> str:
        """Send one line of command text; return the server's reply text."""
        return self.commands([text])[0]

    def commands(self, texts) -> list[str]:
        """Send several command texts in one go; return their replies in order."""
        requests = [protocol.encode_command(text) for text in texts]
        replies = []
        with self._exchange():
            self._send(b"".join(requests))
            for request in requests:
                replies.append(self._receive_command_reply(request))
                # Each reply of a batch gets the whole timeout, counted from
                # the one before: the server runs the commands one by one.
                self._deadline = time.monotonic() + self.timeout
        return replies

    def read(self, addr: int, nwords: int) -> list[int]:
        """Read nwords 32-bit words of physical memory starting at addr."""
        request = protocol.encode_read(addr, nwords)
        with self._exchange():
            self._send(request)
            self._receive_header(request)
            return protocol.bytes_to_words(self._receive(4 * nwords))

    def write(self, addr: int, words) -> None:
        """Write 32-bit words to physical memory starting at addr."""
        request = protocol.encode_write(addr, words)
        with self._exchange():
            self._send(request)
            self._receive_header(request)

    def send_raw(self, data: bytes) -> None:
        """Send bytes as they are, for exercising the server with odd requests."""
        with self._exchange():
            self._send(data)

    def receive_raw(self, nbytes: int) -> bytes:
        """Receive exactly nbytes, within the timeout."""
        with self._exchange():
            return self._receive(nbytes)

    @contextlib.contextmanager
    def _exchange(self):
        if self._sock is None:
            raise ConnectionClosed("connection is closed")
        self._deadline = time.monotonic() + self.timeout
        try:
            yield
        except BaseException:  # a Ctrl-C too leaves the stream mid-response
            self.close()
            raise

    def _send(self, data: bytes) -> None:
        self._sock.settimeout(self._remaining())
        try:
            self._sock.sendall(data)
        except socket.timeout:
            raise Timeout(f"server took no request within {self.timeout} s") from None
        except OSError as err:
            raise ConnectionClosed(f"connection lost while sending: {err.strerror or err}") from None

    def _receive(self, nbytes: int) -> bytes:
        data = bytearray()
        while len(data) < nbytes:
            self._sock.settimeout(self._remaining())
            try:
                chunk = self._sock.recv(nbytes - len(data))
            except socket.timeout:
                raise Timeout(f"no complete response within {self.timeout} s") from None
            except OSError as err:
                raise ConnectionClosed(f"connection lost while receiving: {err.strerror or err}") from None
            if not chunk:
                raise ConnectionClosed(
                    f"server closed the connection after {len(data)} of {nbytes} expected bytes"
                )
            data += chunk
        return bytes(data)

    def _remaining(self) -> float:
        remaining = self._deadline - time.monotonic()
        if remaining <= 0:
            raise Timeout(f"no complete response within {self.timeout} s")
        return remaining

    def _receive_header(self, request: bytes) -> bytes:
        got = self._receive(protocol.HEADER_BYTES)
        protocol.check_response_header(got, request[: protocol.HEADER_BYTES])
        return got

    def _receive_command_reply(self, request: bytes) -> str:
        nwords = protocol.bytes_to_words(self._receive_header(request))[3]
        return protocol.unpack_text(self._receive(4 * nwords))

