"""Main menu option 13 of the real tarnboot: the diagnostics image loaded with
sx -k and sb -k on the console line, as a terminal program runs them."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "system"))
from tarnlib import Board  # noqa: E402
from test_load import load  # noqa: E402


class Option13(unittest.TestCase):
    def test_load_with_sx_k_and_sb_k(self):
        with Board() as b:
            b.boot()
            b.expect("Operational code CRC is invalid.")
            b.menu()
            for sender, n in ((("sx", "-k"), 70001), (("sb", "-k"), 5000)):
                data = bytes(((i * 13 + i // 509) & 0xFF) for i in range(n))
                self.assertEqual(load(b, "13", data, sender), 0, sender)
                b.expect("XMODEM transfer complete....")
                b.menu()
                self.assertNotIn("Error loading diag code", b.child.before)
                got = b.get("diag_image.stk")  # sb: the exact length; sx: then XMODEM's padding only
                self.assertEqual((got[:n], set(got[n:]) <= {0x1A}, sender[0] == "sx" or len(got) == n),
                                 (data, True, True), sender)
                self.assertFalse(b.exists("upload.bin") or b.exists("xcode.bin"), sender)  # no sender's name


if __name__ == "__main__":
    unittest.main()
