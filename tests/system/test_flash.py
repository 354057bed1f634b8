"""The boot flash as a person meets it: the first boot's format of the flash
disk, the format utility (utilities option 11), the boot code update (main
menu option 7) and a board left dead by a failed or cut update."""

import os
import random
import sys
import unittest
import zlib

sys.path.insert(0, os.path.dirname(__file__))
from menulib import UTIL_PROMPT, exit_status, reset, talk, to_menu  # noqa: E402
from tarnlib import BANNER, BOOT_REGION, FACTORY_BANNER, MENU_PROMPT, NOR_SIZE, Board, format_record  # noqa: E402

DEAD_BOARD = 4
POWER_CUT = 5
BOOT_CODE = random.Random(7).randbytes((1 << 20) - 4) + b"\x4b\xff\xf0\x04"  # ends in a reset vector


class FirstBoot(unittest.TestCase):
    def test_first_boot_and_the_format_utility_format_and_a_reset_mounts(self):
        with Board(factory=True) as b:
            b.boot()
            b.expect("tffsDevCreate failed.", "usrTffsConfig returned 0xffffffff, formatting...",
                     "Formatting ... 50%", "Formatting ... 100%\r\nSetup ... ",
                     "TFFS Formatted....Device details...", "total clusters:        15079", BANNER, MENU_PROMPT)
            nor = b.nor()
            self.assertEqual(nor[:36], format_record()[:36])  # all but the time of the format
            self.assertEqual(zlib.crc32(nor[:60]).to_bytes(4, "big"), nor[60:64])
            self.assertEqual(nor[BOOT_REGION:BOOT_REGION + len(FACTORY_BANNER)], FACTORY_BANNER)
            b.put("keep.txt", b"a file that the format takes")
            talk(b, "30", UTIL_PROMPT)
            b.choose("11")
            b.expect("formatting...", "TFFS Formatted....Device details...", UTIL_PROMPT)
            self.assertEqual(os.listdir(os.path.join(b.dir, "DskVol")), [])
            talk(b, "0", MENU_PROMPT)
            reset(b)
            b.expect(BANNER)
            self.assertNotIn("ormatting", b.child.before)
            b.menu()
            self.assertFalse(b.exists("keep.txt"))
            self.assertTrue(os.path.isdir(b.files_dir))


class BootCodeUpdate(unittest.TestCase):
    def update(self, b, answer="y"):
        talk(b, "7", "Do you wish to update Boot Code? (y/n) ")
        b.choose(answer)

    def test_megabyte_written_with_progress_and_the_board_starts(self):
        with Board() as b:
            # DQ5 rising in the read that completes each operation: the
            # driver reads DQ7 again and sees them done.
            # Files that are not a whole boot code are refused before the erase.
            to_menu(b, "--fault-flash-erase", "race", "--fault-flash-program", "race")
            before = b.nor()
            for code, answer, says in ((BOOT_CODE[:100000], "y", "is 100000 bytes; a boot code fills"),
                                       (BOOT_CODE[:-4] + b"\xff" * 4, "y", "ends in 0xFFFFFFFF"),
                                       (BOOT_CODE, "n", "Update aborted."), (BOOT_CODE, "y", "Boot code updated")):
                b.put("bootcode.bin", code)
                self.update(b, answer)
                b.expect(says)
                out = b.child.before
                b.menu()
                if code != BOOT_CODE:
                    self.assertNotIn("Erasing", out + b.child.before)
                    self.assertEqual(b.nor(), before)
            self.assertIn("Erasing Boot Flash.....Done.", out)
            lines = [l for l in out.split("\r\n") if l.startswith("Wrote 0x")]
            self.assertEqual(lines[-1], "Wrote 0x100000 bytes.")
            self.assertEqual(len(lines), 16)
            self.assertEqual(b.nor()[BOOT_REGION:], BOOT_CODE)
            reset(b)
            b.expect(BANNER)  # the reset vector holds the new code's last word: the board starts

    def test_failed_or_cut_update_leaves_a_dead_board(self):
        # A failing erase or program is reported; a cut during the 1st sector
        # erase (57% done) or the 12th buffer program (21% done) leaves that
        # sector or those words partly done in nor.bin. Either way the board is
        # dead from the first erase on, its reset vector erased or not.
        sector, code = 128 << 10, BOOT_CODE
        for option, value, says, first, size in (
                ("--fault-flash-erase", "fail", "FAILED for operation 3", 0, 0),
                ("--fault-flash-program", "fail", "Flash_Write_Block: flashDevWrite() failed", 0, 0),
                ("--fault-power-after-flash-ops", "1", None, BOOT_REGION, sector),
                ("--fault-power-after-flash-ops", "20", None, BOOT_REGION + 11 * 64, 64)):
            with Board() as b:
                to_menu(b, option, value)
                erased, old = b"\xff" * size, b.nor()[first:first + size]
                b.put("bootcode.bin", code)
                self.update(b)
                if says:
                    b.expect(says, "ERROR: Could not update boot code", MENU_PROMPT)
                    reset(b)
                else:
                    self.assertEqual(exit_status(b), POWER_CUT)
                    now = b.nor()
                    old, new = (old, erased) if size == sector else (erased, code[first - BOOT_REGION:][:size])
                    torn = list(zip(now[first:first + size], old, new))
                    self.assertTrue(all((t ^ o) & ~(o ^ n) & 0xFF == 0 for t, o, n in torn), value)
                    self.assertTrue(any(t not in (o, n) for t, o, n in torn), "a partial state")
                    self.assertEqual(now[NOR_SIZE - 4:] == b"\xff" * 4, size == 64)
                    b.boot()
                b.expect("dead board: an update of the boot region is unfinished")
                self.assertEqual(exit_status(b), DEAD_BOARD)


if __name__ == "__main__":
    unittest.main()
