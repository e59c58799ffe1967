"""Client for the board's command server (TCP word protocol).

    from qelt_client import Connection

    with Connection("10.10.1.7") as board:
        print(board.command("qelt_dsa_write 3 1 0 12.5 0.25"))   # cmd_status 2
        words = board.read(0xA0020020, 3)
        board.write(0x10000000, [0x12345678, 0x9ABCDEF0])

Board is a Connection with one method per text command, each returning the
reply's value parsed (see board.py).
"""

from .board import Board, Readings, SomConfig, reply_status
from .connection import DEFAULT_PORT, DEFAULT_TIMEOUT, Connection
from .errors import ClientError, CommandFailed, ConnectionClosed, ProtocolError, Timeout
from .protocol import (
    MAX_READ_WORDS,
    MAX_TEXT_BYTES,
    MAX_WRITE_WORDS,
    encode_command,
    encode_read,
    encode_write,
)

__all__ = [
    "Board",
    "Readings",
    "SomConfig",
    "Connection",
    "DEFAULT_PORT",
    "DEFAULT_TIMEOUT",
    "ClientError",
    "CommandFailed",
    "ConnectionClosed",
    "ProtocolError",
    "Timeout",
    "MAX_READ_WORDS",
    "MAX_WRITE_WORDS",
    "MAX_TEXT_BYTES",
    "encode_command",
    "encode_read",
    "encode_write",
    "reply_status",
]
