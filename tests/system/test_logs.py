"""The logs as a person at the console meets them: a log that cannot be
created does not stop the start, the tarnlog tool, and main menu option 3
handing the event log to the terminal (received with lrzsz's rx)."""

import os
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


def tarnlog(board, *args):
    return subprocess.run([TARNLOG, "--board", board.dir] + list(args), check=True, capture_output=True,
                          text=True).stdout


class Unwritable(unittest.TestCase):
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

if __name__ == "__main__":
    unittest.main()
