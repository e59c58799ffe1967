"""The qelt-client command line."""

from __future__ import annotations

import argparse
import sys

from . import protocol
from .connection import DEFAULT_PORT, DEFAULT_TIMEOUT, Connection
from .errors import ClientError
from .status import SUCCESS, reply_status

DEFAULT_HOST = "10.10.1.7"
WORDS_PER_LINE = 4

EXIT_ERROR = 1
EXIT_COMMAND_FAILED = 3
EXIT_INTERRUPTED = 130


def number(text: str) -> int:
    """A non-negative number in decimal or with a 0x prefix in hexadecimal."""
    try:
        value = int(text, 16) if text[:2].lower() == "0x" else int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a decimal or 0x-hexadecimal number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"negative number: {text!r}")
    return value


def format_words(addr: int, words) -> list[str]:
    """Lines of "0xADDR: 0xWORD ..." with WORDS_PER_LINE words each."""
    return [
        f"0x{addr + 4 * i:08x}: " + " ".join(f"0x{w:08x}" for w in words[i : i + WORDS_PER_LINE])
        for i in range(0, len(words), WORDS_PER_LINE)
    ]


def add_request_parsers(subparsers) -> None:
    cmd = subparsers.add_parser("cmd", help="send a line of command text, print the reply")
    cmd.add_argument("text", nargs="+", help="command and arguments, joined with blanks")
    read = subparsers.add_parser("read", help="read 32-bit words of physical memory")
    read.add_argument("addr", type=number)
    read.add_argument("nwords", type=number, metavar="N")
    write = subparsers.add_parser("write", help="write 32-bit words to physical memory")
    write.add_argument("addr", type=number)
    write.add_argument("words", type=number, nargs="+", metavar="WORD")


def check_request(args) -> None:
    """Refuse a request the server cannot serve before connecting (ValueError)."""
    if args.request == "cmd":
        protocol.encode_command(" ".join(args.text))
    elif args.request == "read":
        protocol.encode_read(args.addr, args.nwords)
    else:
        protocol.encode_write(args.addr, args.words)


def run_request(conn: Connection, args, out) -> int:
    """Carry out one parsed request; return the exit status it earns."""
    if args.request == "cmd":
        reply = conn.command(" ".join(args.text))
        print(reply, file=out)
        status = reply_status(reply)
        return EXIT_COMMAND_FAILED if status is not None and status != SUCCESS else 0
    if args.request == "read":
        for line in format_words(args.addr, conn.read(args.addr, args.nwords)):
            print(line, file=out)
    else:
        conn.write(args.addr, args.words)
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="qelt-client",
        description="Talk to the board's command server. Without a request, read requests "
        "from an interactive prompt.",
        epilog=f"Exit status: 0 done, {EXIT_ERROR} connection or protocol error, 2 bad arguments, "
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
    add_request_parsers(parser.add_subparsers(dest="request", metavar="{cmd,read,write}"))
    return parser


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if not 0 < args.port < 65536:
        parser.error(f"port {args.port} is not a TCP port number")
    if not args.timeout > 0:
        parser.error("timeout must be a positive number of seconds")
    if args.request is not None:
        try:
            check_request(args)
        except ValueError as err:
            parser.error(str(err))
    try:
        if args.request is None:
            from .prompt import run_prompt

            return run_prompt(args.host, args.port, args.timeout)
        with Connection(args.host, args.port, args.timeout) as conn:
            return run_request(conn, args, sys.stdout)
    except ClientError as err:
        print(f"qelt-client: {err}", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
