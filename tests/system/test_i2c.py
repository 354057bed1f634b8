"""The I2C devices as a person meets them: start-up with the clock and the VPD
EEPROM, "Show RTC", "Set RTC", "Dump VPD EEPROM" and VPD programming in the
utilities menu, persistence across a reset, and start-up with failing devices."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarnlib import BANNER, TARNBOOT, Board  # noqa: E402

UTIL_PROMPT = "Select option (0-17): "
SERIAL_AT = 3 + 28 + 13 + 2      # value of record 3 in the factory VPD
MAC_AT = SERIAL_AT + 12 + 2      # value of record 4


def boot_to_menu(b, *args):
    b.boot(*args)
    b.expect(BANNER)
    b.menu()


def utilities(b):
    b.choose("30")
    b.expect(UTIL_PROMPT)


def reset(b):
    """Main menu option 9, answered yes: the board restarts as at power-on."""
    b.choose("0")
    b.menu()
    b.choose("9")
    b.expect("(y/n)")
    b.choose("y")
    b.expect(BANNER)
    b.menu()


def read_bytes(b, name):
    with open(os.path.join(b.dir, name), "rb") as f:
        return f.read()


class RealTimeClock(unittest.TestCase):
    def test_fresh_clock_set_and_kept_across_reset(self):
        with Board() as b:
            boot_to_menu(b)
            # A new board's clock is halted at 1 January 2000: start-up
            # restarts it and uses that time.
            rtc = read_bytes(b, "rtc.bin")
            self.assertEqual(rtc[0] & 0x80, 0, "oscillator restarted")
            self.assertEqual(rtc[8], 20)
            utilities(b)
            b.choose("14")
            b.expect("Year 2000, Month 1, Day 1, Hour 0 Min 0, Sec ")
            b.expect(UTIL_PROMPT)

            b.choose("15")
            b.expect("Enter date and time as follows: mm-dd-yyyy h:m:s (24-hour format)")
            b.choose("02-30-2008 10:00:00")
            b.expect("Day value of 30 is invalid")
            b.expect(UTIL_PROMPT)
            b.choose("15")
            b.expect("(24-hour format)")
            b.choose("12-31-2008 24:00:00")
            b.expect("Hour value of 24 is invalid")
            b.expect(UTIL_PROMPT)
            b.choose("15")
            b.expect("(24-hour format)")
            b.choose("06-15-2008 0:30:00")
            b.expect(UTIL_PROMPT)
            self.assertNotIn("invalid", b.child.before)
            rtc = read_bytes(b, "rtc.bin")
            self.assertEqual(rtc[0:7], bytes([rtc[0], 0x30, 0x00, 0, 0x15, 0x06, 0x08]))
            b.choose("14")
            b.expect("Year 2008, Month 6, Day 15, Hour 0 Min 30, Sec ")
            b.expect(UTIL_PROMPT)

            # The set time survives a reset and goes on running; start-up
            # loads it into the calendar, which file times show.
            reset(b)
            b.choose("21")
            b.menu()
            utilities(b)
            b.choose("14")
            b.expect("Year 2008, Month 6, Day 15, Hour 0 Min 30, Sec ")
            b.expect(UTIL_PROMPT)
            b.choose("7")
            b.expect("6/15/2008 0:30:")
            b.expect(UTIL_PROMPT)


class VpdEeprom(unittest.TestCase):
    def test_dump_and_programming_survive_a_reset(self):
        with Board() as b:
            boot_to_menu(b)
            before = read_bytes(b, "eeprom.bin")
            self.assertEqual(before[0:3], b"\xff\x01\xe0")
            utilities(b)
            b.choose("16")
            b.expect("\n00:ff 01 e0 01 1a 54 41 52 4e 38 35 34 31 20 53 57 -----TARN8541 SW")
            b.expect("VPD begins at offset 0")
            b.expect("Serial Number:TB0000000001")
            b.expect("MAC: 02-54-41-52-4e-01")
            b.expect(UTIL_PROMPT)

            b.choose("8")
            b.expect("MAC address ( 02:54:41:52:4E:01 ) will be used. (y/n): ")
            b.choose("y")
            b.expect("-> ")
            b.choose("00062932814")
            b.expect("ERROR: Invalid MAC address length.")
            b.expect("-> ")
            b.choose("000629328140")
            b.expect("Entered MAC: 00:06:29:32:81:40")
            b.expect("(y/n): ")
            b.choose("y")
            b.expect("-> ")
            b.choose("SN0000000042 11")
            b.expect("Illegal char")
            b.expect("-> ")
            b.choose("SN0000000042")
            b.expect(UTIL_PROMPT)
            self.assertNotIn("ERROR", b.child.before)

            after = read_bytes(b, "eeprom.bin")
            self.assertEqual(after[SERIAL_AT:SERIAL_AT + 12], b"SN0000000042")
            self.assertEqual(after[MAC_AT:MAC_AT + 6], bytes([0x00, 0x06, 0x29, 0x32, 0x81, 0x40]))
            changed = [i for i in range(256) if after[i] != before[i]]
            self.assertTrue(all(SERIAL_AT <= i < SERIAL_AT + 12 or MAC_AT <= i < MAC_AT + 6 for i in changed),
                            changed)

            reset(b)
            utilities(b)
            b.choose("16")
            b.expect("Serial Number:SN0000000042")
            b.expect("MAC: 00-06-29-32-81-40")
            b.expect("Hardware Revision: 0x01")
            b.expect(UTIL_PROMPT)

    def test_blank_eeprom_is_not_programmed(self):
        with Board() as b:
            with open(os.path.join(b.dir, "eeprom.bin"), "wb") as f:
                f.write(b"\xff" * 256)
            boot_to_menu(b)
            utilities(b)
            b.choose("16")
            b.expect("\nf0:ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ----------------")
            b.expect(UTIL_PROMPT)
            self.assertNotIn("VPD begins", b.child.before)
            b.choose("8")
            b.expect("ERROR: The VPD EEPROM holds no valid VPD")
            b.expect(UTIL_PROMPT)
            self.assertEqual(read_bytes(b, "eeprom.bin"), b"\xff" * 256)


class FaultInjection(unittest.TestCase):
    def test_silent_devices_still_reach_the_menu(self):
        with Board() as b:
            boot_to_menu(b, "--fault-i2c-nak", "0x51", "--fault-i2c-nak", "0x68")
            # The clock does not answer: the calendar takes the fallback date.
            b.choose("21")
            b.menu()
            utilities(b)
            b.choose("7")
            b.expect("4/22/2005 8:00:")
            b.expect(UTIL_PROMPT)
            for option in ("14", "16"):
                b.choose(option)
                b.expect(UTIL_PROMPT)
                self.assertNotIn("Year", b.child.before)
                self.assertNotIn("VPD begins", b.child.before)
            b.choose("8")
            b.expect("ERROR: Cannot read the VPD EEPROM. Nothing written.")
            b.expect(UTIL_PROMPT)
            b.choose("15")
            b.expect("(24-hour format)")
            b.choose("01-02-2008 3:04:05")
            b.expect("RTC set failed")
            b.expect(UTIL_PROMPT)

    def test_busy_bus_times_out(self):
        with Board() as b:
            b.boot("--fault-i2c-busy")
            b.expect("i2cStart: timeout waiting for the bus to be free")
            b.expect(BANNER)
            b.menu()
            utilities(b)
            b.choose("14")
            b.expect("i2cStart: timeout waiting for the bus to be free")
            b.expect(UTIL_PROMPT)

    def test_address_beyond_seven_bits_is_a_usage_error(self):
        r = subprocess.run([TARNBOOT, "--fault-i2c-nak", "0x80"], capture_output=True, text=True)
        self.assertEqual(r.returncode, 2)


if __name__ == "__main__":
    unittest.main()
