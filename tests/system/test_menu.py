"""The main boot menu, typed at as a person would (the utilities menu has its
own tests)."""

import os
import sys
import unittest

import pexpect

sys.path.insert(0, os.path.dirname(__file__))
from menulib import exit_status, to_menu  # noqa: E402
from tarnlib import BANNER, MENU_PROMPT, Board, dim_text, make_image  # noqa: E402


class MainMenu(unittest.TestCase):
    def test_one_session_through_the_dialogues(self):
        steps = [("?whatever", ["Options available", MENU_PROMPT])]
        steps += [(n, [MENU_PROMPT]) for n in ("0", "14", "25", "98", "255", "abc")]  # silently ignored
        steps += [("2", ["8 - 115200", "-> "]),  # the dialogue's answers: rows of the unit menu table
                  ("8", ["Setting baud rate to 115200, you must change your terminal baud rate.", MENU_PROMPT]),
                  ("11", ["No Backup Image available.", "Failed to activate Backup Image.", MENU_PROMPT]),
                  ("21", ["Attempting to create test file...", MENU_PROMPT]),
                  ("22", ["/DskVol/files", MENU_PROMPT]), ("24", ["boot.dim 4 :\t\t image1 ", MENU_PROMPT]),
                  ("10", [MENU_PROMPT]), ("23", ["/DskVol/files", "/DskVol", "boot.dim", MENU_PROMPT]),
                  ("9", ["(y/n):"]), ("n", [MENU_PROMPT]), ("9", ["(y/n):"]), ("y", [BANNER, MENU_PROMPT])]
        with Board() as b:
            for name in ("a.cfg", "x.cfg.old", "startup-config", "old-startup-config.txt", "keep.bin"):
                b.put(name, b"data")
            os.mkdir(b.path("dir.cfg"))
            to_menu(b)
            for typed, texts in steps:
                b.choose(typed)
                b.expect(*texts)
                if texts == [MENU_PROMPT]:
                    self.assertNotIn("Options available", b.child.before)
                if typed == "10":
                    self.assertFalse(b.exists("diag_config.cfg"))
                self.assertNotIn("Attempt to set baudrate", b.child.before)
            left = set(os.listdir(b.files_dir))  # option 10 removed only the configuration files
            self.assertLessEqual({"keep.bin", "dir.cfg", "testfile"}, left)
            self.assertFalse(left & {"a.cfg", "x.cfg.old", "startup-config", "old-startup-config.txt"})

    def test_bad_input_and_flow_control_never_stop_the_board(self):
        with Board() as b:
            to_menu(b)
            b.child.send("?\r\x0024\r\x0022\r\x00")  # lines ended CR NUL, as a raw client's: none lost
            b.expect("Options available", MENU_PROMPT, "boot.dim", MENU_PROMPT, "/DskVol/files", MENU_PROMPT)
            # Control keys a terminal driver would act on (^Z, ^\, ...) reach the board as typing.
            b.child.send("".join(chr(c) for c in range(1, 32) if c not in (3, 4, 10, 13, 17, 19, 21, 24, 29)) + "\r")
            b.menu()
            # Output stopped, then more typing than the input buffer holds: the
            # reset key and X-on still work, and so does the quit key afterwards.
            for release, answer in (("\x1dr", BANNER), ("\x11", "Options available")):
                b.child.send("\x13?\r" + "x" * 600)
                b.child.send(release)
                b.expect(answer, MENU_PROMPT)
            b.child.send("\x1dq")
            self.assertEqual(exit_status(b), 0)


class PowerCut(unittest.TestCase):
    def test_directory_rewrite_survives_a_power_cut_at_every_write(self):
        old, planned, swapped = (dim_text([(s1, n1, "image1", "0", "default image"), (s2, n2, "image2", "0", "")])
                                 for s1, n1, s2, n2 in (("active", "active", "backup", "backup"),
                                                        ("active", "backup", "backup", "active"),
                                                        ("backup", "backup", "active", "active")))
        for n in range(1, 7):
            with self.subTest(writes=n), Board() as b:
                b.put("image1", b"corrupt" * 200)
                b.put("image2", make_image())
                b.put("boot.dim", old)
                b.boot("--fault-power-after-writes", str(n))
                if b.child.expect([pexpect.EOF, "Select \\(1, 2\\):"]) == 0:
                    self.assertEqual(exit_status(b), 5)
                self.assertIn(b.get("boot.dim"), (old, planned, swapped))
                # The next start always finds a directory and the good image.
                b.child.terminate(force=True)
                b.boot()
                b.expect("Select (1, 2):")


if __name__ == "__main__":
    unittest.main()
