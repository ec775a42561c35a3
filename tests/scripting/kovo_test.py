"""kovo_test.py: This file contains the tests of the Python module kovo against
the simulated crate: values read and written through channels, tables against
one read per value, every kind of failed exchange as a KovoError naming host,
object and reason, refused sets that send nothing, closing, the present
channels, writes of many rows, the interpreter left running while a crate is
waited for and Ctrl-C taken between attempts, and a crate on IPv6.

The crates, one on IPv4 and one on IPv6, are the tests' process layer's,
started by with-crate with kovo_test.toml as their layout and handed over in
the environment."""
import json
import os
import signal
import socket
import threading
import time
import unittest

import kovo


class Sim:
    """The crates of with-crate: the first one's address, request log and
    control channel, and the addresses of all (the second on IPv6)."""

    def __init__(self):
        self.address = os.environ["KOVO_TEST_CRATE"]
        self.log = os.environ["KOVO_TEST_CRATE_LOG"]
        self.addresses = os.environ["KOVO_TEST_CRATES"].split()
        channel = socket.socket(fileno=int(os.environ["KOVO_TEST_CRATE_CONTROL"]))
        self.control = channel.makefile("rw", encoding="utf-8", newline="\n")

    def command(self, line):
        self.control.write(line + "\n")
        self.control.flush()
        return self.control.readline().strip()

    def sets(self):
        with open(self.log) as f:
            return [(e["name"], e["community"], e["value"]) for e in map(json.loads, f) if e["pdu"] == "SET"]


class CrateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = Sim()

    def setUp(self):
        self.sim.command("clear")
        self.crate = kovo.Crate(self.sim.address, timeout=0.3, retries=0)

    def tearDown(self):
        self.crate.close()

    def test_channel_attributes_read_and_write_their_objects(self):
        channel = self.crate.channels[3]
        channel.voltage = 24.2
        self.assertEqual(channel.voltage, 24.2)
        self.assertEqual(channel.outputVoltage, channel.voltage)
        channel.switch = 1
        self.assertEqual((channel.name, channel.switch), ("U3", 1))
        self.assertEqual(self.sim.sets()[-2:], [("outputVoltage.4", "kite", "41 C1 99 9A"),
                                                ("outputSwitch.4", "kite", "01")])

    def test_table_gives_one_row_per_present_channel_as_dicts_or_numpy(self):
        columns = ["outputName", "outputVoltage", "outputSwitch", "outputConfigMaxSenseVoltage"]
        rows = self.crate.table(columns)
        self.assertEqual([row["channel"] for row in rows], [0, 1, 2, 3, 4, 5, 6, 7, 100, 101, 102, 103, 104, 105,
                                                            106, 107, 300, 301, 302, 303, 304, 305, 306, 307])
        self.assertEqual(rows[1], {"channel": 1, **{c: self.crate.channels[1].get(c) for c in columns}})
        try:
            import numpy
        except ImportError:
            self.skipTest("NumPy is not installed for this Python; the dicts were checked")
        array = self.crate.table(["outputVoltage", "outputSwitch", "outputName"], numpy=True)
        self.assertEqual(array.dtype.names, ("channel", "outputVoltage", "outputSwitch", "outputName"))
        self.assertEqual((array["channel"][8], array["outputName"][8]), (100, "U100"))
        self.assertEqual(array["outputSwitch"].dtype, numpy.int64)

    def test_failures_raise_with_host_object_and_reason_and_refused_sets_send_nothing(self):
        channels = self.crate.channels
        read = lambda: channels[0].voltage
        cases = [
            ("get drop", read, "timeout", "outputVoltage.1", "no answer"),
            ("get error genErr", read, "error status", "outputVoltage.1", "error status genErr"),
            ("get about sysMainSwitch.0", read, "other object", "outputVoltage.1", "is about sysMainSwitch.0"),
            ("get type Counter32", read, "wrong type", "outputVoltage.1", "holds Counter32"),
            (None, lambda: setattr(channels[1], "voltage", 12.0), "refused", "outputVoltage.2", "nothing sent"),
            (None, lambda: setattr(channels[0], "current", 5.5), "refused", "outputCurrent.1", "nothing sent"),
            (None, lambda: setattr(channels[0], "switch", 2), "refused", "outputSwitch.1", "nothing sent"),
        ]
        sets_before = len(self.sim.sets())
        for fault, action, kind, instance, reason in cases:
            with self.subTest(fault=fault, kind=kind, instance=instance):
                self.sim.command("clear")
                if fault:
                    self.assertEqual(self.sim.command("fault outputVoltage.1 " + fault), "ok")
                with self.assertRaises(kovo.KovoError) as caught:
                    action()
                error = caught.exception
                self.assertEqual((error.host, error.object, error.kind), (self.sim.address, instance, kind))
                self.assertIn(reason, error.reason)
                self.assertIn(self.sim.address, str(error))
        with self.assertRaises(TypeError):
            channels[0].switch = 1.5
        self.assertEqual(len(self.sim.sets()), sets_before)

    def test_channels_are_the_present_ones_by_their_index(self):
        channels = self.crate.channels
        self.assertEqual(len(channels), 24)
        self.assertEqual([c.index for c in channels][6:10], [6, 7, 100, 101])
        self.assertEqual((3 in channels, 8 in channels), (True, False))
        self.assertIsInstance(channels[3].status, kovo.OutputStatus)
        self.assertEqual(self.crate.scalars()["sysStatus"], kovo.SysStatus(0))
        self.assertEqual(kovo.OutputStatus(68), kovo.OutputStatus.rampingDown | kovo.OutputStatus.failureMaxCurrent)
        with self.assertRaises(kovo.KovoError) as caught:
            channels[8]
        self.assertEqual((caught.exception.kind, caught.exception.channels), ("no such instance", [8]))
        self.assertIn("channel 8 (slot 0, channel 8 of the slot) is not in the crate", str(caught.exception))
        self.assertEqual(self.crate.select("slot 1,off"), list(range(100, 108)))

    def test_writes_of_many_rows_say_which_were_written(self):
        # Requests of two channels (the crate answers more with tooBig); the
        # crate refuses the one holding channel 2, so channel 3 goes unwritten too.
        self.assertEqual(self.sim.command("toobig 2"), "ok")
        self.addCleanup(self.sim.command, "toobig 0")
        self.assertEqual(self.sim.command("fault outputVoltage.3 set error badValue"), "ok")
        with self.assertRaises(kovo.KovoError) as caught:
            self.crate.set_many("outputVoltage", "0-3", 5.5)
        error = caught.exception
        self.assertEqual((error.written, error.not_written, error.kind), ([0, 1], [2, 3], "error status"))
        self.assertIn("channel 2 outputVoltage (SNMP instance outputVoltage.3)", str(error))
        self.assertEqual([c.voltage == 5.5 for c in self.crate.channels][:4], [True, True, False, False])
        self.assertEqual(self.crate.set_many("outputVoltage", [4, 5], 1.5), {4: 1.5, 5: 1.5})
        with self.assertRaises(kovo.KovoError) as caught:   # the built-in crate is switched off
            self.crate.ramp("slot 0", 2.0)
        self.assertEqual(caught.exception.kind, "switched off")

    def test_the_interpreter_runs_on_while_a_crate_is_waited_for(self):
        self.assertEqual(self.sim.command("fault outputVoltage.1 get drop"), "ok")
        ticks, waiting = [], threading.Event()
        waiting.set()
        ticker = threading.Thread(target=lambda: [ticks.append(time.sleep(0.01)) for _ in iter(waiting.is_set, False)])
        ticker.start()
        before = len(ticks)
        with self.assertRaises(kovo.KovoError):
            self.crate.channels[0].voltage      # 0.3 s without an answer
        during = len(ticks) - before
        waiting.clear()
        ticker.join()
        self.assertGreater(during, 10)
        with self.assertRaises(kovo.KovoError):
            kovo.Crate("\u00e9" * 300)

    def test_ctrl_c_stops_an_exchange_between_its_attempts(self):
        self.assertEqual(self.sim.command("fault outputVoltage.1 get drop"), "ok")
        def attempts():
            with open(self.sim.log) as f:
                return sum(1 for line in f if '"outputVoltage.1"' in line)
        before = attempts()
        with kovo.Crate(self.sim.address, timeout=0.2, retries=20) as crate:
            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
            with self.assertRaises(KeyboardInterrupt):
                crate.channels[0].voltage
        self.assertLess(attempts() - before, 6)     # of 21: stopped after the attempt under way

    def test_crate_on_ipv6(self):
        address = self.sim.addresses[1]
        self.assertTrue(address.startswith("udp6:"), address)
        with kovo.Crate(address, timeout=1, retries=0) as crate:
            self.assertEqual((crate.main_switch, crate.channels[3].name), (0, "U3"))

    def test_closed_crate_refuses_use(self):
        with kovo.Crate(self.sim.address) as crate:
            self.assertIn(crate.main_switch, (0, 1))
        with self.assertRaises(ValueError):
            crate.main_switch


if __name__ == "__main__":
    unittest.main()
