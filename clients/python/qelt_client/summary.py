"""The `status` request: the whole board on one screen."""

from __future__ import annotations

from dataclasses import dataclass, field

from .board import DSA_CHANNELS, DSA_STAGES, RAIL_COMMANDS, SLICES, Board, Readings
from .errors import CommandFailed

SENSOR_SLICES = range(5, 9)  # the slices that carry a temperature sensor
DSA_PLACES = [(channel, stage) for channel in DSA_CHANNELS for stage in DSA_STAGES]
RAIL_LABELS = {"vdd": "VDD", "3v3": "3.3 V", "5v0": "5.0 V"}


@dataclass
class SliceState:
    readings: Readings
    temperature: float | None
    rails: dict = field(default_factory=dict)  # rail -> on; None when unknown
    attenuators: dict = field(default_factory=dict)  # (channel, stage) -> dB; None when unknown


@dataclass
class BoardState:
    version: tuple | None
    monitoring: bool
    vdcdc: float | None
    alerts: int | None
    slices: dict  # present slice -> SliceState
    failures: int  # board-wide queries and readbacks of present slices that failed


def _value(result):
    return None if isinstance(result, CommandFailed) else result


def _slice_queries(slice_no: int) -> list:
    rails = [(command, (slice_no, 0, 1)) for command in RAIL_COMMANDS.values()]  # readback, no switching
    return rails + [("qelt_dsa_read", (slice_no, channel, stage)) for channel, stage in DSA_PLACES]


def gather(board: Board) -> BoardState:
    """Ask the server for everything the summary shows, in three exchanges.

    Slice 0 has no temperature sensor, so the server answers its temperature
    only from the stored values of a running monitor: that tells whether
    monitoring is on. A running monitor also answers the readings of absent
    slices, so it is stopped for the one exchange that reads them and started
    again at its end: then a slice's readings are refused exactly when it is
    absent, and they are the latest.
    """
    version, slice0, vdcdc, alerts = board.call_each(
        [
            ("qelt_sw_version", ()),
            ("qelt_board_temperature", (0,)),
            ("qelt_vdcdc_readback", ()),
            ("qelt_interrupt_polling", ()),
        ]
    )
    monitoring = not isinstance(slice0, CommandFailed)
    reads = [("qelt_read_psu", (s,)) for s in SLICES]
    reads += [("qelt_board_temperature", (s,)) for s in SENSOR_SLICES]
    if monitoring:
        reads = [("qelt_interrupt_task_stop", ())] + reads + [("qelt_interrupt_task_start", ())]
    results = board.call_each(reads)
    if monitoring:
        results = results[1:-1]
    temperatures = dict(zip(SENSOR_SLICES, results[len(SLICES) :]))
    slices = {
        s: SliceState(readings, _value(temperatures.get(s)))
        for s, readings in zip(SLICES, results)
        if not isinstance(readings, CommandFailed)
    }

    answers = iter(board.call_each([query for s in slices for query in _slice_queries(s)]))
    failures = sum(isinstance(r, CommandFailed) for r in (version, vdcdc, alerts))
    for state in slices.values():
        state.rails = {rail: _value(next(answers)) for rail in RAIL_COMMANDS}
        for place in DSA_PLACES:
            stored = _value(next(answers))
            state.attenuators[place] = None if stored is None else stored[0]
        failures += sum(v is None for v in (*state.rails.values(), *state.attenuators.values()))
    return BoardState(_value(version), monitoring, _value(vdcdc), _value(alerts), slices, failures)


def _number(value, fmt: str) -> str:
    return "?" if value is None else format(value, fmt)


def _slice_list(mask: int) -> str:
    return " ".join(str(s) for s in SLICES if mask >> s & 1) or "none"


def format_summary(state: BoardState) -> list[str]:
    version = "?" if state.version is None else "%d.%d" % state.version
    mask = sum(1 << s for s in state.slices)
    alerts = "?" if state.alerts is None else f"{_slice_list(state.alerts)} (mask 0x{state.alerts:03x})"
    lines = [
        f"software {version}   monitoring {'on' if state.monitoring else 'off'}   "
        f"VDCDC {_number(state.vdcdc, '.2f')} V",
        f"present slices: {_slice_list(mask)} (mask 0x{mask:03x})   alerts: {alerts}",
    ]
    if not state.slices:
        return lines + ["no slice answers: run a boot (qelt_init_boot 0)"]
    lines += ["", "slice  " + "".join(f"{RAIL_LABELS[rail]:21}" for rail in RAIL_COMMANDS) + "temp"]
    for s, slice_state in state.slices.items():
        r = slice_state.readings
        rails = [(on, r[2 * i + 1], r[2 * i]) for i, on in enumerate(slice_state.rails.values())]
        cells = "".join(f"{_on_off(on):3} {volts:6.3f} V {amps:5.3f} A  " for on, volts, amps in rails)
        temperature = "" if slice_state.temperature is None else f"{slice_state.temperature:.2f} C"
        lines.append(f"{s:5}  {cells}{temperature}".rstrip())
    lines += ["", "slice  attenuators in dB, stage 0/1"]
    for s, slice_state in state.slices.items():
        dsa = slice_state.attenuators
        channels = [f"ch{c} {_number(dsa[c, 0], '.2f')}/{_number(dsa[c, 1], '.2f')}" for c in DSA_CHANNELS]
        lines.append(f"{s:5}  " + "  ".join(channels))
    return lines


def _on_off(on) -> str:
    return "?" if on is None else "on" if on else "off"
