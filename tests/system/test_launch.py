"""Starting code as a user sees it: an image made with tarnimg (and one made
from the format's definition) autoboots or starts from the menu with the
progress bar and hands over; the diagnostics image starts; a broken stream
resets the board. (Cut streams, load addresses inside the memory pool and the
bar of every kind of stream are the launch's unit tests.)"""

import hashlib
import os
import sys
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(__file__))
from menulib import AUTOBOOT, exit_status, to_menu  # noqa: E402
from tarnlib import RULER, Board, make_image, make_stk, tarnimg_image  # noqa: E402

DECOMPRESSION_ERROR = "There was an error during decompression... resetting the switch"


def sha(data):
    return hashlib.sha256(data).hexdigest()


class Autoboot(unittest.TestCase):
    def test_tarnimg_image_autoboots_and_hands_over(self):
        payload = os.urandom(400000)
        with Board() as b:
            b.put("image1", tarnimg_image(payload, "--load", "0x00200000", "--timestamp", "build 42"))
            b.boot()
            b.expect("Calculating CRC of active image...done...", AUTOBOOT)
            asked = time.monotonic()
            b.expect("Operational Code Date: build 42\r\nUncompressing.....\r\n\r\n" + RULER + "\r\n")
            self.assertGreater(time.monotonic() - asked, 1.5, "the prompt waits its two seconds")
            b.expect("|" * 51 + "\r\n")
            h = b.expect_handover()
            self.assertEqual((h["kind"], h["entry"], h["load"], h["arg"], int(h["bytes"]), h["sha256"]),
                             ("opcode", "0x00200000", "0x00200000", "1", len(payload), sha(payload)))
            self.assertEqual(h["writes"], "MSR=0x00001000,L1CSR1=0x00000001,L1CSR1=0x00000003,HID0=0x00000000")

    def test_option_one_starts_an_image_built_from_the_format_definition(self):
        payload = b"operational code from the definition " * 5000
        with Board() as b:
            b.put("image1", make_stk([(0x1234, make_image(target=0x1234)),
                                      (0x00508541, make_image(payload=payload, load=0x00300000))]))
            to_menu(b)
            b.choose("1")
            b.expect(RULER)
            h = b.expect_handover()
            self.assertEqual((h["entry"], h["sha256"]), ("0x00300000", sha(payload)))
            self.assertEqual(b.get("diag_config.cfg"), b"\x00\x00\x00\x02")


class Diagnostics(unittest.TestCase):
    def test_option_twelve_copies_the_whole_image_and_runs_it(self):
        diag = os.urandom(123457)
        with Board() as b:
            b.put("image1", make_image())
            b.put("diag_image.stk", diag)
            to_menu(b)
            b.choose("12")
            h = b.expect_handover()
            self.assertEqual(b.get("diag_config.cfg"), b"\x00\x00\x00\x01")
            self.assertEqual((h["kind"], h["entry"], h["load"], int(h["bytes"]), h["sha256"]),
                             ("diag", "0x01000000", "0x01000000", len(diag), sha(diag)))


class Failures(unittest.TestCase):
    def test_corrupt_stream_with_a_valid_checksum_resets(self):
        stream = bytearray(zlib.compress(os.urandom(30000)))
        stream[40] ^= 0xFF  # inside the deflate data
        with Board() as b:
            b.put("image1", make_image(payload=bytes(stream), compress=False))
            b.put("xcode.bin", b"left over")
            b.boot("--on-reset", "exit")
            b.expect("done...", AUTOBOOT, RULER, DECOMPRESSION_ERROR)
            self.assertEqual(exit_status(b), 3)
            self.assertFalse(b.exists("xcode.bin") or os.path.exists(os.path.join(b.dir, "handover")))


if __name__ == "__main__":
    unittest.main()
