"""Keeps one client connection to the server and relays command texts.

Reads one hex-encoded command text per line on standard input and writes
the hex-encoded reply, one per line, so that texts and replies may hold
any byte, line ends included.
"""

import sys

from qelt_client.connection import Connection

with Connection("127.0.0.1", timeout=30) as conn:
    for line in sys.stdin:
        reply = conn.command(bytes.fromhex(line.strip()).decode("latin-1"))
        print(reply.encode("latin-1").hex(), flush=True)
