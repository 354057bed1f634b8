"""Main menu option 13 of the real tarnboot, loaded as a person does with a
terminal program and lrzsz on the console's pseudo-terminal."""

import os
import re
import subprocess
import sys
import tempfile
import tty
import unittest

import pexpect
import pexpect.fdpexpect

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "system"))
from tarnlib import MENU_PROMPT, TARNBOOT, TIMEOUT, Board  # noqa: E402


def payload(n):
    return bytes(((i * 13 + i // 509) & 0xFF) for i in range(n))


class Option13(unittest.TestCase):
    def boot(self, b):
        self.proc = pexpect.spawn(TARNBOOT, ["--board", b.dir, "--console", "pty"],
                                  timeout=TIMEOUT, encoding="latin-1")
        self.proc.expect(r"console on (/dev/pts/\d+)")
        fd = os.open(self.proc.match.group(1), os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        self.fd = fd
        self.con = pexpect.fdpexpect.fdspawn(fd, timeout=TIMEOUT, encoding="latin-1")
        self.con.expect_exact("Operational code CRC is invalid.")
        self.con.expect_exact(MENU_PROMPT)

    def tearDown(self):
        if getattr(self, "proc", None) is not None and self.proc.isalive():
            self.proc.terminate(force=True)
        if getattr(self, "fd", None) is not None:
            os.close(self.fd)

    def load(self, sender, data):
        """Option 13, then the sender on the console line as picocom's
        --send-cmd runs it: stdin and stdout on the line."""
        with tempfile.TemporaryDirectory() as peer:
            with open(os.path.join(peer, "diag.stk"), "wb") as f:
                f.write(data)
            self.con.send("13\r")
            self.con.expect_exact("Ready to receive the file with XMODEM/CRC....")
            self.con.expect_exact("Send several Control-X characters to cancel before transfer starts.")
            rc = subprocess.run(sender + ["diag.stk"], stdin=self.fd, stdout=self.fd,
                                stderr=subprocess.DEVNULL, cwd=peer, timeout=120).returncode
        self.con.expect_exact("XMODEM transfer complete....")
        self.con.expect_exact(MENU_PROMPT)
        return rc

    def test_load_with_sx_k_and_sb_k(self):
        with Board() as b:
            self.boot(b)
            data = payload(70001)
            self.assertEqual(self.load(["sx", "-k"], data), 0)
            got = b.get("diag_image.stk")
            self.assertEqual(got[:len(data)], data)
            self.assertEqual(set(got[len(data):]), {0x1A})
            self.assertFalse(b.exists("xcode.bin"))

            data = payload(5000)
            self.assertEqual(self.load(["sb", "-k"], data), 0)
            self.assertEqual(b.get("diag_image.stk"), data)  # YMODEM: the exact length
            self.assertNotIn("Error loading diag code", self.con.before)
            self.assertFalse(os.path.exists(b.path("diag.stk")))  # the sender's name is not used


if __name__ == "__main__":
    unittest.main()
