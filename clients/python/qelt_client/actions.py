"""The requests the command line and the prompt share: their arguments and their output."""

from __future__ import annotations

import argparse
from typing import Sequence, TextIO

from . import protocol
from .board import SUCCESS, Board, reply_status
from .summary import format_summary, gather

WORDS_PER_LINE = 4

# As qelt-boardctl: 1 when the request could not be carried out, 2 when the
# board operation itself failed.
EXIT_ERROR = 1
EXIT_COMMAND_FAILED = 2


def number(text: str) -> int:
    """A non-negative number in decimal or with a 0x prefix in hexadecimal."""
    try:
        value = int(text, 16) if text[:2].lower() == "0x" else int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a decimal or 0x-hexadecimal number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"negative number: {text!r}")
    return value


def format_words(addr: int, words: Sequence[int]) -> list[str]:
    """Lines of "0xADDR: 0xWORD ..." with WORDS_PER_LINE words each."""
    return [
        f"0x{addr + 4 * i:08x}: " + " ".join(f"0x{w:08x}" for w in words[i : i + WORDS_PER_LINE])
        for i in range(0, len(words), WORDS_PER_LINE)
    ]


def add_request_parsers(subparsers: argparse._SubParsersAction) -> None:
    cmd = subparsers.add_parser("cmd", help="send a line of command text, print the reply")
    cmd.add_argument("text", nargs="+", help="command and arguments, joined with blanks")
    read = subparsers.add_parser("read", help="read 32-bit words of physical memory")
    read.add_argument("addr", type=number)
    read.add_argument("nwords", type=number, metavar="N")
    write = subparsers.add_parser("write", help="write 32-bit words to physical memory")
    write.add_argument("addr", type=number)
    write.add_argument("words", type=number, nargs="+", metavar="WORD")
    subparsers.add_parser("status", help="summary of the board: slices, rails, readings, attenuators")


def check_request(args: argparse.Namespace) -> None:
    """Refuse a request the server cannot serve before connecting (ValueError)."""
    if args.request == "cmd":
        protocol.encode_command(" ".join(args.text))
    elif args.request == "read":
        protocol.encode_read(args.addr, args.nwords)
    elif args.request == "write":
        protocol.encode_write(args.addr, args.words)


def run_request(conn: Board, args: argparse.Namespace, out: TextIO) -> int:
    """Carry out one parsed request; return the exit status it earns."""
    if args.request == "cmd":
        reply = conn.command(" ".join(args.text))
        print(reply, file=out)
        status = reply_status(reply)
        return EXIT_COMMAND_FAILED if status is not None and status != SUCCESS else 0
    if args.request == "status":
        state = gather(conn)
        for line in format_summary(state):
            print(line, file=out)
        return EXIT_COMMAND_FAILED if state.failures else 0
    if args.request == "read":
        for line in format_words(args.addr, conn.read(args.addr, args.nwords)):
            print(line, file=out)
    else:
        conn.write(args.addr, args.words)
    return 0
