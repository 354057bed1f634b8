"""The I2C devices as a person meets them: "Show RTC", "Set RTC" and "Dump VPD
EEPROM" in the utilities menu, the clock kept across a reset, and start-up with
failing devices."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from menulib import UTIL_PROMPT, reset, talk, to_menu  # noqa: E402
from tarnlib import BANNER, MENU_PROMPT, TARNBOOT, Board, command  # noqa: E402


def to_utilities(b):
    """Main menu option 21 (a file whose time the file list shows), then the utilities menu."""
    talk(b, "21", MENU_PROMPT, "30", UTIL_PROMPT)


def ask(b, option, *expected):
    b.choose(option)
    b.expect(*expected, UTIL_PROMPT)


class Devices(unittest.TestCase):
    def test_clock_set_and_kept_across_a_reset_and_the_vpd_shown(self):
        with Board() as b:
            to_menu(b)
            to_utilities(b)
            # A new board's clock is halted at 1 January 2000: start-up restarts it.
            ask(b, "14", "Year 2000, Month 1, Day 1, Hour 0 Min 0, Sec ")
            talk(b, "15", "(24-hour format)")
            ask(b, "06-15-2008 0:30:00")
            self.assertEqual(b.chip("rtc.bin")[1:7], bytes([0x30, 0x00, 0, 0x15, 0x06, 0x08]))
            ask(b, "16", "\n00:ff 01 e0 01 1a 54 41 52 4e 38 35 34 31 20 53 57 -----TARN8541 SW",
                "Serial Number:TB0000000001", "MAC: 02-54-41-52-4e-01", "Hardware Revision: 0x01")
            talk(b, "0", MENU_PROMPT)
            reset(b)
            b.expect(BANNER, MENU_PROMPT)
            to_utilities(b)
            ask(b, "14", "Year 2008, Month 6, Day 15, Hour 0 Min 30, Sec ")
            ask(b, "7", "6/15/2008 0:30:")  # the calendar took the clock's time


class FaultInjection(unittest.TestCase):
    def test_silent_devices_still_reach_the_menu(self):
        with Board() as b:
            to_menu(b, "--fault-i2c-nak", "0x51", "--fault-i2c-nak", "0x68")
            to_utilities(b)
            ask(b, "7", "4/22/2005 8:00:")  # the clock does not answer: the fallback date
            for option, shown in (("14", "Year"), ("16", "VPD begins")):
                ask(b, option)
                self.assertNotIn(shown, b.child.before)
            ask(b, "8", "ERROR: Cannot read the VPD EEPROM. Nothing written.")
            talk(b, "15", "(24-hour format)")
            ask(b, "01-02-2008 3:04:05", "RTC set failed")

    def test_busy_bus_times_out(self):
        with Board() as b:
            b.boot("--fault-i2c-busy")
            b.expect("i2cStart: timeout waiting for the bus to be free", BANNER, MENU_PROMPT)
            to_utilities(b)
            ask(b, "14", "i2cStart: timeout waiting for the bus to be free")
        r = subprocess.run(command(TARNBOOT, "--fault-i2c-nak", "0x80"), capture_output=True, text=True)
        self.assertEqual(r.returncode, 2, "an address beyond seven bits is a usage error")


if __name__ == "__main__":
    unittest.main()
