"""Loading code and configuration as a user does: main menu options 4, 5 and
13 with lrzsz (sx -k, sb) on the console line, the upload report, the image
installed under the active name and started, the boot code it carries written
by option 7, a refusal, the saved configuration read back with tarnimg, and a
diagnostics image; loads that fail (a full disk, SIGTERM, a failed write or
rename) with file data of menu choices.
(Power cuts during a load are swept in the load's unit tests, faults in many
more loads by tests/unit/transferFault_test.cpp.)"""

import hashlib
import os
import pathlib
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(__file__))
from menulib import talk, to_menu  # noqa: E402
from tarnlib import (BOOT_REGION, MENU_PROMPT, TARGET, TIMEOUT, Board, dim_text, make_image, make_stk,  # noqa: E402
                     run_tarnimg, seal, tarnimg_image, whole_boot_code)


def load(b, option, data, sender=("sx", "-k"), term_at_kib=None):
    """Chooses the option and runs an lrzsz sender on the console line, as a
    terminal program's send command does (with term_at_kib, SIGTERM goes to
    tarnboot once that much has been sent). The sender's exit status."""
    b.choose(option)
    b.expect("Send several Control-X characters to cancel")
    with tempfile.TemporaryDirectory(prefix="tarnload-") as tmp:
        pathlib.Path(tmp, "upload.bin").write_bytes(data)
        p = subprocess.Popen(list(sender) + ["-vv", "upload.bin"], cwd=tmp, stdin=b.child.child_fd,
                             stdout=b.child.child_fd, stderr=subprocess.PIPE)
        progress = b""
        while term_at_kib and not re.search(rb"sent: \d+/(\d{4,}|[%d-9]\d\d)k" % (term_at_kib // 100), progress):
            progress = progress[-100:] + (p.stderr.read1(100) or b"EOF")
        if term_at_kib and not progress.endswith(b"EOF"):
            os.kill(b.child.pid, signal.SIGTERM)
        p.communicate(timeout=4 * TIMEOUT)
        return p.returncode


class OperationalCode(unittest.TestCase):
    def test_refused_then_image_with_boot_code_installed_and_its_boot_code_written(self):
        payload, boot, good = os.urandom(60000), whole_boot_code(), make_image()
        img = tarnimg_image(payload, "--timestamp", "load test", boot_code=boot)
        with Board() as b:
            b.put("image1", good)
            to_menu(b)
            dim = b.get("boot.dim")
            # (sent with YMODEM: XMODEM's padding would join the checksummed bytes)
            big = bytearray(make_image())
            struct.pack_into(">I", big, 8, 16777217)
            self.assertEqual(load(b, "4", seal(bytes(big)), ("sb",)), 0)
            b.expect("Verified operational code CRC.\r\nERROR: Code image size of 16777217 bytes is invalid.")
            b.expect("Error loading code...", MENU_PROMPT)
            self.assertEqual((b.get("image1"), b.get("boot.dim"), b.exists("xcode.bin")), (good, dim, False))

            self.assertEqual(load(b, "4", img), 0)
            b.expect("Storing Operational code in Flash. This may take several minutes...\r\n")
            report = b.child.before
            crc = struct.unpack(">H", img[:2])[0]
            for line in ["XMODEM transfer complete, checking CRC....\r\nVerified operational code CRC.\r\n\r\n\r\n"
                         "The following code has been uploaded:\r\n\r\n"
                         "CRC............................................0x%x (%d)\r\n" % (crc, crc),
                         "Size...........................................0x%x (%d)\r\n" % (len(img), len(img)),
                         "Boot Code Size.................................0x100000 (1048576)\r\n",
                         "      Timestamp - load test\r\n      File - image\r\nExtracting boot code from image...\r\n"]:
                self.assertIn(line, report)
            b.menu()
            got = b.get("image1")  # the image, then XMODEM's padding only
            self.assertEqual((got[:len(img)], set(got[len(img):]) <= {0x1A}), (img, True))
            self.assertEqual((b.get("bootcode.bin"), b.exists("xcode.bin")), (boot, False))
            talk(b, "7", "Do you wish to update Boot Code? (y/n) ", "y", "Boot code updated")
            b.menu()
            self.assertEqual(b.nor()[BOOT_REGION:], boot)  # (a reset then starts: see the flash tests)

            # Option 13: the diagnostics image, of YMODEM's exact length, stored under its own name only.
            diag = os.urandom(70001)
            self.assertEqual(load(b, "13", diag, ("sb", "-k")), 0)
            b.expect("XMODEM transfer complete....", MENU_PROMPT)
            self.assertNotIn("Error loading diag code", b.child.before)
            self.assertEqual(b.get("diag_image.stk"), diag)
            self.assertFalse(b.exists("upload.bin") or b.exists("xcode.bin"))

    def test_ymodem_stk_with_image2_active_and_boot_code_in_its_only_slot_1_then_a_configuration(self):
        # This board's image is second in the container and counts one
        # component; its boot code in slot 1 is still copied out, from its
        # place in the container. image2 is active: only image2 is replaced.
        payload, boot = os.urandom(30000), whole_boot_code()
        mine = bytearray(make_image(payload=payload, boot_code=boot))
        struct.pack_into(">I", mine, 12, 1)
        other = make_image(target=0x1234, payload=b"x" * 5000)
        box = make_stk([(0x1234, other), (TARGET, seal(bytes(mine)))])
        base = 88 + 2 * 28 + len(other)
        dim = dim_text([("backup", "backup", "image1", "0", "default image"), ("active", "active", "image2", "0", "")])
        with Board() as b:
            first = make_image(payload=b"one" * 100)
            b.put("image2", make_image(payload=b"two" * 100))
            b.put("boot.dim", dim)
            b.put("image1", first)
            to_menu(b)
            self.assertEqual(load(b, "4", box, ("sb",)), 0)
            b.expect("Operational Code Offset........................0x%x (%d)\r\n" % (base, base), MENU_PROMPT)
            self.assertEqual((b.get("image2"), b.get("image1"), b.get("boot.dim")), (box, first, dim))
            self.assertEqual(b.get("bootcode.bin"), boot)

            # Option 5: the configuration saved as one compressed block of the
            # commands, each followed by two LFs, which tarnimg reads back.
            b.put("startup-config", b"old configuration\n")
            text = b"hostname tarn\r\n! saved by the test\n\n   interface 0/1  \nvlan database\n  vlan 5\nexit\n"
            commands = ["hostname tarn", "! saved by the test", "interface 0/1", "vlan database", "vlan 5", "exit"]
            self.assertEqual(load(b, "5", text), 0)
            b.expect("XMODEM transfer complete, checking CRC....\r\n", MENU_PROMPT)
            self.assertNotIn("Error loading configuration", b.child.before)
            saved = b.get("startup-config")
            self.assertEqual(struct.unpack(">II", saved[:8]), (len(saved) - 8, 0xDEADC0DE))
            self.assertEqual(zlib.decompress(saved[8:]), b"".join(c.encode() + b"\n\n" for c in commands))
            with tempfile.NamedTemporaryFile() as f:
                f.write(saved)
                f.flush()
                self.assertEqual(run_tarnimg("config", f.name).stdout.splitlines(), commands)
            b.choose("1")
            self.assertEqual(b.expect_handover()["sha256"], hashlib.sha256(payload).hexdigest())


class Failures(unittest.TestCase):
    def test_failed_loads_cancel_the_sender_change_nothing_and_its_menu_lines_never_reach_the_menu(self):
        # File data of menu choices: factory defaults, the utilities' format, deleting an image. A disk full after
        # about 140 KiB, SIGTERM; a failed write or rename under sb (the start-up makes five renames before the
        # load's: the log rotation's four and boot.dim's). Loads: (option, data, sender, SIGTERM at KiB, fails, said).
        lines, sx, sb, failed = b"10\r30\r11\r8\ry\r" * 20000, ("sx", "-k"), ("sb", "-k"), "Error while receiving file"
        for args, loads in (((), (("13", lines, sx, None, True, failed), ("4", lines, sx, None, True, failed),
                                  ("4", lines * 20, sx, 200, True, failed))),
                            (("--fault-write-error", "40"),
                             (("5", lines[:70000], sb, None, True, "Error loading configuration..."),)),
                            (("--fault-rename-error", "6"),
                             (("13", lines[:70000], sb, None, False, "ERROR: Renaming failed."),))):
            with Board() as b:
                b.put("image1", make_image())
                b.put("startup-config", b"hostname kept\n")
                b.put("diag_image.stk", b"old diagnostics")
                b.put("boot.dim", dim_text([("active", "active", "image1", "0", "default")]))
                if not args:
                    b.put("filler", bytes(15079 * 2048 - 150 * 1024))
                to_menu(b, *args)
                kept = lambda: (sorted(os.listdir(b.files_dir)), b.get("image1"), b.get("startup-config"),  # noqa: E731
                                b.get("diag_image.stk"))
                files = kept()
                for option, data, sender, term, fails, said in loads:
                    if term:
                        os.remove(b.path("filler"))
                        files[0].remove("filler")
                    start = time.monotonic()
                    self.assertEqual(load(b, option, data, sender, term_at_kib=term) != 0, fails, option)
                    self.assertLess(time.monotonic() - start, 30)
                    b.expect(said, MENU_PROMPT)
                    b.choose("")
                    b.menu()
                self.assertEqual(kept(), files)


if __name__ == "__main__":
    unittest.main()
