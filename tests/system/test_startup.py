"""Start-up as a person at the console sees it: verification of the active
image, fallback to the backup, the start mode, the autoboot prompt."""

import hashlib
import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarnlib import (BANNER, MENU_PROMPT, RULER, Board, dim_text, make_image, make_stk,  # noqa: E402
                     tarnimg_image)

AUTOBOOT = "Select (1, 2):"


class FreshBoard(unittest.TestCase):
    def test_fresh_board_has_no_image_and_shows_the_menu(self):
        with Board() as b:
            b.boot()
            b.expect("\r\n" * 25)
            b.expect("dimInitialize returned 3")
            b.expect("adding the default image - image1 to the list")
            b.expect(BANNER)
            b.expect("Calculating CRC of active image...")
            b.expect("Active image failed crc check. Activating backup image")
            b.expect("No Backup Image available.")
            b.expect("Failed to activate Backup Image.")
            b.expect("Operational code CRC is invalid.")
            b.expect("13 - Load new Diagnostics Image using XMODEM")
            before = b.child.before
            b.menu()
            self.assertNotIn(AUTOBOOT, before)
            # The directory was created with image1 active.
            self.assertEqual(b.get("boot.dim"),
                             b"---IMAGE---\nactive\nactive\nimage1\n0\ndefault image\n")
            self.assertEqual(b.get("diag_config.cfg"), b"\x00\x00\x00\x02")
            b.choose("1")
            b.expect("ERROR: Operational code CRC is not valid, you must load new code.")


class ValidImage(unittest.TestCase):
    def boot_to_prompt(self, b):
        b.put("image1", make_image())
        b.boot()
        b.expect("done...")
        b.expect("operational code will start.")
        b.expect(AUTOBOOT)

    def test_two_and_twenty_five_give_the_menu(self):
        for answer in ("2", "25"):
            with self.subTest(answer=answer), Board() as b:
                self.boot_to_prompt(b)
                b.choose(answer)
                b.expect("Options available")
                b.menu()

    def test_one_enter_and_silence_start_the_code(self):
        for answer in ("1", "", None):
            with self.subTest(answer=answer), Board() as b:
                self.boot_to_prompt(b)
                if answer is not None:
                    b.choose(answer)
                b.expect(RULER)
                self.assertEqual(b.expect_handover()["kind"], "opcode")

    def test_three_asks_again_and_end_of_input_starts(self):
        with Board() as b:
            self.boot_to_prompt(b)
            b.choose("3")
            b.expect("Select an option. If no selection in 2 seconds then")
            b.expect(AUTOBOOT)
            b.child.send("\x04")  # Ctrl-D: end of input
            b.expect(RULER)
            self.assertEqual(b.expect_handover()["kind"], "opcode")

class Fallback(unittest.TestCase):
    def two_images(self, b, image1, image2):
        b.put("image1", image1)
        b.put("image2", image2)
        b.put("boot.dim", dim_text([("active", "active", "image1", "0", "default image"),
                                    ("backup", "backup", "image2", "0", "")]))

    def test_corrupt_active_image_falls_back_to_the_backup_which_starts(self):
        backup = os.urandom(60000)
        with Board() as b:
            bad = bytearray(tarnimg_image(os.urandom(50000)))
            bad[2000] ^= 0x01
            self.two_images(b, bytes(bad), tarnimg_image(backup))
            b.boot()
            b.expect("Active image failed crc check. Activating backup image")
            b.expect("Backup image - image2 activated.")
            b.expect(AUTOBOOT)
            self.assertEqual(b.get("boot.dim"),
                             b"---IMAGE---\nbackup\nbackup\nimage1\n0\ndefault image\n"
                             b"---IMAGE---\nactive\nactive\nimage2\n0\n\n")
            self.assertEqual(b.expect_handover()["sha256"], hashlib.sha256(backup).hexdigest())

    def test_image_for_another_target_or_stk_without_entry_falls_back(self):
        others = [make_image(target=0x00501234),
                  make_stk([(0x1111, make_image(target=0x1111))])]
        for active in others:
            with self.subTest(), Board() as b:
                self.two_images(b, active, make_image())
                b.boot()
                b.expect("Active image failed crc check. Activating backup image")
                b.expect("Backup image - image2 activated.")
                b.expect(AUTOBOOT)

    def test_no_usable_backup_gives_the_invalid_menu(self):
        with Board() as b:
            self.two_images(b, b"garbage" * 300, b"")
            b.boot()
            b.expect("Backup Image failed crc check.")
            b.expect("Failed to activate Backup Image.")
            b.expect("Operational code CRC is invalid.")
            b.menu()


class StartMode(unittest.TestCase):
    def test_diag_mode_without_diag_image_falls_through(self):
        with Board() as b:
            b.put("image1", make_image())
            b.put("diag_config.cfg", struct.pack(">I", 1))
            b.boot()
            b.expect("Diag image can not be found. Falling through to system image")
            b.expect("operational code will start.")
            self.assertEqual(b.get("diag_config.cfg"), b"\x00\x00\x00\x02")

    def test_diag_mode_with_diag_image_offers_diagnostics(self):
        with Board() as b:
            b.put("diag_image.stk", b"diagnostics" * 10)
            b.put("diag_config.cfg", struct.pack(">I", 1))
            b.boot()
            b.expect("diagnostics will start.")
            b.expect("1 - Start diagnostic code.")
            self.assertNotIn("Calculating CRC", b.child.before)
            b.choose("2")
            b.menu()


class BrokenDirectory(unittest.TestCase):
    def test_missing_or_empty_directory_moves_code_bin_to_image1(self):
        for content in (None, b""):
            with self.subTest(content=content), Board() as b:
                if content is not None:
                    b.put("boot.dim", content)
                b.put("code.bin", make_image())
                b.boot()
                b.expect("adding the default image - image1 to the list")
                b.expect(BANNER)
                b.expect(AUTOBOOT)
                self.assertTrue(b.exists("image1"))
                self.assertFalse(b.exists("code.bin"))

    def test_garbage_directory_is_repaired_by_the_next_start(self):
        for content in (b"\x00\xff garbage \x13\x37" * 50, b"---IMAGE---\nact"):
            with self.subTest(content=content), Board() as b:
                b.put("boot.dim", content)
                b.put("code.bin", make_image())
                b.boot()
                b.expect(BANNER)
                b.child.expect_exact([MENU_PROMPT, AUTOBOOT])
                b.child.terminate(force=True)
                b.boot()
                b.expect(BANNER)
                b.expect(AUTOBOOT)
                self.assertIn(b"image1", b.get("boot.dim"))

    def test_code_bin_never_replaces_an_existing_image1(self):
        with Board() as b:
            good = make_image(timestamp=b"the image1")
            b.put("image1", good)
            b.put("code.bin", make_image(timestamp=b"older code"))
            b.boot()
            b.expect(AUTOBOOT)
            self.assertEqual(b.get("image1"), good)
            self.assertTrue(b.exists("code.bin"))


if __name__ == "__main__":
    unittest.main()
