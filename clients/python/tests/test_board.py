import math
import unittest

from fake_server import FakeServer
from qelt_client import Board, ClientError, CommandFailed, ProtocolError, Readings, SomConfig, encode_command
from test_cli import command_reply


def exchange(call, text: str, reply: str):
    """What call(board) returns or raises when the server answers reply, and whether it sent text."""
    request = encode_command(text)
    with FakeServer((len(request), command_reply(reply))) as server:
        board = Board("127.0.0.1", server.port, timeout=2)
        try:
            outcome = call(board)
        except ClientError as error:
            outcome = error
        board.close()
    return outcome, server.received == request


class Replies(unittest.TestCase):
    def test_each_reply_shape_gives_its_value(self):
        cases = [
            (lambda b: b.sw_version(), "qelt_sw_version", "cmd_status 2 version 1.3", (1, 3)),
            (lambda b: b.boot(fresh=True), "qelt_init_boot 1", "cmd_status 2 slicepresence 72", 72),
            (lambda b: b.set_attenuator(3, 1, 0, 12.5), "qelt_dsa_write 3 1 0 12.5 0.25", "cmd_status 2",
             None),
            (lambda b: b.attenuator(3, 1, 0), "qelt_dsa_read 3 1 0", "cmd_status 2 dsa 12.50 dsastep 0.25",
             (12.5, 0.25)),
            (lambda b: b.switch_rail(3, "3v3", on=True), "qelt_v3p3_enable 3 1 0", "cmd_status 2 enable 1",
             True),
            (lambda b: b.rail_on(3, "vdd"), "qelt_vdd_enable 3 0 1", "cmd_status 2 enable 0", False),
            (lambda b: b.set_vdd(3, 6), "qelt_vdd_set 3 6.0", "cmd_status 2", None),
            (lambda b: b.readings(3), "qelt_read_psu 3", "cmd_status 2 psu 0.250 6.000 0.000 0.000 0.010 5.04",
             Readings(0.25, 6.0, 0.0, 0.0, 0.01, 5.04)),
            (lambda b: b.alerts(), "qelt_interrupt_polling", "cmd_status 2 interrupt 264", 264),
            # Data keeps its blanks and line ends; an empty image is empty.
            (lambda b: b.eeprom_read(3), "qelt_eeprom_read 3", "cmd_status 2 data  a b\n\xff",
             b" a b\n\xff"),
            (lambda b: b.bb_eeprom_read(), "qelt_bb_eeprom_read", "cmd_status 2 data ", b""),
            (lambda b: b.eeprom_write(3, b"x y\n"), "qelt_eeprom_write 3 4 x y\n", "cmd_status 2", None),
            (lambda b: b.shell("echo hi"), "qelt_system_call echo hi", "cmd_status 2 resp hi\n", "hi\n"),
            (lambda b: b.som_config(), "qelt_read_som_cfg",
             'cmd_status 2 somcfg {"revision":"B2","serial":"SN0042","sku":"QB-9","date":"70000",'
             '"macid":"11042563100175"}', SomConfig("B2", "SN0042", "QB-9", 70000, 0x0A0B0C0D0E0F)),
        ]
        for call, text, reply, value in cases:
            with self.subTest(text):
                self.assertEqual(exchange(call, text, reply), (value, True))

    def test_failures_and_foreign_replies_raise(self):
        cases = [
            (lambda b: b.set_vdd(3, 9.5), "qelt_vdd_set 3 9.5", "cmd_status 300", CommandFailed, 300),
            (lambda b: b.readings(4), "qelt_read_psu 4", "cmd_status -1", CommandFailed, -1),
            (lambda b: b.readings(4), "qelt_read_psu 4", "cmd_status 2 psu 1.0 2.0 3.0", ProtocolError, None),
            (lambda b: b.attenuator(3, 0, 0), "qelt_dsa_read 3 0 0", "cmd_status 2", ProtocolError, None),
            (lambda b: b.sw_version(), "qelt_sw_version", " ", ProtocolError, None),
        ]
        for call, text, reply, error, status in cases:
            with self.subTest(text, reply=reply):
                outcome, sent = exchange(call, text, reply)
                self.assertIsInstance(outcome, error)
                self.assertEqual((getattr(outcome, "status", None), sent), (status, True))


class Arguments(unittest.TestCase):
    def test_what_the_server_would_misread_is_refused_unsent(self):
        cases = [
            lambda b: b.readings(256),  # "%hhu" would take it for slice 0
            lambda b: b.readings("3"),
            lambda b: b.set_attenuator(3, 0, 2, 1.0),
            lambda b: b.set_vdd(3, math.inf),
            lambda b: b.eeprom_write(3, b"a\0b"),
            lambda b: b.shell("ls\nrm -rf x"),
        ]
        for i, call in enumerate(cases):
            with self.subTest(i), FakeServer() as server:
                with Board("127.0.0.1", server.port, timeout=2) as board:
                    self.assertRaises(ValueError, call, board)
            self.assertEqual(server.received, b"")


if __name__ == "__main__":
    unittest.main()
