"""The logs as a person at the console meets them: a log that cannot be
created does not stop the start, and the tarnlog tool. (Option 3's text is
checked in the event log's unit tests, its send to lrzsz's rx in the interop
tests.)"""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from tarnlib import BANNER, Board, command  # noqa: E402

TARNLOG = os.environ.get("TARNLOG") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "tarnlog")


def tarnlog(board, *args, check=True):
    return subprocess.run(command(TARNLOG, "--board", board.dir, *args), check=check, capture_output=True, text=True)


class Unwritable(unittest.TestCase):
    def test_log_that_cannot_be_created_leaves_a_log_in_memory(self):
        with Board() as b:
            os.makedirs(b.path("log2.bin"))
            b.boot()
            b.expect("Could not create log2.bin in file system on DiskOnChip", "DiskOnChip may be corrupted", BANNER)
            b.menu()


class Tool(unittest.TestCase):
    def test_numbers_read_as_documented_and_unkept_records_fail(self):
        with Board() as b:
            tarnlog(b, "event", "a.c", "08", "010")  # decimal, not octal
            tarnlog(b, "error", "b.c", "-0x10", "0Xff")
            shown = tarnlog(b, "show").stdout.splitlines()
            self.assertRegex(shown[0], r"^ERROR> b\.c +-16 [0-9A-F]{8} 000000FF ")
            self.assertRegex(shown[1], r"^EVENT> a\.c +8 [0-9A-F]{8} 0000000A ")
            for bad in ("", " 8", "8 ", "--8", "0x", "1e3", "4294967296"):
                self.assertEqual(tarnlog(b, "event", "a.c", bad, "1", check=False).returncode, 2, bad)

            # A log2.bin that cannot be written keeps the record in memory only.
            os.remove(b.path("log2.bin"))
            os.makedirs(b.path("log2.bin"))
            r = tarnlog(b, "raw", "7", check=False)
            self.assertEqual(r.returncode, 1)
            self.assertIn("did not reach log2.bin", r.stderr)


if __name__ == "__main__":
    unittest.main()
