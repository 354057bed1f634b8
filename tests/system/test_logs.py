"""The logs as a person at the console meets them: the text logs rotate at
every start, damaged log files do not stop the start, and main menu option 3
hands the event log to the terminal (received with lrzsz's rx)."""

import os
import random
import re
import struct
import select
import subprocess
import sys
import tempfile
import threading
import tty
import unittest

import pexpect
from pexpect import fdpexpect

sys.path.insert(0, os.path.dirname(__file__))
from tarnlib import BANNER, MENU_PROMPT, TIMEOUT, Board  # noqa: E402

TARNLOG = os.environ.get("TARNLOG") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "tarnlog")
SLOTS = 315
FREE = b"\xff" * 52


def slot(text):
    """A text log slot: text, CR LF NUL, zero fill to 592 bytes."""
    return (text[:589] + b"\r\n").ljust(592, b"\0")


def tarnlog(board, *args, time=None):
    cmd = [TARNLOG, "--board", board.dir]
    if time is not None:
        cmd += ["--time", str(time)]
    return subprocess.run(cmd + list(args), check=True, capture_output=True, text=True).stdout


def boot_to_menu(b, *args):
    b.boot(*args)
    b.expect(BANNER)
    b.menu()


def stop(b):
    b.child.terminate(force=True)
    b.child = None


class Rotation(unittest.TestCase):
    def test_each_start_moves_the_generations_on(self):
        with Board() as b:
            for n in (1, 2, 3):
                boot_to_menu(b)
                stop(b)
                self.assertEqual(b.get("slog0.txt"), b"")
                self.assertEqual(b.get("olog0.txt"), b"")
                # Messages of this start, as the operational code writes them.
                msgs = ["<start %d msg %d>" % (n, i) for i in range(34)]
                tarnlog(b, "message", *msgs)
            boot_to_menu(b)
            stop(b)
            self.assertEqual(b.get("slog2.txt")[:592], slot(b"<start 2 msg 0>"))
            self.assertEqual(b.get("slog1.txt")[31 * 592:], slot(b"<start 3 msg 31>"))
            self.assertEqual(b.get("olog1.txt")[592:2 * 592], slot(b"<start 3 msg 33>"))
            self.assertEqual(len(b.get("olog2.txt")), 2 * 592)
            tarnlog(b, "dump", "dump.txt")
            dump = b.get("dump.txt").decode()
            self.assertIn("- Startup Log N-2 - slog2.txt\r\n<start 2 msg 0>\r\n", dump)


class DamagedFiles(unittest.TestCase):
    def test_garbage_and_truncated_logs_do_not_stop_the_start(self):
        rng = random.Random(7)
        with Board() as b:
            b.put("log2.bin", bytes(rng.randrange(256) for _ in range(52 * SLOTS)))
            b.put("slog0.txt", b"<cut sh")
            b.put("olog0.txt", bytes(rng.randrange(256) for _ in range(1500)))
            b.put("persist.txt", b"\x00" * 100)
            boot_to_menu(b)
            self.assertEqual(b.get("log2.bin"), FREE * SLOTS)   # no free slot: emptied
            self.assertEqual(b.get("slog1.txt"), b"<cut sh")     # kept as the older generation
            self.assertEqual(b.get("slog0.txt"), b"")
            stop(b)

            b.put("log2.bin", struct.pack(">I", 1) + b"short")  # a cut-off record
            boot_to_menu(b)
            self.assertEqual(b.get("log2.bin"), struct.pack(">I", 1) + b"short")

    def test_log_that_cannot_be_created_leaves_a_log_in_memory(self):
        with Board() as b:
            os.makedirs(b.path("log2.bin"))
            b.boot()
            b.expect("Could not create log2.bin in file system on DiskOnChip")
            b.expect("DiskOnChip may be corrupted")
            b.expect(BANNER)
            b.menu()


class Tool(unittest.TestCase):
    def test_numbers_read_as_documented_and_unkept_records_fail(self):
        with Board() as b:
            tarnlog(b, "event", "a.c", "08", "010")  # decimal, not octal
            tarnlog(b, "error", "b.c", "-0x10", "0Xff")
            shown = tarnlog(b, "show").splitlines()
            self.assertRegex(shown[0], r"^ERROR> b\.c +-16 [0-9A-F]{8} 000000FF ")
            self.assertRegex(shown[1], r"^EVENT> a\.c +8 [0-9A-F]{8} 0000000A ")
            for bad in ("", " 8", "8 ", "--8", "0x", "1e3", "4294967296"):
                r = subprocess.run([TARNLOG, "--board", b.dir, "event", "a.c", bad, "1"],
                                   capture_output=True, text=True)
                self.assertEqual(r.returncode, 2, bad)

            # A log2.bin that cannot be written keeps the record in memory only.
            os.remove(b.path("log2.bin"))
            os.makedirs(b.path("log2.bin"))
            r = subprocess.run([TARNLOG, "--board", b.dir, "raw", "7"], capture_output=True, text=True)
            self.assertEqual(r.returncode, 1)
            self.assertIn("did not reach log2.bin", r.stderr)


