"""The qelt-client command line."""

from __future__ import annotations

import argparse
import math
import os
import sys
from typing import NoReturn, Sequence

from .actions import EXIT_COMMAND_FAILED, EXIT_ERROR, add_request_parsers, check_request, number, run_request
from .board import Board
from .connection import DEFAULT_PORT, DEFAULT_TIMEOUT
from .errors import ClientError
from .prompt import run_prompt

DEFAULT_HOST = "10.10.1.7"
EXIT_INTERRUPTED = 130
# What a shell reports for a tool that SIGPIPE ended (cat, seq): the reader
# of the output left before the end, so the output is not complete.
EXIT_BROKEN_PIPE = 141


class _Parser(argparse.ArgumentParser):
    """Reports a bad command line in one line, with the status of any other failed request."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_ERROR, f"qelt-client: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="qelt-client",
        description="Talk to the board's command server. Without a request, read requests "
        "from an interactive prompt.",
        epilog=f"Exit status: 0 done, {EXIT_ERROR} bad arguments or a connection or protocol error, "
        f"{EXIT_COMMAND_FAILED} the server reported a failed command.",
    )
    parser.add_argument("--host", default=DEFAULT_HOST, help=f"server address (default {DEFAULT_HOST})")
    parser.add_argument("--port", type=number, default=DEFAULT_PORT, help=f"port (default {DEFAULT_PORT})")
    parser.add_argument(
        "--timeout",
        type=float,
        default=DEFAULT_TIMEOUT,
        help=f"seconds to wait for the server (default {DEFAULT_TIMEOUT})",
    )
    add_request_parsers(parser.add_subparsers(dest="request", metavar="{cmd,read,write,status}"))
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if not 0 < args.port < 65536:
        parser.error(f"port {args.port} is not a TCP port number")
    if not 0 < args.timeout < math.inf:
        parser.error("timeout must be a positive number of seconds")
    if args.request is not None:
        try:
            check_request(args)
        except ValueError as err:
            parser.error(str(err))
    try:
        if args.request is None:
            status = run_prompt(args.host, args.port, args.timeout)
        else:
            with Board(args.host, args.port, args.timeout) as conn:
                status = run_request(conn, args, sys.stdout)
        sys.stdout.flush()  # a reader that left shows here, not at exit
        return status
    except BrokenPipeError:
        # Quietly, as other tools: the output has no reader. Standard output
        # goes to /dev/null so the flush at exit does not complain again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except ClientError as err:
        print(f"qelt-client: {err}", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
