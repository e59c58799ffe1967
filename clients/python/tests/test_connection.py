import socket
import unittest

from fake_server import FakeServer
from qelt_client import ClientError, Connection, ConnectionClosed, ProtocolError, Timeout, encode_command

HEADER = 20


def h(text: str) -> bytes:
    return bytes.fromhex(text.replace(" ", ""))


ECHO_HI_REQUEST = h("da010003 00000000 00000000 00000002 00000000  6f686365 00696820")
ECHO_HI_REPLY = h("ad010003 00000000 00000000 00000003 00000000  6f686365 6968203a 00000000")
READ_REQUEST = h("da010001 a0020020 00000001 00000002 00000000")
READ_ECHO = h("ad010001 a0020020 00000001 00000002 00000000")


class RequestsAndReplies(unittest.TestCase):
    def test_exact_bytes_each_way(self):
        cases = [
            ("echo", lambda c: c.command("echo hi"), ECHO_HI_REQUEST, ECHO_HI_REPLY, "echo: hi"),
            (
                "empty text is one zero word",
                lambda c: c.command(""),
                h("da010003 00000000 00000000 00000001 00000000 00000000"),
                h("ad010003 00000000 00000000 00000001 00000000 00000020"),
                " ",
            ),
            (
                "four characters need a word for the zero",
                lambda c: c.command("abcd"),
                h("da010003 00000000 00000000 00000002 00000000 64636261 00000000"),
                h("ad010003 00000000 00000000 00000002 00000000 ff203220 00000000"),
                " 2 \xff",
            ),
            (
                "read above 4 GiB",
                lambda c: c.read(0x1_A002_0020, 2),
                READ_REQUEST,
                READ_ECHO + h("00000003 80000400"),
                [3, 0x80000400],
            ),
            (
                "write",
                lambda c: c.write(0x10000000, [0x12345678, 0xFFFFFFFF]),
                h("da010002 10000000 00000000 00000002 00000000 12345678 ffffffff"),
                h("ad010002 10000000 00000000 00000002 00000000"),
                None,
            ),
            (
                "batch in one send",
                lambda c: c.commands(["echo hi", "echo hi"]),
                ECHO_HI_REQUEST * 2,
                ECHO_HI_REPLY * 2,
                ["echo: hi", "echo: hi"],
            ),
        ]
        for name, call, request, reply, result in cases:
            with self.subTest(name), FakeServer((len(request), reply)) as server:
                with Connection("127.0.0.1", server.port, timeout=2) as conn:
                    self.assertEqual(call(conn), result)
                self.assertEqual(server.received, request)


class FailedReplies(unittest.TestCase):
    def test_bad_reply_raises_and_closes_the_connection(self):
        cases = [
            ("wrong magic", READ_ECHO.replace(h("ad010001"), h("ad010002")) + bytes(8), ProtocolError),
            ("length not echoed", READ_ECHO.replace(h("00000002 00000000"), h("00000003 00000000")) + bytes(12), ProtocolError),
            ("reply length 0", h("ad010003 00000000 00000000 00000000 00000000"), ProtocolError),
            ("reply length 8193", h("ad010003 00000000 00000000 00002001 00000000"), ProtocolError),
            ("reserved word set", h("ad010003 00000000 00000000 00000001 00000001 00000000"), ProtocolError),
            ("text without zero", h("ad010003 00000000 00000000 00000001 00000000 41414141"), ProtocolError),
            ("closed mid-reply", h("ad010003 00000000"), ConnectionClosed),
            ("silent server", b"", Timeout),
        ]
        for name, reply, error in cases:
            is_read = reply.startswith(h("ad010001"))
            request = READ_REQUEST if is_read else ECHO_HI_REQUEST
            steps = [(len(request), reply)] + ([(0, None)] if error is ConnectionClosed else [])
            with self.subTest(name), FakeServer(*steps) as server:
                conn = Connection("127.0.0.1", server.port, timeout=0.3)
                call = (lambda: conn.read(0x1_A002_0020, 2)) if is_read else (lambda: conn.command("echo hi"))
                self.assertRaises(error, call)
                # The stream position is lost: later calls must not read stale bytes.
                self.assertTrue(conn.closed)
                self.assertRaises(ConnectionClosed, call)

    def test_refused_connection_is_a_client_error(self):
        with socket.create_server(("127.0.0.1", 0)) as listener:
            port = listener.getsockname()[1]
        with self.assertRaisesRegex(ClientError, f"cannot connect to 127.0.0.1:{port}"):
            Connection("127.0.0.1", port, timeout=1)


class ArgumentChecks(unittest.TestCase):
    def test_requests_the_server_cannot_serve_are_refused_unsent(self):
        cases = [
            ("unaligned", lambda c: c.read(0x10000002, 1)),
            ("negative", lambda c: c.read(-4, 1)),
            ("above 64 bits", lambda c: c.read(1 << 64, 1)),
            ("runs past 64 bits", lambda c: c.read((1 << 64) - 4, 2)),
            ("read too long", lambda c: c.read(0, 16380)),
            ("write too long", lambda c: c.write(0, [0] * 16380)),
            ("word above 32 bits", lambda c: c.write(0, [1 << 32])),
            ("text too long", lambda c: c.command("a" * 32768)),
            ("zero in text", lambda c: c.command("echo a\0b")),
            ("not Latin-1", lambda c: c.command("echo \u20ac")),
        ]
        with FakeServer() as server:
            with Connection("127.0.0.1", server.port, timeout=1) as conn:
                for name, call in cases:
                    with self.subTest(name):
                        self.assertRaises(ValueError, call, conn)
                        self.assertFalse(conn.closed)
            self.assertEqual(server.received, b"")

    def test_largest_text_fills_the_server_buffer(self):
        self.assertEqual(len(encode_command("a" * 32767)), HEADER + 32768)


if __name__ == "__main__":
    unittest.main()
