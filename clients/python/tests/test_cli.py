import contextlib
import io
import os
import socket
import unittest
from unittest import mock

from fake_server import ECHO_HI_REPLY, ECHO_HI_REQUEST, FakeServer, command_reply, h
from qelt_client.cli import main
from qelt_client.prompt import HELP, completions

READ_REQUEST = h("da010001 10000010 00000000 00000005 00000000")
READ_REPLY = h("ad010001 10000010 00000000 00000005 00000000") + bytes(range(20))


def run(port, *argv, stdin=""):
    """Exit status, standard output and standard error of one qelt-client run."""
    out, err = io.StringIO(), io.StringIO()
    piped = mock.patch("sys.stdin", io.StringIO(stdin))
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err), piped:
        try:
            status = main(["--host", "127.0.0.1", "--port", str(port), "--timeout", "2", *argv])
        except SystemExit as exit:
            status = exit.code
    return status, out.getvalue(), err.getvalue()


class Requests(unittest.TestCase):
    def test_output_and_exit_status_follow_the_outcome(self):
        echo, read = ["cmd", "echo", "hi"], ["read", "0x10000010", "5"]
        cases = [
            (read, READ_REQUEST, READ_REPLY,
             (0, "0x10000010: 0x00010203 0x04050607 0x08090a0b 0x0c0d0e0f\n0x10000020: 0x10111213\n", "")),
            (echo, ECHO_HI_REQUEST, command_reply("cmd_status 2"), (0, "cmd_status 2\n", "")),
            (echo, ECHO_HI_REQUEST, command_reply("cmd_status 300"), (2, "cmd_status 300\n", "")),
            (echo, ECHO_HI_REQUEST, ECHO_HI_REPLY, (0, "echo: hi\n", "")),
            (echo, ECHO_HI_REQUEST, None,
             (1, "", "qelt-client: server closed the connection after 0 of 20 expected bytes\n")),
            (["read", "0x1002", "1"], b"", None,  # refused before connecting
             (1, "", "qelt-client: address 0x1002 is not a multiple of 4\n")),
        ]
        for argv, request, reply, outcome in cases:
            with self.subTest(argv, reply=reply), FakeServer((len(request), reply)) as server:
                self.assertEqual(run(server.port, *argv), outcome)
            self.assertEqual(server.received, request)

    def test_output_reader_that_left_ends_the_run_quietly(self):
        reader, writer = os.pipe()
        os.close(reader)  # as `| head` that has read enough
        with FakeServer((len(READ_REQUEST), READ_REPLY)) as server, open(writer, "w") as out:
            with mock.patch("sys.stdout", out), contextlib.redirect_stderr(io.StringIO()) as err:
                status = main(["--host", "127.0.0.1", "--port", str(server.port), "read", "0x10000010", "5"])
        self.assertEqual((status, err.getvalue()), (141, ""))


class Prompt(unittest.TestCase):
    def test_piped_lines_run_in_order_and_a_bad_line_does_not_end_the_session(self):
        read = h("da010001 00000010 00000000 00000001 00000000")
        steps = [(len(ECHO_HI_REQUEST), ECHO_HI_REPLY), (len(read), h("ad010001") + read[4:] + h("cafef00d"))]
        lines = "echo hi\n\nread 0x12 1\nread 0x10 1\nhelp\nquit\necho never sent\n"
        with FakeServer(*steps) as server:
            status, out, err = run(server.port, stdin=lines)
        self.assertEqual((status, server.received), (1, ECHO_HI_REQUEST + read))
        self.assertTrue(out.startswith("echo: hi\n0x00000010: 0xcafef00d\n"), out)
        self.assertIn("not a multiple of 4", err)

    def test_server_not_there_yet_does_not_end_the_session(self):
        with socket.create_server(("127.0.0.1", 0)) as listener:
            port = listener.getsockname()[1]
        status, out, err = run(port, stdin="echo hi\nhelp\n")
        self.assertEqual((status, out), (1, HELP + "\n"))
        self.assertRegex(err, f"^error: cannot connect to 127.0.0.1:{port}: [^\n]+\n$")

    def test_completion_offers_command_words_where_a_command_goes(self):
        cases = [
            ("", "st", ["status "]),
            ("", "qelt_dsa_", ["qelt_dsa_write ", "qelt_dsa_read "]),
            ("  cmd ", "qelt_sw", ["qelt_sw_version "]),
            ("cmd ", "re", []),
            ("read ", "", []),
        ]
        for before, word, expected in cases:
            with self.subTest(before=before, word=word):
                self.assertEqual(completions(before, word), expected)
