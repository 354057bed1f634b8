"""The utilities menu (main menu choice 30), typed at as a service engineer
would: memory access, the PCI and core displays, the file system details,
listing, test and deletion, the RAM test with and without a failing DRAM bit."""

import os
import re
import sys
import unittest

import pexpect

sys.path.insert(0, os.path.dirname(__file__))
from tarnlib import BANNER, MENU_PROMPT, Board, make_image  # noqa: E402

UTIL_PROMPT = "Select option (0-17): "
RAM_TEST_TIMEOUT = 600  # the test walks the whole free pool (192 MiB) word by word


def boot_to_utilities(b, *args):
    b.boot(*args)
    # With a valid image the autoboot prompt comes first: 2 asks for the menu.
    if b.child.expect_exact(["Select (1, 2):", MENU_PROMPT]) == 0:
        b.choose("2")
        b.menu()
    b.choose("30")
    b.expect("Boot code utilities menu")
    b.expect(UTIL_PROMPT)


class Utilities(unittest.TestCase):
    def option(self, b, choice, timeout=None):
        """Chooses an option; returns what it printed before the menu came back."""
        b.choose(choice)
        b.expect("Boot code utilities menu", timeout=timeout)
        out = b.child.before
        b.expect(UTIL_PROMPT)
        return out

    def test_each_option(self):
        with Board() as b:
            image = make_image(payload=bytes(range(256)) * 40)
            b.put("image1", image)
            boot_to_utilities(b)

            # 1: memory write and read back in DRAM, a register, an address no device answers.
            b.choose("1")
            b.expect("Example: wb 7c004000 ff \r\nq to quit\r\n> ")
            b.choose("wl 00200000 4142ff34")
            b.expect("> ")
            b.choose("r 00200000 4")
            pad = " " * (3 * 12)
            b.expect("         0  1  2  3  \r\n00200000 41 42 ff 34 " + pad + "AB-4\r\n> ")
            b.choose("r f00e0000 4")
            b.expect("f00e0000 00 05 00 0a " + pad + "----\r\n> ")
            b.choose("r 20000000 4")
            b.expect("ERROR: bus error at address 0x20000000")
            b.expect("> ")
            b.choose("wb")
            b.expect("ERROR: missing operand")
            b.expect("> ")
            b.choose("q")
            b.expect(UTIL_PROMPT)

            out = self.option(b, "2")
            self.assertEqual(re.findall(r"(Motorola |Broadcom BCM5695)\r\n", out),
                             ["Motorola ", "Broadcom BCM5695", "Broadcom BCM5695"])

            out = self.option(b, "3")
            self.assertIn("00000000  00000011  00000000  000014e4  00005695  00020000", out)
            self.assertIn("vendor ID =                   0x14e4", out)
            self.assertEqual(out.count("bus       device    function  vendorID  deviceID  class"), 3)

            out = self.option(b, "4")
            for line in ("L1CSR0: cache is ON - 0x1", "L2CTL - 0xa8000000", "        l2 is ON",
                         "Core Freq = 825000000 Hz", "CCB Freq = 330000000 Hz",
                         "PCI Freq = 66000000 Hz", "CPM Freq = 330000000 Hz"):
                self.assertIn(line + "\r\n", out)

            out = self.option(b, "5")
            self.assertIn("DskVol", out)

            out = self.option(b, "9")
            self.assertIn("NOT Supported on this Platform", out)
            out = self.option(b, "10")
            self.assertIn("Use Main Boot Menu for this option", out)

            # 12: the file system test copies image1 twice through tempcode.bin.
            b.choose("12")
            b.expect("Input iterations (0=forever) ")
            b.choose("2")
            b.expect("Input write size ")
            b.choose("1000")
            b.expect("Input read size ")
            b.choose("333")
            b.expect("Test will run 2 times (forever if 0)")
            b.expect("File size:  %d" % len(image))
            b.expect("Iter 1 of 2 -")
            b.expect("Iter 2 of 2 -")
            b.expect("Boot code utilities menu")
            self.assertNotIn("mismatch", b.child.before)
            self.assertNotIn("failed", b.child.before)
            b.expect(UTIL_PROMPT)
            self.assertEqual(b.get("tempcode.bin"), image)

            out = self.option(b, "7")
            self.assertRegex(out, r"image1 {28}%-10d \d+/\d+/\d+ \d+:\d\d:\d\d\r\n" % len(image))
            self.assertIn("tempcode.bin", out)
            sizes = [int(n) for n in re.findall(r"^\S+ +(\d+) +\d+/", out, re.M)]
            self.assertIn("Bytes used      %d\r\n" % sum(sizes), out)
            volume = int(re.search(r"Filesystem size (\d+)\r\n", out).group(1))
            self.assertIn("Bytes free      %d\r\n" % (volume - sum(sizes)), out)

            out = self.option(b, "13")
            self.assertIn("30 - BOOT Secrets", out)
            for unknown in ("18", "99", "255"):
                self.assertEqual(self.option(b, unknown).strip(), unknown)  # the echo only

            b.choose("17")
            b.expect("Input filename - ")
            b.choose("tempcode.bin")
            b.expect(UTIL_PROMPT)
            self.assertFalse(b.exists("tempcode.bin"))
            b.choose("17")
            b.expect("Input filename - ")
            b.choose("tempcode.bin")
            b.expect("Are you sure that file exists? Try again...")
            b.expect(UTIL_PROMPT)

            b.choose("0")
            b.menu()
            self.assertNotIn("Options available", b.child.before)
            self.assertNotIn("Boot code utilities menu", b.child.before)

    def test_dialogs_refuse_what_they_cannot_do(self):
        with Board() as b:
            # VPD whose records 1 to 4 end ten bytes before the EEPROM's end.
            old = bytearray(b"\xff\x01\xe0\x01\xc8" + b"P" * 200 + b"\x02\x1c" + b"N" * 28 + b"\x03\x01S"
                            + b"\x04\x06\x00\x06\x29\x32\x81\x40" + bytes([5, 2, 8, 17, 6, 4, 0, 0, 0x85, 0x41]))
            with open(os.path.join(b.dir, "eeprom.bin"), "wb") as f:
                f.write(old)
            b.put("image1", b"fs test data " * 100)
            boot_to_utilities(b)
            for serial, written in (("A" * 20, None), ("AB123", old[:235] + b"\x03\x05AB123" + old[238:252])):
                b.choose("8")
                b.expect("(y/n): ")
                b.choose("n")
                b.expect("(y/n): ")
                b.choose("y")
                b.expect("-> ")
                b.choose(serial)
                b.expect(UTIL_PROMPT)
                with open(os.path.join(b.dir, "eeprom.bin"), "rb") as f:
                    self.assertEqual(f.read(), written or old)
                if not written:
                    self.assertIn("ERROR: A serial number of 20 characters does not fit in the VPD EEPROM "
                                  "(room for 11). Nothing written.", b.child.before)

            # Set RTC: a field with no text fails its own check; the clock stays.
            with open(os.path.join(b.dir, "rtc.bin"), "rb") as f:
                date = f.read()[4:7]
            for line, message in (("", "Month value of 0"), ("04", "Day value of 0"), ("04-28", "Year value of 0"),
                                  ("04-28-2008", "Hour value of 0"), ("04-28-2008 12", "Minute value of 0"),
                                  ("04-28-2008 12:30", "Second value of 0"), ("04-28-2008 12:30: ", "Second value of 0")):
                b.choose("15")
                b.expect("(24-hour format)")
                b.choose(line)
                b.expect("\r\n%s is invalid\r\n\r\n" % message)
                b.expect(UTIL_PROMPT)
                with open(os.path.join(b.dir, "rtc.bin"), "rb") as f:
                    self.assertEqual(f.read()[4:7], date, line)

            # A negative iteration count runs the file system test until a failure.
            b.choose("12")
            for answer in ("-1", "100", "77"):
                b.expect(" ")
                b.choose(answer)
            b.expect("Test will run -1 times (forever if 0)")
            b.expect("Iter 3 of -1 -")
            b.child.send("\x1dr")  # the reset button
            b.expect(BANNER)

    def test_ram_test_passes(self):
        with Board() as b:
            boot_to_utilities(b)
            b.choose("6")
            b.expect("Allocating memory of size 0x")
            b.expect("SDRAM Address Aliasing test...")
            b.expect("SDRAM tests completed successfully.", timeout=RAM_TEST_TIMEOUT)
            b.expect(UTIL_PROMPT)

    def test_ram_test_names_a_stuck_bit(self):
        with Board() as b:
            boot_to_utilities(b, "--fault-dram-stuck", "0x0a000000:4:1")
            b.choose("6")
            b.expect("Location 0x0a000000", timeout=RAM_TEST_TIMEOUT)
            b.expect("Read     0x00000010")
            b.expect(UTIL_PROMPT)
            self.assertNotIn("completed successfully", b.child.before)
            # The memory commands see the same cell.
            b.choose("1")
            b.expect("> ")
            b.choose("wl 0a000000 0")
            b.expect("> ")
            b.choose("r a000000 4")
            b.expect("0a000000 00 00 00 10 ")
            b.choose("q")
            b.expect(UTIL_PROMPT)

    def test_bad_fault_option_is_a_usage_error(self):
        with Board() as b:
            for bad in ("0x0a000002:4", "0x0a000000:32", "0x10000000:0", "zz", "0x100:1:2"):
                b.boot("--fault-dram-stuck", bad)
                b.expect("--fault-dram-stuck needs")
                b.child.expect(pexpect.EOF)
                b.child.close()
                self.assertEqual(b.child.exitstatus, 2, bad)


if __name__ == "__main__":
    unittest.main()
