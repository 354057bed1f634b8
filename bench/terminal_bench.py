#!/usr/bin/python3
"""What a user waits for, measured through the real tarnboot binary as a
terminal program reaches it: the board on `--console pty`, the script
attached to the pseudo-terminal in raw mode, and lrzsz run the way a terminal
program runs it - on pipes, with a small relay (console_relay.c, built here)
copying between the pipes and the console line.

1. 8 MiB XMODEM-1K load into main menu option 13 (sx -k), against lrzsz's
   own pair: sx -k into rx -c through the same relay, rx -c on a socket where
   the board's console would be.
2. Retrieval of the largest event log the board keeps (314 records; a full
   log is emptied at open) with main menu option 3 into rx -c, against sx -k
   sending the file rx received to rx -c the same way.
3. From "XMODEM transfer complete, checking CRC...." of an 8 MiB option 4
   load to the menu prompt (checksum, vetting, install, the menu's checksum
   of the stored image), with the system's own pauses in it reported apart,
   against reading and checksumming the same file once on the host.
4. The paced efficiency at 115200 baud, as bench/xmodem_throughput.py
   measures it.

Transfers are timed in the relay from the first block on the line to the
last byte, so handshakes and the fixed pauses before and after a transfer
are left out; rx is started only once the board's sender is listening. The
time to the EOT is shown too: lrzsz's rx waits a second before it answers
an EOT, which is in the receive pair's figure and in both log figures. The
runs alternate, ours then the peer's; medians are compared. Every ratio is
the peer's time divided by ours (above 1.0: faster than the peer).

Run after a build: bench/terminal_bench.py [build dir] [runs, default 5] [receive]
("receive": only the 8 MiB load into option 13 and its pair, a quick check)
"""

import functools
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import tty
import zlib

import pexpect
import pexpect.fdpexpect

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
import xmodem_throughput  # noqa: E402
from tarnlib import MENU_PROMPT, Board  # noqa: E402

print = functools.partial(print, flush=True)  # each result as it comes

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
RECEIVE_ONLY = len(sys.argv) > 3 and sys.argv[3] == "receive"
TARNBOOT = os.path.join(BUILD, "tarnboot")
MIB8 = 8 * 1024 * 1024
LOG_RECORDS = 314
HINT = "Send several Control-X characters to cancel before transfer starts."
SEND_PAUSE = 4096000 / 9600 / 1000  # the sender's pause before it listens, at 9600 bit/s
TICK = 0.01                         # system clock tick (100 per second)
CRC_CHUNK, CRC_PAUSE_EVERY = 128, 1000


