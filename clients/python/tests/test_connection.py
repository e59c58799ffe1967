import unittest
from unittest import mock

from fake_server import ECHO_HI_REPLY, ECHO_HI_REQUEST, FakeServer, command_reply, h
from qelt_client import Connection, ConnectionClosed, ProtocolError, Timeout, encode_command, protocol

REPLY = "ad010003 00000000 00000000 %08x 00000000 "
# Two words ending at the last word of the address space.
READ_REQUEST = h("da010001 fffffff8 ffffffff 00000002 00000000")
READ_ECHO = h("ad010001 fffffff8 ffffffff 00000002 00000000")


class RequestsAndReplies(unittest.TestCase):
    def test_exact_bytes_each_way(self):
        cases = [
            ("command", ["echo hi"], ECHO_HI_REQUEST, ECHO_HI_REPLY, "echo: hi"),
            # Four characters need one more word for the zero; reply bytes are Latin-1.
            ("command", ["abcd"], h("da010003 00000000 00000000 00000002 00000000 64636261 00000000"),
             h(REPLY % 2 + "ff203220 00000000"), " 2 \xff"),
            ("read", [2**64 - 8, 2], READ_REQUEST, READ_ECHO + h("00000003 80000400"), [3, 0x80000400]),
            ("write", [0x10000000, [0x12345678, 0xFFFFFFFF]],
             h("da010002 10000000 00000000 00000002 00000000 12345678 ffffffff"),
             h("ad010002 10000000 00000000 00000002 00000000"), None),
        ]
        for method, args, request, reply, result in cases:
            with self.subTest(method, args=args), FakeServer((len(request), reply)) as server:
                with Connection("127.0.0.1", server.port, timeout=2) as conn:
                    self.assertEqual(getattr(conn, method)(*args), result)
                self.assertEqual(server.received, request)

    def test_batch_beyond_the_socket_buffers_goes_out_while_replies_come_in(self):
        # 12 MB each way: sent whole before any reply is read, the batch would
        # fill the buffers both ways and stall client and server alike.
        texts = [f"echo {i} " + "x" * 30000 for i in range(400)]
        requests = [encode_command(text) for text in texts]
        steps = [(len(request), command_reply(text)) for request, text in zip(requests, texts)]
        with FakeServer(*steps) as server:
            with Connection("127.0.0.1", server.port, timeout=5) as conn:
                self.assertEqual(conn.commands(texts), texts)
            self.assertEqual(server.received, b"".join(requests))


class FailedReplies(unittest.TestCase):
    def test_bad_or_interrupted_reply_raises_and_closes_the_connection(self):
        cases = [
            ("wrong magic", "command", h("ad010001") + ECHO_HI_REPLY[4:], ProtocolError),
            ("length not echoed", "read", READ_ECHO[:12] + h("00000003 00000000") + bytes(12), ProtocolError),
            ("options not echoed", "read", READ_ECHO[:16] + h("01000000") + bytes(8), ProtocolError),
            ("reply length 0", "command", h(REPLY % 0), ProtocolError),
            ("reply length 8193", "command", h(REPLY % 8193), ProtocolError),
            ("reserved word set", "command", h(REPLY % 1)[:16] + h("00000001 00000000"), ProtocolError),
            ("text without zero", "command", h(REPLY % 1 + "41414141"), ProtocolError),
            ("closed mid-reply", "command", h("ad010003 00000000"), ConnectionClosed),
            ("silent server", "command", b"", Timeout),
            ("Ctrl-C", "command", ECHO_HI_REPLY, KeyboardInterrupt),
        ]
        for name, method, reply, error in cases:
            request = READ_REQUEST if method == "read" else ECHO_HI_REQUEST
            steps = [(len(request), reply)] + ([(0, None)] if error is ConnectionClosed else [])
            # Ctrl-C comes while the reply is decoded.
            unpack = protocol.unpack_text if error is not KeyboardInterrupt else KeyboardInterrupt
            with self.subTest(name), FakeServer(*steps) as server:
                conn = Connection("127.0.0.1", server.port, timeout=0.3)
                call = lambda: conn.read(2**64 - 8, 2) if method == "read" else conn.command("echo hi")
                with mock.patch.object(protocol, "unpack_text", side_effect=unpack):
                    self.assertRaises(error, call)
                # The stream position is lost: later calls must not read stale bytes.
                self.assertTrue(conn.closed)
                self.assertRaises(ConnectionClosed, call)
