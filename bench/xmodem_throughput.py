#!/usr/bin/python3
"""Transfer benchmarks of the xmodem command over a pseudo-terminal.

1. Data-phase throughput of an 8 MiB transfer, receive (from `sx -k`) and
   send (to `rx -c`), against lrzsz's own sender and receiver pair linked the
   same way in the same run (goal: at least 1.0x). The sender is on a
   pseudo-terminal and the receiver on a socket in both the command's runs
   and the pair's: lrzsz's receiver purges its pty after each answer and at
   times the start of the next block with it, which costs it 10 s a time.
   Each is run several times, alternating; the medians are compared.
2. With the line paced at 115200 baud, the efficiency of a 1 MiB XMODEM-1K
   receive as a share of the line's 11,520 bytes/s (goal: at least 97 %).

The data phase runs from the first block on the line to the last byte
either way, so the command's fixed pauses and the handshakes are left out.
Run after a build: bench/xmodem_throughput.py [build dir] [runs, default 3]
"""

import os
import shutil
import subprocess
import sys
import tempfile
import functools
import statistics

print = functools.partial(print, flush=True)  # each result as it comes

BUILD = os.path.join(os.path.dirname(__file__), "..", "build")
RUNS = 3


def run(args, timeout=900, build=None):
    host = os.path.join(build or BUILD, "tests", "xmodem_host")
    out = subprocess.run([host] + args, capture_output=True, text=True, timeout=timeout).stdout
    return dict(kv.split("=") for kv in out.split())


def paced_efficiency(build, data):
    """The 1 MiB XMODEM-1K receive with the line paced at 115200 baud:
    (data-phase seconds, share of the line's 11,520 bytes/s in %, rc)."""
    root = tempfile.mkdtemp(prefix="xmodem-paced-")
    try:
        peer = os.path.join(root, "peer")
        os.makedirs(peer)
        os.makedirs(os.path.join(root, "board", "DskVol", "files"))
        with open(os.path.join(peer, "one.bin"), "wb") as f:
            f.write(data[:1024 * 1024])
        r = run(["--dir", os.path.join(root, "board"), "--peer-dir", peer, "--baud", "115200",
                 "--line-pace", "--peer", "sx -k one.bin 2>/dev/null", "-cbrke paced.bin"], build=build)
        t = float(r["data_seconds"])
        return t, 100.0 * 1024 * 1024 / t / 11520, r["xmodem"]
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    global BUILD, RUNS
    if len(sys.argv) > 1:
        BUILD = sys.argv[1]
    if len(sys.argv) > 2:
        RUNS = int(sys.argv[2])
    root = tempfile.mkdtemp(prefix="xmodem-bench-")
    try:
        peer, rxdir = os.path.join(root, "peer"), os.path.join(root, "rx")
        files = os.path.join(root, "board", "DskVol", "files")
        for d in (peer, rxdir, files):
            os.makedirs(d)
        big = os.urandom(8 * 1024 * 1024)
        for d in (peer, files):
            with open(os.path.join(d, "big.bin"), "wb") as f:
                f.write(big)
        mib = 8.0

        recv, send, pair = [], [], []
        for i in range(RUNS):
            r = run(["--dir", os.path.join(root, "board"), "--peer-dir", peer,
                     "--peer", "sx -k big.bin 2>/dev/null", "-cbrke in.bin"])
            recv.append(float(r["data_seconds"]))
            print("8 MiB receive (sx -k -> xmodem):  %7.2f s  %8.0f KiB/s  rc=%s"
                  % (recv[-1], mib * 1024 / recv[-1], r["xmodem"]))
            s = run(["--dir", os.path.join(root, "board"), "--peer-dir", rxdir, "--peer-socket",
                     "--peer", "rx -c out.bin 2>/dev/null", "cbske big.bin"])
            send.append(float(s["data_seconds"]))
            print("8 MiB send    (xmodem -> rx -c):  %7.2f s  %8.0f KiB/s  rc=%s"
                  % (send[-1], mib * 1024 / send[-1], s["xmodem"]))
            os.remove(os.path.join(rxdir, "out.bin"))
            p = run(["--link", "sx -k big.bin 2>/dev/null", "rx -c pair.bin 2>/dev/null",
                     "--peer-dir", peer, "--rx-dir", rxdir, "--peer-socket"])
            pair.append(float(p["data_seconds"]))
            print("8 MiB lrzsz pair (sx -k -> rx -c): %7.2f s  %8.0f KiB/s  sender=%s"
                  % (pair[-1], mib * 1024 / pair[-1], p["sender"]))
            os.remove(os.path.join(rxdir, "pair.bin"))
        recv_m, send_m, pair_m = statistics.median(recv), statistics.median(send), statistics.median(pair)
        print("medians: receive %.2f s, send %.2f s, lrzsz pair %.2f s" % (recv_m, send_m, pair_m))
        print("receive vs lrzsz pair: %.2fx   send vs lrzsz pair: %.2fx" % (pair_m / recv_m, pair_m / send_m))

        t, percent, rc = paced_efficiency(BUILD, big)
        print("1 MiB XMODEM-1K receive at 115200 paced: %.2f s, %.1f %% of 11520 bytes/s  rc=%s"
              % (t, percent, rc))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
