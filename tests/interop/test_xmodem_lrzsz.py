"""The xmodem command against lrzsz: receiving from sx and sb, sending to rx,
over a pseudo-terminal, with files of every awkward size and byte value."""

import concurrent.futures
import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
HOST = os.environ.get("XMODEM_HOST") or os.path.join(HERE, "..", "..", "build", "tests", "xmodem_host")
SIZES = [1, 127, 128, 129, 1023, 1024, 1025]
BIG = 3 * 1024 * 1024 + 77


def payload(n, seed=0):
    """Every byte value, the protocol's control bytes among them, in a
    pattern that does not repeat with the block size."""
    return bytes(((i * 7 + i // 251 + seed) & 0xFF) for i in range(n))


def run_host(command, peer, files=None, board_files=None, args=()):
    """Runs the command on a fresh board with peer on the other side of the
    pty; returns (xmodem result, peer status, board files dir, peer dir)."""
    root = tempfile.mkdtemp(prefix="xmodem-interop-")
    peer_dir = os.path.join(root, "peer")
    board_dir = os.path.join(root, "board", "DskVol", "files")
    os.makedirs(peer_dir)
    os.makedirs(board_dir)
    for name, data in (files or {}).items():
        with open(os.path.join(peer_dir, name), "wb") as f:
            f.write(data)
    for name, data in (board_files or {}).items():
        with open(os.path.join(board_dir, name), "wb") as f:
            f.write(data)
    out = subprocess.run([HOST, "--dir", os.path.join(root, "board"), "--peer-dir", peer_dir,
                          "--peer", peer + " 2>/dev/null", *args, command],
                         capture_output=True, text=True, timeout=300).stdout
    fields = dict(kv.split("=") for kv in out.split())
    return int(fields["xmodem"]), int(fields["peer"]), board_dir, peer_dir, root


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Transfers(unittest.TestCase):
    def check_padded(self, got, data, what):
        """XMODEM carries no length: the data, then padding of 0x1A up to the
        block that held its end."""
        self.assertEqual(got[:len(data)], data, what)
        tail = got[len(data):]
        self.assertEqual(tail, b"\x1a" * len(tail), what)
        self.assertEqual(len(got) % 128, 0, what)
        self.assertLess(len(tail), 1024, what)

    def run_all(self, jobs):
        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            futures = [(what, check, pool.submit(run_host, *args)) for what, args, check in jobs]
            for what, check, fut in futures:
                rc, peer, board_dir, peer_dir, root = fut.result()
                try:
                    check(what, rc, peer, board_dir, peer_dir)
                finally:
                    shutil.rmtree(root, ignore_errors=True)

    def test_receive_from_sx_and_sb(self):
        jobs = []
        for size in SIZES + [BIG]:
            data = payload(size, size)
            for sender, ymodem in (("sx", False), ("sx -k", False), ("sb", True), ("sb -k", True)):
                if size == BIG and sender in ("sx", "sb"):
                    continue  # 128-byte blocks: the big file goes with 1K only

                def check(what, rc, peer, board_dir, peer_dir, data=data, ymodem=ymodem):
                    self.assertEqual((rc, peer), (0, 0), what)
                    got = read(os.path.join(board_dir, "xcode.bin"))
                    if ymodem:
                        self.assertEqual(got, data, what)  # YMODEM gives the length
                    else:
                        self.check_padded(got, data, what)
                    self.assertEqual([n for n in os.listdir(board_dir) if not n.startswith(".")], ["xcode.bin"], what)
                jobs.append(("%s %d" % (sender, size),
                             ("-cbrke xcode.bin", sender + " f.bin", {"f.bin": data}), check))

        # The receiver asks with NAK: checksum blocks.
        data = payload(1025, 3)

        def check_sum(what, rc, peer, board_dir, peer_dir):
            self.assertEqual((rc, peer), (0, 0), what)
            self.check_padded(read(os.path.join(board_dir, "r.bin")), data, what)
        jobs.append(("checksum", ("-brke r.bin", "sx f.bin", {"f.bin": data}), check_sum))
        self.run_all(jobs)

    def test_send_to_rx(self):
        jobs = []
        for size in SIZES + [BIG]:
            data = payload(size, size + 1)
            for receiver in ("rx", "rx -c"):
                if size == BIG and receiver == "rx":
                    continue

                def check(what, rc, peer, board_dir, peer_dir, data=data):
                    self.assertEqual((rc, peer), (0, 0), what)
                    self.check_padded(read(os.path.join(peer_dir, "got.bin")), data, what)
                # rx flushes its pty as it exits, and with it, at times, its
                # answer to the EOT: the board's sends go over a socket pair.
                jobs.append(("%s %d" % (receiver, size),
                             ("cbske s.bin", receiver + " got.bin", None, {"s.bin": data}, ("--peer-socket",)),
                             check))
        self.run_all(jobs)

    def test_empty_files(self):
        def xmodem_none(what, rc, peer, board_dir, peer_dir):
            self.assertEqual(rc, 0, what)
            self.assertFalse(os.path.exists(os.path.join(board_dir, "e.bin")), what)

        def ymodem_empty(what, rc, peer, board_dir, peer_dir):
            self.assertEqual((rc, peer), (0, 0), what)
            self.assertEqual(read(os.path.join(board_dir, "e.bin")), b"", what)

        def send_refused(what, rc, peer, board_dir, peer_dir):
            self.assertEqual(rc, -1, what)  # "Requested file size is 0": nothing sent

        self.run_all([
            ("sx empty", ("-cbrke e.bin", "sx z.bin", {"z.bin": b""}), xmodem_none),
            ("sb empty", ("-cbrke e.bin", "sb z.bin", {"z.bin": b""}), ymodem_empty),
            ("send empty", ("cbske z.bin", "timeout 5 rx -c got.bin", None, {"z.bin": b""}, ("--peer-socket",)),
             send_refused),
        ])

    def test_noisy_line_never_gives_wrong_data(self):
        """Received bytes dropped or flipped: a CRC transfer completes with
        the exact data or fails; it never succeeds with other data."""
        data = payload(20000, 9)
        jobs = []
        # Each damaged block costs the receiver a timeout or a purge of the
        # line, so the rates give a handful of errors.
        for args in (("--drop", "0.0002"), ("--flip", "0.0005")):
            def check(what, rc, peer, board_dir, peer_dir):
                path = os.path.join(board_dir, "n.bin")
                if rc == 0:
                    self.check_padded(read(path), data, what)
                else:
                    self.assertEqual(rc, -1, what)
            jobs.append((" ".join(args), ("-cbrke n.bin", "sx -k f.bin", {"f.bin": data}, None, args), check))
        self.run_all(jobs)


if __name__ == "__main__":
    unittest.main()
