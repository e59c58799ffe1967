"""The board's text commands as Python calls with parsed results.

    from qelt_client import Board

    with Board("10.10.1.7") as board:
        present = board.boot()                     # mask, bit i = slice i
        board.set_attenuator(3, 1, 0, 12.5)        # dB, in 0.25 dB steps
        board.switch_rail(3, "vdd", True)
        board.set_vdd(3, 6.0)
        print(board.readings(3).ch1_voltage)

A command the server refuses or the board fails raises CommandFailed with
the reply's status; arguments out of their range (a slice beyond 8, a stage
beyond 1) or that the command text cannot carry raise ValueError before
anything is sent.
"""

from __future__ import annotations

import json
import math
from typing import Any, Callable, Iterable, NamedTuple, Sequence

from .connection import Connection
from .errors import CommandFailed, ProtocolError
from .protocol import TEXT_ENCODING

SUCCESS = 2
SLICES = range(9)
DSA_CHANNELS = range(4)
DSA_STAGES = range(2)
DETECT_CHANNELS = range(4)
BYTES = range(256)
LOG_LEVELS = range(4)
WORDS = range(2**32)
RAIL_COMMANDS = {"vdd": "qelt_vdd_enable", "3v3": "qelt_v3p3_enable", "5v0": "qelt_v5p0_enable"}


class Readings(NamedTuple):
    """One rail monitor: amperes and volts of its three channels.

    A slice's channels are its VDD, 3.3 V and 5.0 V rails; channel 1 of the
    SOM's monitor is the SOM's 5.0 V rail.
    """

    ch1_current: float
    ch1_voltage: float
    ch2_current: float
    ch2_voltage: float
    ch3_current: float
    ch3_voltage: float


class SomConfig(NamedTuple):
    revision: str
    serial: str
    sku: str
    date: int  # minutes since 1996-01-01 00:00
    macid: int  # 48 bits


def _version(text: str) -> tuple[int, int]:
    major, minor = text.split(".")
    return int(major), int(minor)


def _attenuation(text: str) -> tuple[float, float]:
    value, word, step = text.split(" ")
    if word != "dsastep":
        raise ValueError(text)
    return float(value), float(step)


def _readings(text: str) -> Readings:
    return Readings(*(float(word) for word in text.split(" ", 5)))


def _som_config(text: str) -> SomConfig:
    fields = json.loads(text)
    return SomConfig(
        fields["revision"], fields["serial"], fields["sku"], int(fields["date"]), int(fields["macid"])
    )


def _flag(text: str) -> bool:
    return int(text) != 0


def _data(text: str) -> bytes:
    return text.encode(TEXT_ENCODING)


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


# What follows "cmd_status 2" in a successful reply: a keyword and its value
# after one blank. Commands not listed answer "cmd_status 2" alone.
REPLIES: dict[str, tuple[str, Callable[[str], Any]]] = {
    "qelt_sw_version": ("version", _version),
    "qelt_init_boot": ("slicepresence", int),
    "qelt_dsa_read": ("dsa", _attenuation),
    "qelt_board_temperature": ("temp", float),
    "qelt_read_psu": ("psu", _readings),
    "qelt_read_som_psu": ("psu", _readings),
    "qelt_power_detect": ("power", float),
    "qelt_vdd_enable": ("enable", _flag),
    "qelt_v3p3_enable": ("enable", _flag),
    "qelt_v5p0_enable": ("enable", _flag),
    "qelt_vdcdc_readback": ("vdcdc", float),
    "qelt_eeprom_read": ("data", _data),
    "qelt_bb_eeprom_read": ("data", _data),
    "qelt_interrupt_polling": ("interrupt", int),
    "qelt_framesync_count": ("count", int),
    "qelt_system_call": ("resp", str),
    "qelt_read_som_cfg": ("somcfg", _som_config),
}


