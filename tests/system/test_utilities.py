"""The utilities menu (main menu choice 30), typed at as a service engineer
would: memory access, the PCI and core displays, the file system details,
listing, test and deletion, the RAM test finding a failing DRAM bit, and the
VPD, clock and file system test dialogs refusing what they cannot do."""

import datetime
import os
import re
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from menulib import UTIL_PROMPT, exit_status, talk, to_utilities  # noqa: E402
from tarnlib import BANNER, MENU_PROMPT, PEER_TARNBOOT, TIMEOUT, Board, make_image  # noqa: E402

RAM_TEST_TIMEOUT = 20 * TIMEOUT  # the test walks the whole free pool (192 MiB) word by word


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
            to_utilities(b)

            # 1: memory write and read back in DRAM, a register, an address no device answers.
            pad = " " * (3 * 12)
            talk(b, "1", "Example: wb 7c004000 ff \r\nq to quit\r\n> ", "wl 00200000 4142ff34", "> ",
                 "r 00200000 4", "         0  1  2  3  \r\n00200000 41 42 ff 34 " + pad + "AB-4\r\n> ",
                 "r f00e0000 4", "f00e0000 00 05 00 0a " + pad + "----\r\n> ",
                 "r 20000000 4", "ERROR: bus error at address 0x20000000", "wb", "ERROR: missing operand", "q", UTIL_PROMPT)

            for choice, pieces in (
                    ("2", ["Motorola \r\n", "Broadcom BCM5695\r\n"]),
                    ("3", ["00000000  00000011  00000000  000014e4  00005695  00020000", "vendor ID =   "]),
                    ("4", ["L1CSR0: cache is ON - 0x1\r\n", "L2CTL - 0xa8000000\r\n", "        l2 is ON\r\n",
                           "Core Freq = 825000000 Hz\r\n", "CCB Freq = 330000000 Hz\r\n",
                           "PCI Freq = 66000000 Hz\r\n", "CPM Freq = 330000000 Hz\r\n"]),
                    ("5", ["DskVol"]), ("9", ["NOT Supported on this Platform"]),
                    ("10", ["Use Main Boot Menu for this option"]), ("13", ["30 - BOOT Secrets"])):
                out = self.option(b, choice)
                for piece in pieces:
                    self.assertIn(piece, out, choice)

            # 12: the file system test copies image1 twice through tempcode.bin.
            talk(b, "12", "Input iterations (0=forever) ", "2", "Input write size ", "1000", "Input read size ",
                 "333", "Test will run 2 times (forever if 0)", None, "File size:  %d" % len(image), None,
                 "Iter 1 of 2 -", None, "Iter 2 of 2 -", None, "Boot code utilities menu")
            self.assertNotIn("mismatch", b.child.before)
            self.assertNotIn("failed", b.child.before)
            b.expect(UTIL_PROMPT)
            self.assertEqual(b.get("tempcode.bin"), image)

            out = self.option(b, "7")
            self.assertRegex(out, r"image1 {28}%-10d \d+/\d+/\d+ \d+:\d\d:\d\d\r\n" % len(image))
            self.assertIn("tempcode.bin", out)

            talk(b, "17", "Input filename - ", "tempcode.bin", UTIL_PROMPT)
            self.assertFalse(b.exists("tempcode.bin"))
            talk(b, "17", "Input filename - ", "tempcode.bin", "Are you sure that file exists? Try again...",
                 None, UTIL_PROMPT)
            talk(b, "0", MENU_PROMPT)
            self.assertNotIn("Options available", b.child.before)
            self.assertNotIn("Boot code utilities menu", b.child.before)

    def test_dialogs_refuse_what_they_cannot_do(self):
        with Board() as b:
            # VPD whose records 1 to 4 end ten bytes before the EEPROM's end.
            old = bytearray(b"\xff\x01\xe0\x01\xc8" + b"P" * 200 + b"\x02\x1c" + b"N" * 28 + b"\x03\x01S"
                            + b"\x04\x06\x00\x06\x29\x32\x81\x40" + bytes([5, 2, 8, 17, 6, 4, 0, 0, 0x85, 0x41]))
            b.put_chip("eeprom.bin", old)
            b.put("image1", b"fs test data " * 100)
            to_utilities(b)
            # Listing: a line cut at its 128-byte buffer keeps its line end; more lines than the
            # 4096-byte text holds are cut with a note, and every file still counts as used.
            b.put("L" * 200, b"abc")
            self.assertIn("\r\n" + "L" * 126 + "\r\n", self.option(b, "7"))
            for i in range(45):
                b.put("file-%02d-%s" % (i, "x" * 60), b"0123456789")
            out = self.option(b, "7")
            self.assertIn("(listing cut: more entries than fit in the listing)\r\n", out)
            used = sum(os.path.getsize(b.path(n)) for n in os.listdir(b.files_dir) if n[0] != ".")
            self.assertIn("Bytes used      %d\r\n" % used, out)

            talk(b, "8", "(y/n): ", "n", "(y/n): ", "y", "-> ", "AB123", UTIL_PROMPT)  # the new serial reaches the chip
            self.assertEqual(b.chip("eeprom.bin"), old[:235] + b"\x03\x05AB123" + old[238:252])

            # Set RTC: a field with no text fails its own check; the clock stays.
            date = b.chip("rtc.bin")[4:7]
            for line, message in (("", "Month value of 0"), ("04", "Day value of 0"), ("04-28", "Year value of 0"),
                                  ("04-28-2008", "Hour value of 0"), ("04-28-2008 12", "Minute value of 0"),
                                  ("04-28-2008 12:30", "Second value of 0"), ("04-28-2008 12:30: ", "Second value of 0")):
                talk(b, "15", "(24-hour format)", line, "\r\n%s is invalid\r\n\r\n" % message, None, UTIL_PROMPT)
                self.assertEqual(b.chip("rtc.bin")[4:7], date, line)

            # A negative iteration count runs the file system test until a failure.
            talk(b, "12", "(0=forever) ", "-1", "write size ", "100", "read size ", "77",
                 "Test will run -1 times (forever if 0)", None, "Iter 3 of -1 -")
            b.child.send("\x1dr")  # the reset button
            b.expect(BANNER)

    @unittest.skipUnless(PEER_TARNBOOT, "no other build to move a board to (TARN_PEER_TARNBOOT)")
    def test_a_board_reads_the_same_in_another_build(self):
        # A board written by one build (another byte order and word size), then booted as it is, and as a
        # copy in the other build, each way round: the same VPD, files and volume, and the same clock,
        # which ran on while the board was off.
        for writer, reader in ((PEER_TARNBOOT, None), (None, PEER_TARNBOOT)):
            with Board(factory=True) as b, Board() as copy:
                to_utilities(b, program=writer)
                talk(b, "15", "(24-hour format)", "06-15-2030 12:30:00", UTIL_PROMPT)
                talk(b, "8", "(y/n): ", "n", "(y/n): ", "y", "-> ", "XB4711", UTIL_PROMPT)
                b.child.send("\x1dq")
                self.assertEqual(exit_status(b), 0)
                shutil.copytree(b.dir, copy.dir, dirs_exist_ok=True)
                time.sleep(3)
                shown = []
                for board, program in ((b, writer), (copy, reader)):
                    to_utilities(board, program=program)
                    shown.append([self.option(board, c) for c in ("16", "7", "5", "14")] + [time.monotonic()])
                    board.child.send("\x1dq")
                    self.assertEqual(exit_status(board), 0)
                # (each boot stamps the logs it starts with the clock: the listings' times of day differ)
                self.assertEqual(*[[re.sub(r" \d+:\d\d:\d\d\r", "", t) for t in s[:3]] for s in shown])
                clock = [datetime.datetime(*map(int, re.search(
                    r"Year (\d+), Month (\d+), Day (\d+), Hour (\d+) Min (\d+), Sec (\d+)", s[3]).groups())) for s in shown]
                self.assertAlmostEqual((clock[1] - clock[0]).total_seconds(), shown[1][4] - shown[0][4], delta=2)

    def test_ram_test_names_a_stuck_bit_and_a_bad_fault_option_is_a_usage_error(self):
        with Board() as b:
            for bad in ("0x0a000002:4", "0x0a000000:32", "0x10000000:0", "zz", "0x100:1:2"):
                b.boot("--fault-dram-stuck", bad)
                b.expect("--fault-dram-stuck needs")
                self.assertEqual(exit_status(b), 2, bad)
            to_utilities(b, "--fault-dram-stuck", "0x0a000000:4:1")
            b.choose("6")
            b.expect("Location 0x0a000000", timeout=RAM_TEST_TIMEOUT)
            b.expect("Read     0x00000010", UTIL_PROMPT)
            self.assertNotIn("completed successfully", b.child.before)
            # The memory commands see the same cell.
            talk(b, "1", "> ", "wl 0a000000 0", "> ", "r a000000 4", "0a000000 00 00 00 10 ", "q", UTIL_PROMPT)


if __name__ == "__main__":
    unittest.main()
