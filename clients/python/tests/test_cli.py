import contextlib
import io
import unittest
from unittest import mock

from fake_server import FakeServer
from qelt_client.cli import main
from qelt_client.protocol import pack_text
from test_connection import ECHO_HI_REPLY, ECHO_HI_REQUEST, h


def run(port, *argv, stdin=""):
    """Exit status, standard output and standard error of one qelt-client run."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        with mock.patch("sys.stdin", io.StringIO(stdin)):
            try:
                status = main(["--host", "127.0.0.1", "--port", str(port), "--timeout", "2", *argv])
            except SystemExit as exit:
                status = exit.code
    return status, out.getvalue(), err.getvalue()


def command_reply(text: str) -> bytes:
    body = pack_text(text)
    return h(f"ad010003 00000000 00000000 {len(body) // 4:08x} 00000000") + body


class Requests(unittest.TestCase):
    def test_read_prints_four_words_a_line_with_their_address(self):
        request = h("da010001 10000010 00000000 00000005 00000000")
        reply = h("ad010001 10000010 00000000 00000005 00000000") + bytes(range(20))
        with FakeServer((len(request), reply)) as server:
            status, out, _ = run(server.port, "read", "0x10000010", "5")
        self.assertEqual(server.received, request)
        lines = ["0x10000010: 0x00010203 0x04050607 0x08090a0b 0x0c0d0e0f", "0x10000020: 0x10111213"]
        self.assertEqual(out.splitlines(), lines)
        self.assertEqual(status, 0)

    def test_command_exit_status_follows_the_reported_outcome(self):
        cases = [("cmd_status 2 temp 31.50", 0), ("cmd_status -1", 2), ("cmd_status 300", 2), ("echo: hi", 0)]
        for text, status in cases:
            with self.subTest(text), FakeServer((len(ECHO_HI_REQUEST), command_reply(text))) as server:
                self.assertEqual(run(server.port, "cmd", "echo", "hi")[:2], (status, text + "\n"))
                self.assertEqual(server.received, ECHO_HI_REQUEST)


class Failures(unittest.TestCase):
    def test_bad_arguments_are_refused_before_connecting(self):
        cases = [["read", "0x1002", "1"], ["read", "0", "16380"], ["read", "0x", "1"], ["write", "0", "-1"]]
        for argv in cases:
            with self.subTest(argv), FakeServer() as server:
                status, _, err = run(server.port, *argv)
                self.assertEqual(status, 1)
                self.assertRegex(err, r"^qelt-client: [^\n]+\n$")
            self.assertEqual(server.received, b"")

    def test_lost_connection_is_one_line_and_status_1(self):
        with FakeServer((len(ECHO_HI_REQUEST), None)) as server:
            status, out, err = run(server.port, "cmd", "echo hi")
        self.assertEqual((status, out), (1, ""))
        self.assertRegex(err, r"^qelt-client: server closed the connection[^\n]*\n$")


class Prompt(unittest.TestCase):
    def test_piped_lines_run_in_order_and_a_bad_line_does_not_end_the_session(self):
        read = h("da010001 00000010 00000000 00000001 00000000")
        steps = [(len(ECHO_HI_REQUEST), ECHO_HI_REPLY), (len(read), h("ad010001") + read[4:] + h("cafef00d"))]
        lines = "echo hi\n\nread 0x12 1\nread 0x10 1\nhelp\nquit\necho never sent\n"
        with FakeServer(*steps) as server:
            status, out, err = run(server.port, stdin=lines)
        self.assertEqual(server.received, ECHO_HI_REQUEST + read)
        self.assertTrue(out.startswith("echo: hi\n0x00000010: 0xcafef00d\n"), out)
        self.assertIn("not a multiple of 4", err)
        self.assertEqual(status, 1)


if __name__ == "__main__":
    unittest.main()
