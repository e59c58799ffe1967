"""Interactive prompt: one request per line, with line editing, history and completion."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Callable, NoReturn

from .actions import EXIT_ERROR, add_request_parsers, check_request, run_request
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
Numbers are decimal or 0x-hexadecimal; Tab completes command words."""

PROMPT_WORDS = ("read", "write", "status", "cmd", "help", "quit")
SERVER_COMMANDS = (
    "echo",
    "qelt_sw_version",
    "qelt_init_boot",
    "qelt_dsa_write",
    "qelt_dsa_read",
    "qelt_board_temperature",
    "qelt_read_psu",
    "qelt_power_detect",
    "qelt_vdd_set",
    "qelt_vdd_enable",
    "qelt_vdcdc_readback",
    "qelt_v3p3_enable",
    "qelt_v5p0_enable",
    "qelt_eeprom_clear",
    "qelt_eeprom_write",
    "qelt_eeprom_read",
    "qelt_bb_eeprom_write",
    "qelt_bb_eeprom_read",
    "qelt_fbswitch_config",
    "qelt_interrupt_polling",
    "qelt_interrupt_task_start",
    "qelt_interrupt_task_stop",
    "qelt_psu_wa_levels",
    "qelt_psu_ca_levels",
    "qelt_log_level_set",
    "qelt_framesync_delay",
    "qelt_framesync_count",
    "qelt_system_call",
    "qelt_read_som_cfg",
    "qelt_read_som_psu",
)


class _LineParser(argparse.ArgumentParser):
    """Reports a bad line as an exception instead of leaving the program."""

    def error(self, message: str) -> NoReturn:
        raise ValueError(message)

    def exit(self, status: int = 0, message: str | None = None) -> NoReturn:
        raise ValueError(message or "")


def _line_parser() -> argparse.ArgumentParser:
    parser = _LineParser(prog="", add_help=False)
    add_request_parsers(parser.add_subparsers(dest="request"))
    return parser


def parse_line(parser: argparse.ArgumentParser, line: str) -> argparse.Namespace:
    """The request on one prompt line; text without a request word is command text."""
    first = line.split(maxsplit=1)[0]
    if first in ("read", "write", "status"):
        return parser.parse_args(line.split())
    text = line.strip()
    if first == "cmd":
        text = text[len("cmd") :].strip()
    return argparse.Namespace(request="cmd", text=[text])


def completions(before: str, word: str) -> list[str]:
    """The command words that complete `word`, typed after the text `before`.

    A line starts with a prompt word or a server command, and "cmd" is
    followed by a server command; arguments are not completed.
    """
    words = before.split()
    if not words:
        candidates = PROMPT_WORDS + SERVER_COMMANDS
    elif words == ["cmd"]:
        candidates = SERVER_COMMANDS
    else:
        return []
    # The blank after a completed word, as a shell completes its commands.
    return [candidate + " " for candidate in candidates if candidate.startswith(word)]


def _enable_line_editing() -> Callable[[], None]:
    """Load readline, the history file and completion; return a function that saves the history."""
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

    def complete(word: str, state: int) -> str | None:
        matches = completions(readline.get_line_buffer()[: readline.get_begidx()], word)
        return matches[state] if state < len(matches) else None

    readline.set_completer(complete)
    readline.set_completer_delims(" \t")
    libedit = "libedit" in (readline.__doc__ or "")  # macOS's Python: its own binding syntax
    readline.parse_and_bind("bind ^I rl_complete" if libedit else "tab: complete")

    def save() -> None:
        try:
            readline.write_history_file(path)
        except OSError:
            pass

    return save


def run_prompt(host: str, port: int, timeout: float) -> int:
    """Serve prompt lines until end of input; return the exit status.

    The status is that of the last line that failed, 0 when none did. The
    connection is made for the first line that needs the server and made
    again after a failure closed it, so neither a server that is not there
    yet nor one lost connection ends the session.
    """
    interactive = sys.stdin.isatty()
    save_history = _enable_line_editing() if interactive else (lambda: None)
    parser = _line_parser()
    conn = None
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
                check_request(request)
                if conn is None or conn.closed:
                    conn = Board(host, port, timeout)
                status = run_request(conn, request, sys.stdout) or status
            except (ClientError, ValueError) as error:
                if str(error):
                    print(f"error: {error}", file=sys.stderr)
                status = EXIT_ERROR
            except KeyboardInterrupt:
                print()  # the interrupted exchange closed the connection
    finally:
        if conn is not None:
            conn.close()
        save_history()


def _next_line(interactive: bool, prompt: str) -> str | None:
    """The next line of input, None at its end."""
    if interactive:
        try:
            return input(prompt)
        except EOFError:
            print()
            return None
    return sys.stdin.readline() or None
