"""Starting code as a user sees it: an image made with tarnimg (and one made
from the format's definition) autoboots or starts from the menu with the
progress bar and hands over; the diagnostics image starts; a broken stream
resets the board; option 6 shows the image's information. (The backup
starting after a corrupt active image is a start-up test; cut streams and
load addresses inside the memory pool are refused in the launch's unit
tests.)"""

import hashlib
import os
import struct
import sys
import unittest
import zlib

import pexpect

sys.path.insert(0, os.path.dirname(__file__))
from tarnlib import RULER, Board, make_image, make_stk, tarnimg_image  # noqa: E402

AUTOBOOT = "Select (1, 2):"
DECOMPRESSION_ERROR = "There was an error during decompression... resetting the switch"


def sha(data):
    return hashlib.sha256(data).hexdigest()


def first_boot(b):
    """Boots a new board once (factory contents, directory made), then stops it."""
    b.boot()
    b.menu()
    b.child.terminate(force=True)


class Autoboot(unittest.TestCase):
    def test_tarnimg_image_autoboots_and_hands_over(self):
        payload = os.urandom(400000)
        with Board() as b:
            first_boot(b)
            b.put("image1", tarnimg_image(payload, "--load", "0x00200000", "--timestamp", "build 42"))
            b.boot()
            b.expect("Calculating CRC of active image...done...")
            b.expect(AUTOBOOT)
            b.expect("Operational Code Date: build 42")
            b.expect("Uncompressing.....")
            b.expect(RULER + "\r\n")
            b.expect("|" * 51 + "\r\n")
            h = b.expect_handover()
            self.assertEqual(h["kind"], "opcode")
            self.assertEqual(h["entry"], "0x00200000")
            self.assertEqual(h["load"], "0x00200000")
            self.assertEqual(h["arg"], "1")
            self.assertEqual(int(h["bytes"]), len(payload))
            self.assertEqual(h["sha256"], sha(payload))
            self.assertEqual(h["writes"], "MSR=0x00001000,L1CSR1=0x00000001,L1CSR1=0x00000003,HID0=0x00000000")

    def test_option_one_starts_an_image_built_from_the_format_definition(self):
        payload = b"operational code from the definition " * 5000
        with Board() as b:
            b.put("image1", make_stk([(0x1234, make_image(target=0x1234)),
                                      (0x00508541, make_image(payload=payload, load=0x00300000))]))
            b.put("xcode.bin", b"left over")
            b.boot()
            b.expect(AUTOBOOT)
            b.choose("2")
            b.menu()
            b.choose("1")
            b.expect(RULER)
            h = b.expect_handover()
            self.assertEqual((h["entry"], h["sha256"]), ("0x00300000", sha(payload)))
            self.assertFalse(b.exists("xcode.bin"))
            self.assertEqual(b.get("diag_config.cfg"), b"\x00\x00\x00\x02")

class Diagnostics(unittest.TestCase):
    def test_start_mode_one_runs_the_diagnostics_image(self):
        diag = os.urandom(123457)
        with Board() as b:
            b.put("diag_image.stk", diag)
            b.put("diag_config.cfg", struct.pack(">I", 1))
            b.boot()
            b.expect("diagnostics will start.")
            b.expect("Reading diag_image.stk into memory")
            h = b.expect_handover()
            self.assertEqual((h["kind"], h["entry"], h["load"]), ("diag", "0x01000000", "0x01000000"))
            self.assertEqual((int(h["bytes"]), h["sha256"]), (len(diag), sha(diag)))

    def test_option_twelve_stores_the_mode_and_runs_it(self):
        diag = b"diagnostics code" * 1000
        with Board() as b:
            b.put("image1", make_image())
            b.put("diag_image.stk", diag)
            b.boot()
            b.expect(AUTOBOOT)
            b.choose("2")
            b.menu()
            b.choose("12")
            h = b.expect_handover()
            self.assertEqual((h["kind"], h["sha256"]), ("diag", sha(diag)))
            self.assertEqual(b.get("diag_config.cfg"), b"\x00\x00\x00\x01")

    def test_option_twelve_without_the_file(self):
        with Board() as b:
            b.put("image1", make_image())
            b.boot()
            b.expect(AUTOBOOT)
            b.choose("2")
            b.menu()
            b.choose("12")
            b.expect("Diagnostic file diag_image.stk does not exist")
            b.expect("ERROR: Diag code CRC is not valid, you must load new code.")
            b.menu()


class Failures(unittest.TestCase):
    def test_corrupt_stream_with_a_valid_checksum_resets(self):
        stream = bytearray(zlib.compress(os.urandom(30000)))
        stream[40] ^= 0xFF  # inside the deflate data
        with Board() as b:
            b.put("image1", make_image(payload=bytes(stream), compress=False))
            b.boot("--on-reset", "exit")
            b.expect("done...")
            b.expect(AUTOBOOT)
            b.expect(RULER)
            b.expect(DECOMPRESSION_ERROR)
            b.child.expect(pexpect.EOF)
            b.child.close()
            self.assertEqual(b.child.exitstatus, 3)
            self.assertFalse(os.path.exists(os.path.join(b.dir, "handover")))


class InformationDisplay(unittest.TestCase):
    def test_option_six_shows_the_header(self):
        img = tarnimg_image(b"x" * 3000, "--timestamp", "Mon Apr 28 14:05:09 2008", "--file", "tarn.opr",
                            "--rel", "C", "--ver", "4", "--maint", "2", "--build", "17",
                            "--boot-version", "9", "--allow-short-boot-code", boot_code=b"\x7f" * 512)
        # Expected values decoded from the bytes by the format's definition.
        crc, = struct.unpack_from(">H", img, 0)
        size, ncomp = struct.unpack_from(">II", img, 8)
        c0 = struct.unpack_from(">H6xIIII4xI", img, 16)
        c1 = struct.unpack_from(">H6xIIII4xI", img, 64)
        want = ("\r\n\r\n\r\nThe following image is in the Flash File System:\r\n\r\n"
                "File Name......................................image1\r\n"
                "CRC............................................0x%x (%d)\r\n"
                "Target Device..................................0x00508541\r\n"
                "Size...........................................0x%x (%d)\r\n"
                "Number of Components...........................%d\r\n\r\n"
                "Operational Code Size..........................0x%x (%d)\r\n"
                "Operational Code Offset........................0x%x (%d)\r\n"
                "Operational Code FLASH flag....................0\r\n"
                "Operational Code CRC...........................0x%X\r\n\r\n"
                "Boot Code Version..............................9\r\n"
                "Boot Code Size.................................0x%x (%d)\r\n"
                "Boot Code Offset...............................0x%x (%d)\r\n"
                "Boot Code FLASH flag...........................0\r\n"
                "Boot Code CRC..................................0x%X\r\n\r\n"
                "VPD - rel C ver 4 maint_lvl 2 build_num 17\r\n"
                "      Timestamp - Mon Apr 28 14:05:09 2008\r\n      File - tarn.opr\r\n") % (
                    crc, crc, size, size, ncomp, c0[2], c0[2], c0[3], c0[3], c0[0],
                    c1[2], c1[2], c1[3], c1[3], c1[0])
        self.assertEqual(ncomp, 2)
        with Board() as b:
            b.put("image1", img)
            b.boot()
            b.expect(AUTOBOOT)
            b.choose("2")
            b.menu()
            b.choose("6")
            b.expect(want)
            b.menu()


if __name__ == "__main__":
    unittest.main()