class Retrieval(unittest.TestCase):
    """Option 3 over a console pty, received with rx as a terminal user would."""

    def receive(self, b):
        """Boots with the console on a pty, chooses 3 and receives the log with rx.
        Returns the received bytes and the console text after the transfer."""
        b.boot("--console", "pty")
        b.child.expect(r"console on (/dev/pts/\d+)")
        fd = os.open(b.child.match.group(1), os.O_RDWR | os.O_NOCTTY)
        try:
            tty.setraw(fd)
            con = fdpexpect.fdspawn(fd, timeout=TIMEOUT, encoding="latin-1")
            if os.environ.get("TARN_TEST_LOG"):
                con.logfile_read = sys.stdout
            con.expect_exact(MENU_PROMPT)
            con.send("3\r")
            con.expect_exact("Sending event log, start XMODEM receive.....")
            # Read the transfer's announcements as the person does before starting rx.
            con.expect([pexpect.TIMEOUT], timeout=2)
            # rx takes names in its current directory only.
            out_dir = tempfile.mkdtemp(prefix="tarnlog-rx-")
            target = os.path.join(out_dir, "eventlog.txt")
            # rx's input comes through a pipe: rx flushes its terminal in both
            # directions as it exits, and on a pty that can discard its last
            # ACK before the console has read it (a serial line drains first).
            rd, wr = os.pipe()
            stop = threading.Event()

            def pump():
                while not stop.is_set():
                    if select.select([fd], [], [], 0.05)[0]:
                        try:
                            os.write(wr, os.read(fd, 4096))
                        except OSError:
                            break
            t = threading.Thread(target=pump)
            t.start()
            try:
                rx = subprocess.run(["rx", "-c", "eventlog.txt"], cwd=out_dir, stdin=rd, stdout=fd,
                                    stderr=subprocess.PIPE, timeout=120)
            finally:
                stop.set()
                t.join()
                os.close(rd)
                os.close(wr)
            self.assertEqual(rx.returncode, 0, rx.stderr)
            # rx may still be reading when the board reports; Enter brings the
            # prompt back whatever rx took of the report.
            con.send("\r")
            con.expect_exact(MENU_PROMPT)
            after = con.before
            with open(target, "rb") as f:
                return f.read(), after
        finally:
            os.close(fd)

    def test_empty_log_is_one_kilobyte_saying_so(self):
        with Board() as b:
            data, after = self.receive(b)
            self.assertFalse(b.exists("asciilog.bin"))
            self.assertNotIn("ERROR", after)
            self.assertEqual(data, b"\r\nMessage Log Empty" + b" " * 1005)

    def test_records_of_every_type_arrive_newest_first(self):
        with Board() as b:
            tarnlog(b, "event", "/vob/app/bootApp.c", "42", "0x1234", time=90061)
            tarnlog(b, "error", "C:\\src\\drv.c", "-1", "0xFFFFFFFF", time=0)
            tarnlog(b, "exception", "mcheck", "0x10", "0x20", "0x30", "0x40", "0x50", time=86399)
            tarnlog(b, "exception", "watchdog", "1", "2", "3", "4", "5", time=3600)
            tarnlog(b, "exception", "0x300", "0xFFF00100", "0x29200", "0x21200", "0x2000000",
                    "0xDEAD0000", time=61)
            tarnlog(b, "exception", "0x1100", "9", "8", "7", "6", "5", time=4294967295)
            tarnlog(b, "raw", "0", "1", "2", "3", "4", "5")
            data, after = self.receive(b)
            self.assertFalse(b.exists("asciilog.bin"))
            self.assertNotIn("ERROR", after)
            self.assertEqual(len(data) % 1024, 0)
            text = data.decode("latin-1").rstrip(" ")
            lines = text.split("\r\n")
            self.assertEqual(lines[0], " " * 50 + "Time")
            self.assertEqual(lines[1], "         File   Line  TaskID    Code           d  h  m  s")
            body = lines[2:-1]
            self.assertEqual(lines[-1], "")
            self.assertEqual(body[0], "CORRUPT ENTRY >>>>>>>00000000 00000001 00000002 00000003 "
                                      "00000004 00000005")
            self.assertTrue(body[1].startswith("Exc 0x1100    > srr0:00000009 srr1: 00000008 "))
            self.assertTrue(body[1].endswith("  49710  6 28 15"))
            self.assertTrue(body[2].startswith("Exc 0x0300    > srr0:FFF00100"))
            self.assertTrue(body[3].startswith("Watchdog      > "))
            self.assertTrue(body[4].startswith("Machine Check > srr0:00000010"))
            self.assertTrue(body[4].endswith("     0 23 59 59"))
            self.assertRegex(body[5], r"^ERROR> drv\.c {27}   -1 [0-9A-F]{8} FFFFFFFF         0  0  0  0$")
            self.assertRegex(body[6], r"^EVENT> bootApp\.c {23}   42 [0-9A-F]{8} 00001234         1  1  1  1$")
            self.assertEqual(len(body), 7)


if __name__ == "__main__":
    unittest.main()