def parse_reply(command: str, reply: str) -> Any:
    """The value a reply to `command` (its word) carries; None for a bare success.

    Raises CommandFailed for a failure status and ProtocolError for a reply
    that is not what the command answers.
    """
    status = reply_status(reply)
    if status is None:
        raise ProtocolError(f"{command}: reply without a status: {reply[:80]!r}")
    if status != SUCCESS:
        raise CommandFailed(command, status)
    keyword, convert = REPLIES.get(command, (None, None))
    head = f"cmd_status {SUCCESS}"
    if keyword is None:
        if reply != head:
            raise ProtocolError(f"{command}: unexpected reply {reply[:80]!r}")
        return None
    head += f" {keyword} "
    try:
        if not reply.startswith(head):
            raise ValueError
        return convert(reply[len(head) :])
    except (ValueError, TypeError, KeyError):  # json.JSONDecodeError is a ValueError
        raise ProtocolError(f"{command}: unexpected reply {reply[:80]!r}") from None


def checked(value: object, allowed: range, what: str) -> int:
    """An integer argument within its range (a bool counts as 0 or 1)."""
    if not isinstance(value, int) or value not in allowed:
        raise ValueError(f"{what} {value!r} is not an integer {allowed.start}..{allowed.stop - 1}")
    return int(value)


