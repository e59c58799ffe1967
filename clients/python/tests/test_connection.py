import socket
import unittest

from fake_server import FakeServer
from qelt_client import ClientError, Connection, ConnectionClosed, ProtocolError, Timeout


def h(text: str) -> bytes:
    return bytes.fromhex(text.replace(" ", ""))


COMMAND = "da010003 00000000 00000000 %08x 00000000 "
REPLY = "ad010003 00000000 00000000 %08x 00000000 "
ZERO = "00000000"
ECHO_HI_REQUEST = h(COMMAND % 2 + "6f686365 00696820")
ECHO_HI_REPLY = h(REPLY % 3 + "6f686365 6968203a 00000000")
READ_REQUEST = h("da010001 a0020020 00000001 00000002 00000000")
READ_ECHO = h("ad010001 a0020020 00000001 00000002 00000000")
WRITE_REQUEST = h("da010002 10000000 00000000 00000002 00000000 12345678 ffffffff")
WRITE_ECHO = h("ad010002 10000000 00000000 00000002 00000000")


class RequestsAndReplies(unittest.TestCase):
    def test_exact_bytes_each_way(self):
        cases = [
            ("command", ["echo hi"], ECHO_HI_REQUEST, ECHO_HI_REPLY, "echo: hi"),
            ("command", [""], h(COMMAND % 1 + ZERO), h(REPLY % 1 + "00000020"), " "),
            # Four characters need one more word for the zero; reply bytes are Latin-1.
            ("command", ["abcd"], h(COMMAND % 2 + "64636261" + ZERO), h(REPLY % 2 + "ff203220" + ZERO),
             " 2 \xff"),
            ("read", [0x1_A002_0020, 2], READ_REQUEST, READ_ECHO + h("00000003 80000400"), [3, 0x80000400]),
            ("write", [0x10000000, [0x12345678, 0xFFFFFFFF]], WRITE_REQUEST, WRITE_ECHO, None),
            ("commands", [["echo hi"] * 2], ECHO_HI_REQUEST * 2, ECHO_HI_REPLY * 2, ["echo: hi"] * 2),
        ]
        for method, args, request, reply, result in cases:
            with self.subTest(method, args=args), FakeServer((len(request), reply)) as server:
                with Connection("127.0.0.1", server.port, timeout=2) as conn:
                    self.assertEqual(getattr(conn, method)(*args), result)
                self.assertEqual(server.received, request)


class FailedReplies(unittest.TestCase):
    def test_bad_reply_raises_and_closes_the_connection(self):
        length_3 = READ_ECHO.replace(h("00000002 00000000"), h("00000003 00000000"))
        cases = [
            ("wrong magic", READ_ECHO.replace(h("ad010001"), h("ad010002")) + bytes(8), ProtocolError),
            ("length not echoed", length_3 + bytes(12), ProtocolError),
            ("reply length 0", h(REPLY % 0), ProtocolError),
            ("reply length 8193", h(REPLY % 8193), ProtocolError),
            ("reserved word set", h("ad010003 00000000 00000000 00000001 00000001 00000000"), ProtocolError),
            ("text without zero", h(REPLY % 1 + "41414141"), ProtocolError),
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
            ("read", 0x10000002, 1),  # unaligned
            ("read", (1 << 64) - 4, 2),  # runs past the address space
            ("read", 0, 16380),
            ("write", 0, [1 << 32]),
            ("command", "a" * 32768),
            ("command", "echo a\0b"),
            ("command", "echo \u20ac"),  # not Latin-1
        ]
        with FakeServer() as server:
            with Connection("127.0.0.1", server.port, timeout=1) as conn:
                for method, *args in cases:
                    with self.subTest(method, args=args):
                        self.assertRaises(ValueError, getattr(conn, method), *args)
                        self.assertFalse(conn.closed)
            self.assertEqual(server.received, b"")


if __name__ == "__main__":
    unittest.main()
