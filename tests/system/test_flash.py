"""The boot flash as a person meets it: the first boot's format of the flash
disk, the boot code update (main menu option 7), the format utility
(utilities option 11) and a board left without boot code."""

import os
import random
import sys
import unittest
import zlib

import pexpect

sys.path.insert(0, os.path.dirname(__file__))
from tarnlib import (BANNER, BOOT_REGION, FACTORY_BANNER, NOR_SIZE, Board,  # noqa: E402
                     format_record)

DEAD_BOARD = 4
POWER_CUT = 5


def boot_to_menu(b, *args):
    b.boot(*args)
    b.expect(BANNER)
    b.menu()


def boot_code(n, seed=7):
    rnd = random.Random(seed)
    return bytes(rnd.getrandbits(8) for _ in range(n))


def exit_status(b):
    b.child.expect(pexpect.EOF, timeout=60)
    b.child.close()
    return b.child.exitstatus


class FirstBoot(unittest.TestCase):
    def test_first_boot_formats_and_the_second_mounts(self):
        with Board(factory=True) as b:
            b.boot()
            b.expect("tffsDevCreate failed.")
            b.expect("usrTffsConfig returned 0xffffffff, formatting...")
            b.expect("Formatting ... 50%")
            b.expect("Formatting ... 100%\r\nSetup ... ")
            b.expect("TFFS Formatted....Device details...")
            b.expect("total clusters:        15079")
            b.expect(BANNER)
            b.menu()
            nor = b.nor()
            rec, want = nor[:64], format_record()
            self.assertEqual(rec[:36], want[:36])  # all but the time of the format
            self.assertEqual(zlib.crc32(rec[:60]).to_bytes(4, "big"), rec[60:64])
            self.assertEqual(nor[BOOT_REGION:BOOT_REGION + len(FACTORY_BANNER)], FACTORY_BANNER)
            b.choose("9")
            b.expect("(y/n):")
            b.choose("y")
            b.expect(BANNER)
            self.assertNotIn("formatting", b.child.before)
            self.assertNotIn("Formatting", b.child.before)
            b.menu()


class BootCodeUpdate(unittest.TestCase):
    def update(self, b, answer="y"):
        b.choose("7")
        b.expect("Do you wish to update Boot Code? (y/n) ")
        b.choose(answer)

    def test_megabyte_written_with_progress_and_the_board_starts(self):
        with Board() as b:
            boot_to_menu(b)
            code = boot_code(1 << 20)
            b.put("bootcode.bin", code)  # the menu removed any stale one on entry
            self.update(b)
            b.expect("Erasing Boot Flash.....Done.")
            b.expect("Boot code updated")
            out = b.child.before
            lines = [l for l in out.split("\r\n") if l.startswith("Wrote 0x")]
            self.assertEqual(len(lines), 16, out)
            self.assertEqual(lines[-1], "Wrote 0x100000 bytes.")
            b.menu()
            self.assertEqual(b.nor()[BOOT_REGION:], code)
            b.choose("9")
            b.expect("(y/n):")
            b.choose("y")
            b.expect(BANNER)  # the reset vector holds the new code's last word: the board starts

    def test_no_and_an_unusable_file_leave_the_boot_flash(self):
        # (A file shorter than the region, leaving erased flash after it, is
        # written in the update's unit tests.)
        with Board() as b:
            boot_to_menu(b)
            before = b.nor()
            b.put("bootcode.bin", boot_code(4096))
            self.update(b, "n")
            b.expect("Update aborted.")
            b.menu()
            b.put("bootcode.bin", b"odd" * 333)
            self.update(b)
            b.expect("is 999 bytes; a boot code fills the boot flash's 1048576 bytes")
            b.expect("ERROR: Could not update boot code")
            b.menu()
            self.assertNotIn("Erasing", b.child.before)
            self.assertEqual(b.nor(), before)

    def test_failing_erase_reports_failure_and_keeps_the_boot_code(self):
        with Board() as b:
            boot_to_menu(b, "--fault-flash-erase", "fail")
            b.put("bootcode.bin", boot_code(1 << 20))
            self.update(b)
            b.expect("spfOpStatusCheck: FAILED for operation 3")
            b.expect("Boot Flash erase FAILURE.")
            b.expect("ERROR: Could not update boot code")
            b.menu()
            self.assertNotIn("Boot code updated", b.child.before)
            self.assertEqual(b.nor()[BOOT_REGION:BOOT_REGION + len(FACTORY_BANNER)], FACTORY_BANNER)

    def test_failing_program_reports_failure_and_the_board_is_dead(self):
        with Board() as b:
            boot_to_menu(b, "--fault-flash-program", "fail")
            b.put("bootcode.bin", boot_code(1 << 20))
            self.update(b)
            b.expect("Flash_Write_Block: flashDevWrite() failed")
            b.expect("ERROR: Could not update boot code")
            b.menu()
            self.assertNotIn("Boot code updated", b.child.before)
            b.choose("9")
            b.expect("(y/n):")
            b.choose("y")
            b.expect("dead board")
            self.assertEqual(exit_status(b), DEAD_BOARD)

    def test_power_cut_between_erase_and_last_write_leaves_a_dead_board(self):
        with Board() as b:
            boot_to_menu(b, "--fault-power-after-flash-ops", "20")
            b.put("bootcode.bin", boot_code(1 << 20))
            self.update(b)
            b.expect("Erasing Boot Flash.....")
            self.assertEqual(exit_status(b), POWER_CUT)
            self.assertEqual(b.nor()[NOR_SIZE - 4:], b"\xff" * 4)
            b.boot()
            b.expect("dead board")
            self.assertEqual(exit_status(b), DEAD_BOARD)


class FormatUtility(unittest.TestCase):
    def test_format_loses_all_files_and_a_reset_starts_afresh(self):
        with Board() as b:
            b.put("keep.txt", b"a file that the format takes")
            boot_to_menu(b)
            b.choose("30")
            b.expect("Select option (0-17): ")
            b.choose("11")
            b.expect("usrTffsConfig returned 0xffffffff, formatting...")
            b.expect("Formatting ... 100%")
            b.expect("TFFS Formatted....Device details...")
            b.expect("Select option (0-17): ")
            self.assertEqual(os.listdir(os.path.join(b.dir, "DskVol")), [])
            b.choose("0")
            b.menu()
            b.choose("21")  # the current directory is gone: the file cannot be made
            b.expect("creat returned ERROR.")
            b.menu()
            b.choose("9")
            b.expect("(y/n):")
            b.choose("y")
            b.expect(BANNER)
            self.assertNotIn("formatting", b.child.before)
            b.menu()
            self.assertFalse(b.exists("keep.txt"))
            self.assertTrue(os.path.isdir(b.files_dir))


if __name__ == "__main__":
    unittest.main()