def finite(value: object, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ValueError(f"{what} {value!r} is not a finite number")
    return float(value)


def command_text(command: str, *args: float, tail: str | None = None) -> str:
    """The command line: the word, its checked numbers, then any raw tail."""
    words = [command] + [repr(a) if isinstance(a, float) else str(int(a)) for a in args]
    text = " ".join(words)
    return text if tail is None else f"{text} {tail}"


def payload(data: bytes) -> str:
    """An EEPROM image as request text: one character per byte, no escaping.

    The server takes the payload from the first non-blank character after
    the count, so an image may neither hold a zero byte nor start with white
    space.
    """
    data = bytes(data)
    if b"\0" in data:
        raise ValueError("an EEPROM image with a zero byte cannot be sent as command text")
    if data[:1].isspace():
        raise ValueError("an EEPROM image cannot start with white space: the server skips it")
    return data.decode(TEXT_ENCODING)


class Board(Connection):
    """A connection that runs the board's text commands and parses their replies."""

    def call(self, command: str, *args: float, tail: str | None = None) -> Any:
        text = command_text(command, *args, tail=tail)
        return parse_reply(command, self.command(text))

    def call_each(self, calls: Iterable[tuple[str, Sequence[float]]]) -> list[Any]:
        """Run (command, args) pairs in one exchange.

        Each result is the parsed value or, for a failure the server
        reported, its CommandFailed; nothing is raised for those.
        """
        calls = list(calls)
        texts = [command_text(command, *args) for command, args in calls]
        results = []
        for (command, _), reply in zip(calls, self.commands(texts)):
            try:
                results.append(parse_reply(command, reply))
            except CommandFailed as failure:
                results.append(failure)
        return results

    # Boot and server

    def boot(self, fresh: bool = False) -> int:
        """Detect the slices; fresh forgets every stored setting. The presence mask."""
        return self.call("qelt_init_boot", 1 if fresh else 0)

    def sw_version(self) -> tuple[int, int]:
        return self.call("qelt_sw_version")

    def set_log_level(self, level: int) -> None:
        self.call("qelt_log_level_set", checked(level, LOG_LEVELS, "log level"))

    def shell(self, text: str) -> str:
        """Run a shell command on the module; its output (at most 10000 bytes)."""
        if "\n" in text:
            raise ValueError("the shell text ends at its first line end")
        return self.call("qelt_system_call", tail=text)

    # Attenuators

    def set_attenuator(self, slice_no: int, channel: int, stage: int, db: float, step: float = 0.25) -> None:
        place = _dsa_place(slice_no, channel, stage)
        self.call("qelt_dsa_write", *place, finite(db, "dB"), finite(step, "step"))

    def attenuator(self, slice_no: int, channel: int, stage: int) -> tuple[float, float]:
        """The stored value and step in dB."""
        return self.call("qelt_dsa_read", *_dsa_place(slice_no, channel, stage))

    # Rails and VDD

    def switch_rail(self, slice_no: int, rail: str, on: bool) -> bool:
        """Switch "vdd", "3v3" or "5v0"; whether it is on afterwards."""
        return self.call(_rail_command(rail), _slice(slice_no), 1 if on else 0, 0)

    def rail_on(self, slice_no: int, rail: str) -> bool:
        return self.call(_rail_command(rail), _slice(slice_no), 0, 1)

    def set_vdd(self, slice_no: int, volts: float) -> None:
        self.call("qelt_vdd_set", _slice(slice_no), finite(volts, "VDD"))

    def vdcdc(self) -> float:
        """The VDCDC regulator's voltage as last programmed."""
        return self.call("qelt_vdcdc_readback")

    # Readings and alerts

    def readings(self, slice_no: int) -> Readings:
        return self.call("qelt_read_psu", _slice(slice_no))

    def temperature(self, slice_no: int) -> float:
        return self.call("qelt_board_temperature", _slice(slice_no))

    def power_detect(self, slice_no: int, channel: int) -> float:
        return self.call("qelt_power_detect", _slice(slice_no), checked(channel, DETECT_CHANNELS, "channel"))

    def alerts(self) -> int:
        """Mask of the slices with a rail-monitor alert, bit i = slice i."""
        return self.call("qelt_interrupt_polling")

    def set_alert_levels(self, slice_no: int, milliamps: Iterable[float], critical: bool = False) -> None:
        """Program a slice monitor's warning (or critical) limits, one per channel."""
        levels = [finite(level, "limit") for level in milliamps]
        if len(levels) != 3:
            raise ValueError(f"three limits needed, one per monitor channel, not {len(levels)}")
        command = "qelt_psu_ca_levels" if critical else "qelt_psu_wa_levels"
        self.call(command, _slice(slice_no), *levels)

    # EEPROMs

    def eeprom_read(self, slice_no: int) -> bytes:
        return self.call("qelt_eeprom_read", _slice(slice_no))

    def eeprom_write(self, slice_no: int, data: bytes) -> None:
        text = payload(data)
        self.call("qelt_eeprom_write", _slice(slice_no), len(text), tail=text)

    def eeprom_clear(self, slice_no: int) -> None:
        """Clear the server's copy of the slice's image (not the device)."""
        self.call("qelt_eeprom_clear", _slice(slice_no))

    def bb_eeprom_read(self) -> bytes:
        return self.call("qelt_bb_eeprom_read")

    def bb_eeprom_write(self, data: bytes) -> None:
        text = payload(data)
        self.call("qelt_bb_eeprom_write", len(text), tail=text)

    # Monitoring

    def start_monitoring(self) -> None:
        """Poll readings and temperatures in the background; readings then come from the last pass."""
        self.call("qelt_interrupt_task_start")

    def stop_monitoring(self) -> None:
        self.call("qelt_interrupt_task_stop")

    # SOM and base board

    def som_config(self) -> SomConfig:
        return self.call("qelt_read_som_cfg")

    def som_readings(self) -> Readings:
        return self.call("qelt_read_som_psu")

    def set_feedback_switch(self, control: int, adc8_port: int, adc9_port: int) -> None:
        args = (checked(control, BYTES, "control"), checked(adc8_port, BYTES, "ADC8 port"))
        self.call("qelt_fbswitch_config", *args, checked(adc9_port, BYTES, "ADC9 port"))

    def set_framesync_delay(self, delay: int) -> None:
        self.call("qelt_framesync_delay", checked(delay, WORDS, "delay"))

    def framesync_count(self) -> int:
        return self.call("qelt_framesync_count")


def _slice(slice_no: int) -> int:
    return checked(slice_no, SLICES, "slice")


def _dsa_place(slice_no: int, channel: int, stage: int) -> tuple[int, int, int]:
    channel = checked(channel, DSA_CHANNELS, "DSA channel")
    return _slice(slice_no), channel, checked(stage, DSA_STAGES, "stage")


def _rail_command(rail: str) -> str:
    try:
        return RAIL_COMMANDS[rail]
    except KeyError:
        raise ValueError(f"rail {rail!r} is not one of {', '.join(RAIL_COMMANDS)}") from None
