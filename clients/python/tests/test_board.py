import math
import unittest

from fake_server import FakeServer
from qelt_client import Board, ClientError, CommandFailed, ProtocolError
from qelt_client.summary import format_summary, gather


class ScriptedBoard(Board):
    """A Board without a connection: answer(text) gives each reply; keeps the texts sent."""

    def __init__(self, answer):
        self.answer, self.sent = answer, []

    def commands(self, texts):
        self.sent += texts
        return [self.answer(text) for text in texts]


class Calls(unittest.TestCase):
    def test_each_call_sends_its_text_and_gives_the_reply_value_or_raises(self):
        cases = [
            ("boot", (True,), "qelt_init_boot 1", "cmd_status 2 slicepresence 72", 72),
            ("set_attenuator", (3, 1, 0, 12.5), "qelt_dsa_write 3 1 0 12.5 0.25", "cmd_status 2", None),
            ("switch_rail", (3, "3v3", True), "qelt_v3p3_enable 3 1 0", "cmd_status 2 enable 1", True),
            ("rail_on", (3, "vdd"), "qelt_vdd_enable 3 0 1", "cmd_status 2 enable 0", False),
            ("set_vdd", (3, 6), "qelt_vdd_set 3 6.0", "cmd_status 2", None),
            # Data keeps its blanks and line ends.
            ("eeprom_read", (3,), "qelt_eeprom_read 3", "cmd_status 2 data  a b\n\xff", b" a b\n\xff"),
            ("eeprom_write", (3, b"x y\n"), "qelt_eeprom_write 3 4 x y\n", "cmd_status 2", None),
            ("shell", ("echo hi",), "qelt_system_call echo hi", "cmd_status 2 resp hi\n", "hi\n"),
            ("som_config", (), "qelt_read_som_cfg",
             'cmd_status 2 somcfg {"revision":"B2","serial":"S4","sku":"Q","date":"7","macid":"42"}',
             ("B2", "S4", "Q", 7, 42)),
            ("set_vdd", (3, 9.5), "qelt_vdd_set 3 9.5", "cmd_status 300", (CommandFailed, 300)),
            ("readings", (4,), "qelt_read_psu 4", "cmd_status 2 psu 1.0 2.0 3.0", (ProtocolError, None)),
            ("attenuator", (3, 0, 0), "qelt_dsa_read 3 0 0", "cmd_status 2", (ProtocolError, None)),
            ("sw_version", (), "qelt_sw_version", " ", (ProtocolError, None)),
        ]
        for method, args, text, reply, expected in cases:
            board = ScriptedBoard(lambda _: reply)
            try:
                outcome = getattr(board, method)(*args)
            except ClientError as error:
                outcome = (type(error), getattr(error, "status", None))
            with self.subTest(text):
                self.assertEqual((outcome, board.sent), (expected, [text]))

    def test_what_the_server_cannot_serve_is_refused_unsent(self):
        refused = [  # out of range, or what the request cannot carry
            lambda b: b.readings(9),
            lambda b: b.readings("3"),
            lambda b: b.set_attenuator(3, 0, 2, 1.0),
            lambda b: b.set_vdd(3, math.inf),
            lambda b: b.eeprom_write(3, b"a\0b"),
            lambda b: b.shell("ls\nrm -rf x"),
            lambda b: b.read(0x10000002, 1),  # unaligned
            lambda b: b.read(2**64 - 4, 2),  # runs past the address space
            lambda b: b.read(0, 16380),
            lambda b: b.write(0, [1 << 32]),
            lambda b: b.command("a" * 32768),
            lambda b: b.command("echo a\0b"),
            lambda b: b.command("echo \u20ac"),  # not Latin-1
        ]
        with FakeServer() as server, Board("127.0.0.1", server.port, timeout=1) as board:
            for i, call in enumerate(refused):
                with self.subTest(i):
                    self.assertRaises(ValueError, call, board)
                    self.assertFalse(board.closed)
        self.assertEqual(server.received, b"")


ANSWERS = {  # by whole text or by command word; the rest is refused, as for an absent slice
    "qelt_sw_version": "version 1.3",
    "qelt_vdcdc_readback": "vdcdc 6.40",
    "qelt_interrupt_polling": "interrupt 32",
    "qelt_read_psu 5": "psu 0.250 6.000 0.010 3.300 0.000 0.000",
    "qelt_board_temperature 5": "temp 25.00",
    "qelt_vdd_enable": "enable 1",
    "qelt_v3p3_enable": "enable 0",
    "qelt_dsa_read": "dsa 31.75 dsastep 0.25",
    "qelt_dsa_read 5 2 1": "dsa 12.50 dsastep 0.25",
}


def answer(text):
    value = ANSWERS.get(text, ANSWERS.get(text.split()[0]))
    return "cmd_status -1" if value is None else f"cmd_status 2 {value}"


class Summary(unittest.TestCase):
    def test_present_slice_with_its_rails_temperature_and_attenuators_while_monitoring_is_off(self):
        self.assertEqual(
            format_summary(gather(ScriptedBoard(answer))),
            [
                "software 1.3   monitoring off   VDCDC 6.40 V",
                "present slices: 5 (mask 0x020)   alerts: 5 (mask 0x020)",
                "",
                "slice  VDD                  3.3 V                5.0 V                temp",
                "    5  on   6.000 V 0.250 A  off  3.300 V 0.010 A  ?    0.000 V 0.000 A  25.00 C",
                "",
                "slice  attenuators in dB, stage 0/1",
                "    5  ch0 31.75/31.75  ch1 31.75/31.75  ch2 31.75/12.50  ch3 31.75/31.75",
            ],
        )
