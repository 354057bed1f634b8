"""The main boot menu, typed at as a person would (the utilities menu has its
own tests)."""

import os
import sys
import unittest

import pexpect

sys.path.insert(0, os.path.dirname(__file__))
from tarnlib import BANNER, MENU_PROMPT, Board, dim_text, make_image  # noqa: E402


def boot_to_menu(b, *args):
    b.boot(*args)
    b.expect("Operational code CRC is invalid.")
    b.menu()


class MainMenu(unittest.TestCase):
    def test_question_mark_and_unknown_numbers(self):
        with Board() as b:
            boot_to_menu(b)
            b.choose("?whatever")
            b.expect("Options available")
            b.menu()
            for n in ("0", "14", "25", "98", "255", "abc"):
                b.choose(n)
                b.menu()
                self.assertNotIn("Options available", b.child.before)

    def test_baud_rate_dialogue(self):
        with Board() as b:
            boot_to_menu(b)
            b.choose("2")
            b.expect("8 - 115200")
            b.expect("-> ")
            b.choose("9")
            b.expect("ERROR: Invalid Option:")
            b.expect("-> ")
            b.choose("0")
            b.expect("Baud rate is not changed")
            b.menu()
            b.choose("2")
            b.expect("-> ")
            b.choose("8")
            b.expect("Setting baud rate to 115200, you must change your terminal baud rate.")
            b.menu()
            self.assertNotIn("failed", b.child.before)

    def test_reset_restarts_from_power_on_and_files_persist(self):
        with Board() as b:
            boot_to_menu(b)
            b.choose("21")
            b.expect("Attempting to create test file...")
            b.menu()
            self.assertTrue(b.exists("testfile"))
            b.choose("9")
            b.expect("(y/n):")
            b.choose("n")
            b.menu()
            b.choose("9")
            b.expect("(y/n):")
            b.choose("y")
            b.expect(BANNER)
            b.menu()
            self.assertTrue(b.exists("testfile"))

    def test_factory_defaults_remove_only_config_files(self):
        with Board() as b:
            for name in ("a.cfg", "x.cfg.old", "startup-config", "old-startup-config.txt", "keep.bin"):
                b.put(name, b"data")
            os.mkdir(b.path("dir.cfg"))
            boot_to_menu(b)
            b.choose("10")
            b.menu()
            left = sorted(os.listdir(b.files_dir))
            self.assertIn("keep.bin", left)
            self.assertIn("dir.cfg", left)
            for gone in ("a.cfg", "x.cfg.old", "startup-config", "old-startup-config.txt", "diag_config.cfg"):
                self.assertNotIn(gone, left)

    def test_delete_operational_code(self):
        with Board() as b:
            b.put("image1", make_image())
            b.boot()
            b.expect("Select (1, 2):")
            b.choose("2")
            b.menu()
            b.choose("8")
            b.expect("delete operational code : image1 ? (y/n):")
            b.choose("y")
            b.expect("Operational code deleted...")
            b.menu()
            self.assertFalse(b.exists("image1"))
            b.choose("1")
            b.expect("ERROR: Operational code CRC is not valid, you must load new code.")

    def test_activate_backup_without_a_backup(self):
        with Board() as b:
            b.put("image1", b"broken")
            b.put("boot.dim", dim_text([("active", "active", "image1", "0", "default image")]))
            boot_to_menu(b)
            b.choose("11")
            b.expect("No Backup Image available.")
            b.expect("Failed to activate Backup Image.")
            b.menu()

    def test_hidden_options(self):
        with Board() as b:
            boot_to_menu(b)
            b.choose("22")
            b.expect("/DskVol/files")
            b.menu()
            b.choose("24")
            b.expect("boot.dim 1 :\t\t ---IMAGE--- ")
            b.expect("boot.dim 4 :\t\t image1 ")
            b.menu()
            b.choose("23")
            b.expect("/DskVol/files")
            b.expect("/DskVol")
            b.expect("boot.dim")
            b.menu()

    def test_bad_input_never_breaks_the_menu(self):
        with Board() as b:
            boot_to_menu(b)
            b.child.send("9" * 300 + "\r")
            b.menu()
            b.child.send("".join(chr(c) for c in range(1, 32) if c not in (3, 4, 10, 13, 17, 19, 21, 24, 29)) + "\r")
            b.menu()
            # 8-bit garbage: stripped to 7 bits it holds X-off (0x93), so X-on resumes the output.
            b.child.send(bytes(range(0x80, 0x100)).decode("latin-1") + "\r\x11")
            b.menu()
            b.child.send("\x04")  # end of input: the menu asks again
            b.choose("?")
            b.expect("Options available")
            b.menu()

    def test_termination_signal_ends_the_run(self):
        with Board() as b:
            boot_to_menu(b)
            b.child.kill(15)
            b.child.expect(pexpect.EOF)
            b.child.close()
            self.assertEqual(b.child.exitstatus, 143)

    def test_quit_key(self):
        with Board() as b:
            boot_to_menu(b)
            b.child.send("\x1dq")
            b.child.expect(pexpect.EOF)
            b.child.close()
            self.assertEqual(b.child.exitstatus, 0)


class PowerCut(unittest.TestCase):
    def test_directory_rewrite_survives_a_power_cut_at_every_write(self):
        old = dim_text([("active", "active", "image1", "0", "default image"),
                        ("backup", "backup", "image2", "0", "")])
        planned = dim_text([("active", "backup", "image1", "0", "default image"),
                            ("backup", "active", "image2", "0", "")])
        swapped = dim_text([("backup", "backup", "image1", "0", "default image"),
                            ("active", "active", "image2", "0", "")])
        for n in range(1, 7):
            with self.subTest(writes=n), Board() as b:
                b.put("image1", b"corrupt" * 200)
                b.put("image2", make_image())
                b.put("boot.dim", old)
                b.boot("--fault-power-after-writes", str(n))
                i = b.child.expect([pexpect.EOF, "Select \\(1, 2\\):"])
                if i == 0:
                    b.child.close()
                    self.assertEqual(b.child.exitstatus, 5)
                self.assertIn(b.get("boot.dim"), (old, planned, swapped))
                # The next start always finds a directory and the good image.
                b.child.terminate(force=True)
                b.boot()
                b.expect("Select (1, 2):")


if __name__ == "__main__":
    unittest.main()
