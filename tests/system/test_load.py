"""Loading code and configuration as a user does: main menu options 4 and 5
with lrzsz (sx -k, sb) on the console line, the upload report, the image
installed under the active name and started after a reset, the boot code it
carries written by option 7, refusals, cancelled transfers, power cuts during
a load, and the saved configuration read back with tarnimg."""

import hashlib
import os
import select
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

import pexpect

sys.path.insert(0, os.path.dirname(__file__))
from tarnlib import (BOOT_REGION, TARGET, Board, dim_text, make_image, make_stk,  # noqa: E402
                     run_tarnimg, seal, tarnimg_image)

AUTOBOOT = "Select (1, 2):"
READY = "Ready to receive the file with XMODEM/CRC....\r\n"
RECEIVE_ERROR = "Error while receiving file with XMODEM.\r\n"
POWER_CUT = 5
SUB = b"\x1a"


def sha(data):
    return hashlib.sha256(data).hexdigest()


def to_menu(b, *args):
    """Boots a board holding a valid image and goes to the menu."""
    b.boot(*args)
    b.expect(AUTOBOOT)
    b.choose("2")
    b.menu()


def send(b, argv, data, name="upload.bin", kill_after=None, timeout=120):
    """Runs an lrzsz sender on data with its standard input and output joined
    to the board's console, the way a terminal program runs it. kill_after:
    bytes of board output after which the sender is killed. Returns the
    sender's exit status; everything the board printed meanwhile is put back
    in front of pexpect's buffer."""
    tmp = tempfile.mkdtemp(prefix="tarnload-")
    path = os.path.join(tmp, name)
    with open(path, "wb") as f:
        f.write(data)
    p = subprocess.Popen(argv + [name], cwd=tmp, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    board = b.child.child_fd
    seen = bytearray(b.child.buffer.encode("latin-1"))
    b.child.buffer = ""
    if seen:
        p.stdin.write(bytes(seen))
        p.stdin.flush()
    out = p.stdout.fileno()
    deadline = time.time() + timeout
    try:
        while p.poll() is None and time.time() < deadline:
            ready, _, _ = select.select([board, out], [], [], 0.05)
            if board in ready:
                try:
                    chunk = os.read(board, 65536)
                except OSError:  # the board's process ended (a power cut)
                    break
                seen += chunk
                try:
                    p.stdin.write(chunk)
                    p.stdin.flush()
                except BrokenPipeError:
                    pass
                if kill_after is not None and len(seen) > kill_after:
                    p.kill()
            if out in ready:
                chunk = os.read(out, 65536)
                if chunk:
                    os.write(board, chunk)
        # What the sender wrote last still goes to the board.
        while True:
            ready, _, _ = select.select([out], [], [], 0.05)
            if not ready:
                break
            chunk = os.read(out, 65536)
            if not chunk:
                break
            try:
                os.write(board, chunk)
            except OSError:
                break
    finally:
        if p.poll() is None:
            p.kill()
        p.wait()
        for f in (p.stdin, p.stdout):
            try:
                f.close()
            except BrokenPipeError:
                pass
        os.unlink(path)
        os.rmdir(tmp)
    b.child.buffer = seen.decode("latin-1") + b.child.buffer
    return p.returncode


def cancel(b):
    """Ctrl-X pressed a few times a second, as a person does, until the board
    gives up the transfer (what arrives while it clears the line is lost)."""
    deadline = time.time() + 30
    while True:
        b.child.send("\x18" * 5)
        try:
            b.expect(RECEIVE_ERROR, timeout=1)
            return
        except pexpect.TIMEOUT:
            if time.time() > deadline:
                raise


def load(b, option, data, sender=("sx", "-k")):
    b.choose(option)
    b.expect(READY)
    return send(b, list(sender), data)


def stored(data, file):
    """The stored file is the data followed by XMODEM's padding only."""
    return file[:len(data)] == data and set(file[len(data):]) <= set(SUB)


class OperationalCode(unittest.TestCase):
    def test_image_with_boot_code_installs_boots_and_updates_the_boot_flash(self):
        # A whole boot region of code, with its reset vector, so the board
        # still starts after option 7 has written it.
        payload, boot = os.urandom(60000), bytearray(os.urandom(1 << 20))
        boot[-4096:-4088] = struct.pack(">II", 0x38600000, 0x48000000)
        boot[-4:] = struct.pack(">I", 0x4BFFF004)
        boot = bytes(boot)
        img = tarnimg_image(payload, "--timestamp", "load test", boot_code=boot)
        with Board() as b:
            old = make_image()
            b.put("image1", old)
            to_menu(b)
            self.assertEqual(load(b, "4", img), 0)
            b.expect("XMODEM transfer complete, checking CRC....\r\n")
            b.expect("Storing Operational code in Flash. This may take several minutes...\r\n")
            report = b.child.before
            crc = struct.unpack(">H", img[:2])[0]
            for line in ["Verified operational code CRC.\r\n\r\n\r\nThe following code has been uploaded:\r\n\r\n"
                         "CRC............................................0x%x (%d)\r\n" % (crc, crc),
                         "Target Device..................................0x00508541\r\n",
                         "Size...........................................0x%x (%d)\r\n" % (len(img), len(img)),
                         "Number of Components...........................2\r\n\r\n",
                         "Boot Code Size.................................0x100000 (1048576)\r\n",
                         "      Timestamp - load test\r\n",
                         "Extracting boot code from image...\r\n"]:
                self.assertIn(line, report)
            b.menu()
            self.assertTrue(stored(img, b.get("image1")))
            self.assertEqual(b.get("bootcode.bin"), boot)
            self.assertFalse(b.exists("xcode.bin"))

            # Option 6 shows what the upload report showed.
            b.choose("6")
            b.expect("File Name......................................image1\r\n")
            b.menu()
            shown = b.child.before
            self.assertIn(shown[shown.index("CRC...."):], report)

            # Option 7 writes exactly the component into the boot flash.
            b.choose("7")
            b.expect("Do you wish to update Boot Code? (y/n) ")
            b.choose("y")
            b.expect("Boot code updated")
            b.menu()
            nor = b.nor()
            self.assertEqual(nor[BOOT_REGION:BOOT_REGION + len(boot)], boot)
            self.assertEqual(len(nor), BOOT_REGION + len(boot))

            # A reset starts the new code.
            b.choose("9")
            b.expect("(y/n):")
            b.choose("y")
            b.expect(AUTOBOOT)
            h = b.expect_handover()
            self.assertEqual(h["sha256"], sha(payload))

    def test_ymodem_load_with_image2_active_replaces_image2_only(self):
        payload = os.urandom(20000)
        img = tarnimg_image(payload, "--timestamp", "load test")
        with Board() as b:
            first, second = make_image(payload=b"one" * 100), make_image(payload=b"two" * 100)
            b.put("image1", first)
            b.put("image2", second)
            dim = dim_text([("backup", "backup", "image1", "0", "default image"),
                            ("active", "active", "image2", "0", "")])
            b.put("boot.dim", dim)
            to_menu(b)
            self.assertEqual(load(b, "4", img, ("sb",)), 0)
            b.expect("Verified operational code CRC.\r\n")
            b.expect("Boot Code Size.................................0x0 (0)\r\n")
            b.menu()
            self.assertEqual(b.get("image2"), img)  # YMODEM carries the length
            self.assertEqual(b.get("image1"), first)
            self.assertEqual(b.get("boot.dim"), dim)
            self.assertFalse(b.exists("bootcode.bin"))
            b.choose("1")
            h = b.expect_handover()
            self.assertEqual(h["sha256"], sha(payload))

    def test_refused_images_change_nothing(self):
        good = make_image()
        wrong_target = make_image(target=0x00508540)
        bad_crc = bytearray(make_image())
        bad_crc[1230] ^= 0x40
        big = bytearray(make_image())
        struct.pack_into(">I", big, 8, 16777217)
        cases = [
            (wrong_target, "ERROR: Operational code target 508540 does not match this device."),
            (bytes(bad_crc), "ERROR: Operational code CRC is not valid."),
            # (sent with YMODEM: XMODEM's padding would join the checksummed bytes)
            (seal(bytes(big)), "Verified operational code CRC.\r\nERROR: Code image size of 16777217 bytes is invalid."),
            (make_stk([(0x1234, make_image(target=0x1234))]),
             " No matching OPR files inside the STK file \r\nERROR: Code image size of 0 bytes is invalid."),
        ]
        with Board() as b:
            b.put("image1", good)
            to_menu(b)
            dim = b.get("boot.dim")
            for data, message in cases:
                self.assertEqual(load(b, "4", data, ("sb",)), 0)
                b.expect(message)
                b.expect("Error loading code...")
                b.menu()
                self.assertEqual(b.get("image1"), good)
                self.assertEqual(b.get("boot.dim"), dim)
                self.assertFalse(b.exists("xcode.bin"))
            b.choose("1")  # a failed load leaves the code marked invalid until reset
            b.expect("ERROR: Operational code CRC is not valid, you must load new code.")

    def test_stk_with_this_board_second(self):
        payload = os.urandom(30000)
        mine = make_image(payload=payload, boot_code=b"B" * 1024)
        other = make_image(target=0x1234, payload=b"x" * 5000)
        box = make_stk([(0x1234, other), (TARGET, mine)])
        base = 88 + 2 * 28 + len(other)
        with Board() as b:
            b.put("image1", make_image())
            to_menu(b)
            self.assertEqual(load(b, "4", box), 0)
            b.expect("Operational Code Offset........................0x%x (%d)\r\n" % (base, base))
            b.menu()
            self.assertTrue(stored(box, b.get("image1")))
            self.assertEqual(b.get("bootcode.bin"), b"B" * 1024)
            b.choose("1")
            self.assertEqual(b.expect_handover()["sha256"], sha(payload))

    def test_cancelled_and_killed_transfers_leave_everything(self):
        good = make_image()
        img = tarnimg_image(os.urandom(200000), "--timestamp", "load test")
        with Board() as b:
            b.put("image1", good)
            to_menu(b)
            dim = b.get("boot.dim")
            # The terminal program killed part-way; the person then presses
            # Ctrl-X rather than wait out the receiver's retries.
            b.choose("4")
            b.expect(READY)
            send(b, ["sx", "-k"], img, kill_after=40)
            cancel(b)
            b.expect("Error loading code...")
            b.menu()
            # Ctrl-X while the board is asking for the first block.
            b.choose("4")
            b.expect(READY)
            b.expect("Send several Control-X characters to cancel")
            b.expect("C")
            cancel(b)
            b.menu()
            self.assertEqual(b.get("image1"), good)
            self.assertEqual(b.get("boot.dim"), dim)
            # The menu still works: a good load goes through.
            self.assertEqual(load(b, "4", img), 0)
            b.expect("Verified operational code CRC.")
            b.menu()
            self.assertTrue(stored(img, b.get("image1")))

    def test_power_cut_at_any_write_of_a_load_leaves_a_bootable_board(self):
        payload = os.urandom(6000)
        img = make_image(payload=payload, boot_code=b"N" * 2048)
        old_payload = b"old code " * 500
        old = make_image(payload=old_payload)
        finished, cuts = False, 0
        for n in range(1, 40):
            with self.subTest(write=n), Board() as b:
                b.put("image1", old)
                b.boot("--fault-power-after-writes", str(n))
                if b.child.expect_exact([AUTOBOOT, pexpect.EOF]) == 1:
                    continue  # a write of the start-up itself
                b.choose("2")
                b.menu()
                b.choose("4")
                b.expect(READY)
                send(b, ["sx", "-k"], img)
                finished = b.child.expect_exact(["[Boot Menu] ", pexpect.EOF]) == 0
                cuts += not finished
                b.child.terminate(force=True)
                b.boot()
                b.expect(AUTOBOOT)
                h = b.expect_handover()
                self.assertIn(h["sha256"], (sha(payload), sha(old_payload)))
                if finished:
                    self.assertEqual(h["sha256"], sha(payload))
                    break
        self.assertTrue(finished)
        self.assertGreater(cuts, len(img) // 1024)  # every block write, then the boot code copy


class Configuration(unittest.TestCase):
    def test_plain_configuration_is_saved_compressed_and_reads_back(self):
        text = b"hostname tarn\r\n! saved by the test\n\n   interface 0/1  \nvlan database\n  vlan 5\nexit"
        commands = ["hostname tarn", "! saved by the test", "interface 0/1", "vlan database", "vlan 5", "exit"]
        with Board() as b:
            b.put("image1", make_image())
            b.put("startup-config", b"old configuration\n")
            to_menu(b)
            self.assertEqual(load(b, "5", text + b"\n"), 0)
            b.expect("XMODEM transfer complete, checking CRC....\r\n")
            b.menu()
            self.assertNotIn("Error loading configuration", b.child.before)
            saved = b.get("startup-config")
            # One compressed block of the commands, each followed by two LFs.
            length, magic = struct.unpack(">II", saved[:8])
            self.assertEqual(magic, 0xDEADC0DE)
            self.assertEqual(len(saved), 8 + length)
            self.assertEqual(zlib.decompress(saved[8:]), b"".join(c.encode() + b"\n\n" for c in commands))
            with tempfile.NamedTemporaryFile() as f:
                f.write(saved)
                f.flush()
                r = run_tarnimg("config", f.name)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stdout.splitlines(), commands)

    def test_configuration_that_cannot_be_copied_keeps_the_old_one(self):
        with Board() as b:
            b.put("image1", make_image())
            b.put("startup-config", b"old configuration\n")
            to_menu(b)
            self.assertEqual(load(b, "5", b"ok\n" + b"x" * 3000 + b"\n"), 0)
            b.expect("Error loading configuration...")
            b.menu()
            self.assertEqual(b.get("startup-config"), b"old configuration\n")


def config_block(text):
    data = zlib.compress(text)
    return struct.pack(">II", len(data), 0xDEADC0DE) + data


class TarnimgConfig(unittest.TestCase):
    def run_config(self, data, *options):
        with tempfile.NamedTemporaryFile() as f:
            f.write(data)
            f.flush()
            return run_tarnimg("config", *options, f.name)

    def test_blocks_and_plain_text_read_back(self):
        data = config_block(b"hostname a\n\n! c\n\n") + config_block(b"vlan 2\n\n")
        r = self.run_config(data)
        self.assertEqual((r.returncode, r.stdout), (0, "hostname a\n! c\nvlan 2\n"))
        r = self.run_config(data, "--raw")
        self.assertEqual(r.stdout, "hostname a\n\n! c\n\nvlan 2\n\n")
        r = self.run_config(b"  plain one \r\n\n two")
        self.assertEqual((r.returncode, r.stdout), (0, "plain one\ntwo\n"))

    def test_what_the_board_refuses_is_named(self):
        good = config_block(b"a\n\n")
        for data, why in [(good + struct.pack(">II", 2000, 0xDEADC0DE) + bytes(2000), "exceeds"),
                          (good + good[:-2], "the file ends"),
                          (good + good[:8] + bytes(len(good) - 8), "does not inflate"),
                          (b"ok\n" + b"L" * 1100 + b"\n", "drops")]:
            r = self.run_config(data)
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertIn(why, r.stderr)
            self.assertTrue(r.stdout.startswith("a\n") or r.stdout.startswith("ok\n"), r.stdout)
        r = self.run_config(b"", "--bogus")
        self.assertEqual(r.returncode, 2)


if __name__ == "__main__":
    unittest.main()
