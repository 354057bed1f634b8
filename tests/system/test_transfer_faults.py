"""Failed and interrupted loads through the real binary with lrzsz senders
(the seeded search over many more is tests/unit/transferFault_test.cpp): a
full disk under sx -k into options 4 and 13, SIGTERM during an option 4 load,
a failed write under sb into option 5 and a failed rename after sb into option
13. The file is menu command lines. The sender ends within 30 s (cancelled:
status not 0; after a whole transfer: 0), the menu answers the next command
as the first thing it reads, and no file changes."""

import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from menulib import to_menu  # noqa: E402
from tarnlib import MENU_PROMPT, Board, dim_text, make_image  # noqa: E402

LINES = b"10\r30\r11\r8\ry\r" * 5000  # 70 KB
CLUSTER, CLUSTERS = 2048, 15079       # the board's flash disk volume


def snapshot(b):
    names = [n for n in os.listdir(b.files_dir) if not n.endswith(".txt") and n not in (".dosdir", "log2.bin")]
    return {n: b.get(n) for n in names} | {"eeprom.bin": b.chip("eeprom.bin")}


def fill_disk(b, leave):
    """Fills the volume but `leave` clusters with the file "filler"."""
    used = sum((len(b.get(n)) + CLUSTER - 1) // CLUSTER for n in os.listdir(b.files_dir)) + 1
    b.put("filler", bytes((CLUSTERS - used - leave) * CLUSTER))


class FailedLoads(unittest.TestCase):
    def run_case(self, option, sender, fault=None, options=(), status_zero=False):
        said = {"4": "Error loading code...", "5": "Error loading configuration...", "13": "Error loading diag code..."}
        with Board() as b, tempfile.TemporaryDirectory(prefix="tarnfault-") as tmp:
            b.put("image1", make_image())
            b.put("boot.dim", dim_text([("active", "active", "image1", "0", "default")]))
            b.put("startup-config", b"hostname tarn\n")
            b.put("switch.cfg", b"vlan 7\n")
            b.put("diag_image.stk", b"old diagnostics")
            to_menu(b, *options)
            if fault == "disk full":
                fill_disk(b, 6)
            before = snapshot(b)
            b.choose(option)
            b.expect("Send several Control-X characters to cancel")
            pathlib.Path(tmp, "load.bin").write_bytes(LINES)
            peer = subprocess.Popen(sender + ["load.bin"], stdin=b.child.child_fd, stdout=b.child.child_fd,
                                    stderr=subprocess.DEVNULL, cwd=tmp)
            if fault == "SIGTERM":
                time.sleep(4)
                self.assertIsNone(peer.poll(), "the load ended before the signal")
                os.kill(b.child.pid, signal.SIGTERM)
            start = time.monotonic()
            try:
                status = peer.wait(timeout=60)
            finally:
                if peer.poll() is None:
                    peer.kill()
            self.assertLess(time.monotonic() - start, 30, "the sender went on for too long")
            self.assertEqual(status == 0, status_zero, "the sender's exit status %d" % status)
            b.expect(said[option], timeout=90)
            b.menu()
            # The next thing the menu reads is the command typed now.
            time.sleep(1)
            b.choose("24")
            b.expect("---IMAGE---")
            self.assertTrue(b.child.before.startswith("24\r\n"), b.child.before[:200])
            b.menu()
            after = snapshot(b)
            after.pop("filler", None)
            before.pop("filler", None)
            self.assertEqual(after.keys(), before.keys())
            for name in before:
                self.assertEqual(after[name], before[name], name + " changed")

    def test_disk_full_under_sx_into_options_4_and_13(self):
        for option in ("4", "13"):
            with self.subTest(option=option):
                self.run_case(option, ["sx", "-k"], "disk full")

    def test_sigterm_during_an_option_4_load(self):
        self.run_case("4", ["sx", "-k"], "SIGTERM", ["--line-pace"])

    def test_failed_write_under_sb_into_option_5(self):
        self.run_case("5", ["sb", "-k"], options=["--fault-write-error", "40"])

    def test_failed_rename_after_sb_into_option_13(self):
        # (the start-up makes five before it: the log rotation's four and boot.dim's)
        self.run_case("13", ["sb"], options=["--fault-rename-error", "6"], status_zero=True)


if __name__ == "__main__":
    unittest.main()
