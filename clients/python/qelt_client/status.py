"""Reading the outcome of a command reply."""

from __future__ import annotations

SUCCESS = 2


def reply_status(reply: str) -> int | None:
    """The number after "cmd_status" at the start of a reply, or None.

    Board commands answer "cmd_status 2 ..." on success and another number on
    failure; echo and blank requests carry no status.
    """
    words = reply.split(maxsplit=2)
    if len(words) < 2 or words[0] != "cmd_status":
        return None
    try:
        return int(words[1])
    except ValueError:
        return None
