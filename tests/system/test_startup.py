"""Start-up as a person at the console sees it: verification of the active
image, fallback to the backup, the start mode. (Each answer to the autoboot
prompt, on the board's clock, is a row of the boot application's unit tests.)"""

import hashlib
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from menulib import AUTOBOOT  # noqa: E402
from tarnlib import (BANNER, MENU_PROMPT, Board, dim_text, make_image, make_stk,  # noqa: E402
                     tarnimg_image)


class Startup(unittest.TestCase):
    def test_fresh_board_has_no_image_and_shows_the_menu(self):
        with Board() as b:
            b.boot()
            b.expect("\r\n" * 25, "dimInitialize returned 3", "adding the default image - image1 to the list",
                     BANNER, "Active image failed crc check. Activating backup image",
                     "Failed to activate Backup Image.", "Operational code CRC is invalid.",
                     "13 - Load new Diagnostics Image using XMODEM", MENU_PROMPT)
            self.assertNotIn(AUTOBOOT, b.child.before)
            self.assertEqual(b.get("boot.dim"), b"---IMAGE---\nactive\nactive\nimage1\n0\ndefault image\n")
            self.assertEqual(b.get("diag_config.cfg"), b"\x00\x00\x00\x02")

    def test_unusable_active_image_falls_back_to_the_backup(self):
        backup = os.urandom(60000)
        bad = bytearray(tarnimg_image(os.urandom(50000)))
        bad[2000] ^= 0x01
        for active in (bytes(bad), make_image(target=0x00501234), make_stk([(0x1111, make_image(target=0x1111))])):
            with self.subTest(), Board() as b:
                b.put("image1", active)
                b.put("image2", tarnimg_image(backup))
                b.put("boot.dim", dim_text([("active", "active", "image1", "0", "default image"),
                                            ("backup", "backup", "image2", "0", "")]))
                b.boot()
                b.expect("Active image failed crc check. Activating backup image", "Backup image - image2 activated.")
                b.expect(AUTOBOOT)
                self.assertEqual(b.get("boot.dim"), b"---IMAGE---\nbackup\nbackup\nimage1\n0\ndefault image\n"
                                                    b"---IMAGE---\nactive\nactive\nimage2\n0\n\n")
                self.assertEqual(b.expect_handover()["sha256"], hashlib.sha256(backup).hexdigest())

    def test_code_bin_never_replaces_an_existing_image1(self):
        with Board() as b:
            good = make_image(timestamp=b"the image1")
            b.put("image1", good)
            b.put("code.bin", make_image(timestamp=b"older code"))
            b.boot()
            b.expect("operational code will start.", AUTOBOOT)
            self.assertEqual(b.get("image1"), good)
            self.assertTrue(b.exists("code.bin"))

    def test_broken_directory_moves_code_bin_to_image1_and_is_repaired(self):
        for content in (None, b"", b"\x00\xff garbage \x13\x37" * 50, b"---IMAGE---\nact"):
            with self.subTest(content=content), Board() as b:
                if content is not None:
                    b.put("boot.dim", content)
                b.put("code.bin", make_image())
                b.boot()
                b.expect(BANNER)
                b.child.expect_exact([MENU_PROMPT, AUTOBOOT])
                b.child.terminate(force=True)
                b.boot()
                b.expect(AUTOBOOT)
                self.assertIn(b"image1", b.get("boot.dim"))
                self.assertTrue(b.exists("image1"))
                self.assertFalse(b.exists("code.bin"))


if __name__ == "__main__":
    unittest.main()
