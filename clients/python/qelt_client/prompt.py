"""Interactive prompt: one request per line, with line editing and history."""

from __future__ import annotations

import argparse
import os
import sys

from .actions import EXIT_ERROR, add_request_parsers, run_request
from .board import Board
from .errors import ClientError

HISTORY_FILE = "~/.qelt_client_history"
HISTORY_LENGTH = 1000

HELP = """\
  read ADDR N            read N words of physical memory at ADDR
  write ADDR WORD...     write words to physical memory at ADDR
  status                 summary of the board
  cmd TEXT | TEXT        send a line of command text (e.g. qelt_sw_version)
  help, quit             this text; leave (also Ctrl-D)
Numbers are decimal or 0x-hexadecimal."""


class _LineParser(argparse.ArgumentParser):
    """Reports a bad line as an exception instead of leaving the program."""

    def error(self, message):
        raise ValueError(message)

    def exit(self, status=0, message=None):
        raise ValueError(message or "")


def _line_parser() -> argparse.ArgumentParser:
    parser = _LineParser(prog="", add_help=False)
    add_request_parsers(parser.add_subparsers(dest="request"))
    return parser


def parse_line(parser: argparse.ArgumentParser, line: str):
    """The request on one prompt line; text without a request word is command text."""
    first = line.split(maxsplit=1)[0]
    if first in ("read", "write", "status"):
        return parser.parse_args(line.split())
    text = line.strip()
    if first == "cmd":
        text = text[len("cmd") :].strip()
    return argparse.Namespace(request="cmd", text=[text])


def _enable_line_editing():
    """Load readline and the history file; return a function that saves it."""
    try:
        import readline
    except ImportError:
        return lambda: None
    path = os.path.expanduser(HISTORY_FILE)
    try:
        readline.read_history_file(path)
    except OSError:
        pass
    readline.set_history_length(HISTORY_LENGTH)

    def save():
        try:
            readline.write_history_file(path)
        except OSError:
            pass

    return save


def run_prompt(host: str, port: int, timeout: float) -> int:
    """Serve prompt lines until end of input; return the exit status.

    The status is that of the last line that failed, 0 when none did. After a
    failure closed the connection, the next line connects again, so one lost
    connection does not end the session.
    """
    interactive = sys.stdin.isatty()
    save_history = _enable_line_editing() if interactive else (lambda: None)
    parser = _line_parser()
    conn = Board(host, port, timeout)
    status = 0
    try:
        while True:
            try:
                line = _next_line(interactive, f"qelt {host}> ")
            except KeyboardInterrupt:
                print()
                continue
            if line is None or line.strip() in ("quit", "exit"):
                return status
            if line.strip() == "help":
                print(HELP)
            if line.strip() in ("", "help"):
                continue
            try:
                request = parse_line(parser, line)
                if conn.closed:
                    conn = Board(host, port, timeout)
                status = run_request(conn, request, sys.stdout) or status
            except (ClientError, ValueError) as error:
                if str(error):
                    print(f"error: {error}", file=sys.stderr)
                status = EXIT_ERROR
            except KeyboardInterrupt:
                print()  # the interrupted exchange closed the connection
    finally:
        conn.close()
        save_history()


def _next_line(interactive: bool, prompt: str):
    """The next line of input, None at its end."""
    if interactive:
        try:
            return input(prompt)
        except EOFError:
            print()
            return None
    return sys.stdin.readline() or None