class Console:
    """tarnboot on a pseudo-terminal, attached as a terminal program: opened
    as soon as tarnboot names it, raw mode, the relay for transfers."""

    def __init__(self, board_dir):
        self.proc = pexpect.spawn(TARNBOOT, ["--board", board_dir, "--console", "pty"],
                                  timeout=120, encoding="latin-1")
        self.proc.expect(r"console on (/dev/pts/\d+)")
        self.fd = os.open(self.proc.match.group(1), os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.con = pexpect.fdpexpect.fdspawn(self.fd, timeout=120, encoding="latin-1")

    def expect(self, text):
        self.con.expect_exact(text)
        return time.monotonic()

    def choose(self, option):
        self.con.send(option + "\r")

    def close(self):
        if self.proc.isalive():
            self.proc.terminate(force=True)
        os.close(self.fd)


def relay(relay_path, console_fd, command, cwd):
    """The tool on the relay's pipes, the relay on console_fd: the data
    phase's seconds, to the last byte and to the EOT."""
    out = subprocess.run([relay_path, str(console_fd), command + " 2>/dev/null"], cwd=cwd,
                         pass_fds=(console_fd,), capture_output=True, text=True, timeout=600).stdout
    r = dict(kv.split("=") for kv in out.split())
    if r["status"] != "0":
        raise RuntimeError("%s ended with status %s" % (command, r["status"]))
    return float(r["data_seconds"]), float(r["eot_seconds"])


def pair(relay_path, far, near, far_dir, near_dir, far_first):
    """lrzsz's pair: far on a socket where the board's console would be, near
    on the relay's pipes; the sender is started first and listens."""
    a, b = socket.socketpair()
    p = subprocess.Popen(["/bin/sh", "-c", far + " 2>/dev/null"], stdin=b, stdout=b, cwd=far_dir)
    b.close()
    if far_first:
        time.sleep(0.2)
    t = relay(relay_path, a.fileno(), near, near_dir)
    if p.wait(timeout=60) != 0:
        raise RuntimeError("%s ended with status %s" % (far, p.returncode))
    a.close()
    return t


def check(got, want, what):
    """A transfer is timed only when it brought the file (XMODEM pads the
    last block with SUBs)."""
    if got[:len(want)] != want or got[len(want):].strip(b"\x1a"):
        raise RuntimeError("%s: the file did not arrive intact" % what)


def host_checksum(path):
    """Read the file and checksum it once (zlib's CRC-32)."""
    start = time.perf_counter()
    with open(path, "rb") as f:
        zlib.crc32(f.read())
    return time.perf_counter() - start


def show(name, ours, peer):
    """Each run's figures, the medians and the ratio peer / ours."""
    om, pm = statistics.median(ours), statistics.median(peer)
    print("%s\n    ours %s s\n    peer %s s\n    medians %.3f s / %.3f s, ratio %.2fx"
          % (name, " ".join("%.3f" % x for x in ours), " ".join("%.3f" % x for x in peer), om, pm, pm / om))


def main():
    root = tempfile.mkdtemp(prefix="terminal-bench-")
    con = board = None
    try:
        relay_path = os.path.join(root, "console_relay")
        subprocess.run(["cc", "-O2", "-o", relay_path, os.path.join(HERE, "console_relay.c")], check=True)
        peer, rxdir = os.path.join(root, "peer"), os.path.join(root, "rx")
        os.makedirs(peer)
        os.makedirs(rxdir)
        big = os.urandom(MIB8)
        with open(os.path.join(peer, "big.bin"), "wb") as f:
            f.write(big)
        # An 8 MiB image: random code deflates to about its own size.
        with open(os.path.join(root, "code.bin"), "wb") as f:
            f.write(big[:MIB8 - 4096])
        image = os.path.join(peer, "image.opr")
        subprocess.run([os.path.join(BUILD, "tarnimg"), "create", "-o", image, os.path.join(root, "code.bin")],
                       check=True)
        with open(image, "rb") as f:
            image_bytes = f.read()
        image_len = len(image_bytes)

        board = Board()
        tarnlog = os.path.join(BUILD, "tarnlog")
        for i in range(0 if RECEIVE_ONLY else LOG_RECORDS):
            subprocess.run([tarnlog, "--board", board.dir, "event", "/src/bench.c", str(i + 1), "0x%x" % i],
                           check=True, stdout=subprocess.DEVNULL)
        shown = subprocess.run([tarnlog, "--board", board.dir, "show"], capture_output=True, text=True).stdout
        print("image %d bytes; event log of %d records" % (image_len, shown.count("EVENT>")))

        con = Console(board.dir)
        con.expect(MENU_PROMPT)
        recv, recv_pair, log, log_pair, to_menu, sleep_after, host = [], [], [], [], [], [], []
        for run in range(RUNS):
            # 1. 8 MiB into option 13, then lrzsz's pair.
            con.choose("13")
            con.expect(HINT)
            recv.append(relay(relay_path, con.fd, "sx -k big.bin", peer))
            con.expect("XMODEM transfer complete....")
            con.expect(MENU_PROMPT)
            check(board.get("diag_image.stk"), big, "option 13")
            recv_pair.append(pair(relay_path, "rx -c pair.bin", "sx -k big.bin", rxdir, peer, False))
            with open(os.path.join(rxdir, "pair.bin"), "rb") as f:
                check(f.read(), big, "rx -c")
            os.remove(os.path.join(rxdir, "pair.bin"))
            if RECEIVE_ONLY:
                print("run %d: option 13 %.3f s, pair %.3f s" % (run + 1, recv[-1][0], recv_pair[-1][0]))
                continue

            # 2. The event log through option 3, then the pair with the text rx received.
            for name in ("log.txt", "pairlog.txt"):
                if os.path.exists(os.path.join(rxdir, name)):
                    os.remove(os.path.join(rxdir, name))
            con.choose("3")
            con.expect(HINT)
            time.sleep(SEND_PAUSE + 0.2)
            log.append(relay(relay_path, con.fd, "rx -c log.txt", rxdir))
            con.expect("Event log transmitted.")
            con.expect(MENU_PROMPT)
            log_pair.append(pair(relay_path, "sx -k log.txt", "rx -c pairlog.txt", rxdir, rxdir, True))
            with open(os.path.join(rxdir, "log.txt"), "rb") as f, open(os.path.join(rxdir, "pairlog.txt"), "rb") as g:
                text = f.read()
                check(g.read(), text, "the log's pair")
            if text.count(b"EVENT>") != LOG_RECORDS:
                raise RuntimeError("the log holds %d records" % text.count(b"EVENT>"))

            # 3. Option 4: from the checksum message to the menu prompt.
            con.choose("4")
            con.expect(HINT)
            relay(relay_path, con.fd, "sx -k image.opr", peer)
            ended = time.monotonic()
            start = con.expect("XMODEM transfer complete, checking CRC....")
            con.expect("Storing Operational code in Flash.")
            done = con.expect(MENU_PROMPT)
            if "ERROR" in con.con.before:
                raise RuntimeError("option 4 failed: " + con.con.before)
            check(board.get("image1"), image_bytes, "option 4")
            sleep_after.append(start - ended)
            to_menu.append(done - start)
            host.append(host_checksum(image))
            print("run %d: option 13 %.3f s, pair %.3f s; log %.3f s, pair %.3f s; load-to-menu %.3f s, host %.3f s"
                  % (run + 1, recv[-1][0], recv_pair[-1][0], log[-1][0], log_pair[-1][0], to_menu[-1], host[-1]))

        print()
        first = lambda runs: [r[0] for r in runs]  # noqa: E731
        to_eot = lambda runs: [r[1] for r in runs]  # noqa: E731
        show("8 MiB XMODEM-1K into option 13 (sx -k) vs sx -k -> rx -c, first block to last byte",
             first(recv), first(recv_pair))
        show("  the same to the EOT (rx -c waits 1 s before it answers the EOT)", to_eot(recv), to_eot(recv_pair))
        if RECEIVE_ONLY:
            return
        log_len = os.path.getsize(os.path.join(rxdir, "log.txt"))
        show("event log, %d records, %d bytes: option 3 -> rx -c vs sx -k -> rx -c, first block to last byte"
             % (LOG_RECORDS, log_len), first(log), first(log_pair))
        show("  the same to the EOT (rx -c's 1 s wait left out on both sides)", to_eot(log), to_eot(log_pair))
        chunks = (image_len - 2 + CRC_CHUNK - 1) // CRC_CHUNK
        ticks = (chunks - 1) // CRC_PAUSE_EVERY + 1
        pauses = ticks * TICK
        print("option 4 (%d bytes): checksum message to menu prompt %s s, median %.3f s"
              % (image_len, " ".join("%.3f" % t for t in to_menu), statistics.median(to_menu)))
        print("  the system's pauses in it: %d checksum ticks = %.2f s; the sleep after the receive"
              " (median %.2f s) comes before the message" % (ticks, pauses, statistics.median(sleep_after)))
        show("  load-to-menu without the pauses vs the host reading and checksumming the file once",
             [t - pauses for t in to_menu], host)

        t, percent, rc = xmodem_throughput.paced_efficiency(BUILD, big)
        print("1 MiB XMODEM-1K receive at 115200 paced (xmodem_host): %.2f s, %.1f %% of 11520 bytes/s  rc=%s"
              % (t, percent, rc))
    finally:
        if con is not None:
            con.close()
        if board is not None:
            board.close()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
