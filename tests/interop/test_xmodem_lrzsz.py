"""The xmodem command against lrzsz: receiving from sx and sb, sending to rx,
over a pseudo-terminal, with files of every awkward size and byte value, and
over a line that drops or damages bytes."""

import concurrent.futures
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "system"))
import tarnlib  # noqa: E402

HOST = os.environ.get("XMODEM_HOST") or os.path.join(HERE, "..", "..", "build", "tests", "xmodem_host")
SIZES = [1, 127, 128, 129, 1023, 1024, 1025, 3 * 1024 * 1024 + 77]


def payload(n, seed=0):
    """Every byte value, the protocol's control bytes among them, in a
    pattern that does not repeat with the block size."""
    return bytes(((i * 7 + i // 251 + seed) & 0xFF) for i in range(n))


def run_host(command, peer, files=None, board_files=None, args=()):
    """Runs the command on a fresh board with peer on the other side of the
    pty; returns (xmodem result, peer status, board files dir, peer dir, root)."""
    root = tempfile.mkdtemp(prefix="xmodem-interop-")
    dirs = {"peer": os.path.join(root, "peer"), "board": os.path.join(root, "board", "DskVol", "files")}
    for side, contents in (("peer", files), ("board", board_files)):
        os.makedirs(dirs[side])
        for name, data in (contents or {}).items():
            pathlib.Path(dirs[side], name).write_bytes(data)
    out = subprocess.run(tarnlib.command(HOST, "--dir", os.path.join(root, "board"), "--peer-dir", dirs["peer"],
                                        "--peer", peer + " 2>/dev/null", *args, command),
                         capture_output=True, text=True, timeout=10 * tarnlib.TIMEOUT).stdout
    fields = dict(kv.split("=") for kv in out.split())
    return int(fields["xmodem"]), int(fields["peer"]), dirs["board"], dirs["peer"], root


def read(path):
    return pathlib.Path(path).read_bytes() if os.path.exists(path) else None


class Transfers(unittest.TestCase):
    def padded(self, got, data, what):
        """XMODEM carries no length: the data, then padding of 0x1A up to the
        block that held its end."""
        self.assertIsNotNone(got, what)
        tail = got[len(data):]
        self.assertEqual((got[:len(data)], tail, len(got) % 128 == 0 and len(tail) < 1024),
                         (data, b"\x1a" * len(tail), True), what)

    def test_transfers(self):
        # (peer, run_host arguments, (xmodem, peer) results wanted or None for success or -1, index of the
        # directory in run_host's result and the file there, data, exact length or padded or None for no file)
        jobs = []
        for size in SIZES:
            data, sent = payload(size, size), payload(size, size + 1)
            for peer in ("sx -k", "sb -k") + (("sx", "sb") if size < 65536 else ()):
                jobs.append((peer, ("-cbrke xcode.bin", peer + " f.bin", {"f.bin": data}), (0, 0), 2, "xcode.bin",
                             data, peer[1] == "b"))  # YMODEM gives the length
            # rx flushes its pty as it exits, and with it, at times, its
            # answer to the EOT: the board's sends go over a socket pair.
            for peer in ("rx -c",) + (("rx",) if size < 65536 else ()):
                jobs.append((peer, ("cbske s.bin", peer + " got.bin", None, {"s.bin": sent}, ("--peer-socket",)),
                             (0, 0), 3, "got.bin", sent, False))
        data = payload(1025, 3)
        jobs += [
            ("sx empty", ("-cbrke e.bin", "sx z.bin", {"z.bin": b""}), (0, None), 2, "e.bin", None, None),
            ("sb empty", ("-cbrke e.bin", "sb z.bin", {"z.bin": b""}), (0, 0), 2, "e.bin", b"", True),
            ("send empty", ("cbske z.bin", "timeout 5 rx -c got.bin", None, {"z.bin": b""}, ("--peer-socket",)),
             (-1, None), 3, None, None, None),  # rx's own empty file is not looked at
        ]
        # A damaged line: a CRC transfer completes with the exact data or
        # fails; it never succeeds with other data.
        data = payload(20000, 9)
        for args in (("--drop", "0.0002"), ("--flip", "0.0005")):
            jobs.append((args[0], ("-cbrke n.bin", "sx -k f.bin", {"f.bin": data}, None, args), None, 2, "n.bin",
                         data, False))

        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            futures = [(job, pool.submit(run_host, *job[1])) for job in jobs]
            for (peer, args, want, side, name, data, exact), fut in futures:
                result = fut.result()
                what = "%s %d" % (peer, len(data or b""))
                try:
                    got = read(os.path.join(result[side], name)) if name else None
                    if want is None and result[0] != 0:
                        self.assertEqual(result[0], -1, what)
                        continue
                    want = want or (0, None)
                    self.assertEqual(result[:2], (want[0], result[1] if want[1] is None else want[1]), what)
                    if exact is None:
                        self.assertIsNone(got, what)
                    elif exact:
                        self.assertEqual(got, data, what)
                    else:
                        self.padded(got, data, what)
                finally:
                    shutil.rmtree(result[4], ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
