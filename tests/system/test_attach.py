"""Attaching a terminal as a person does: a pseudo-terminal not yet opened, a
telnet client, a load through a binary telnet session; and what tarnboot says
of a board directory it cannot use."""

import os
import pathlib
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import pexpect

sys.path.insert(0, os.path.dirname(__file__))
from menulib import exit_status  # noqa: E402
from tarnlib import MENU_PROMPT, TARNBOOT, TIMEOUT, Board, command, make_image  # noqa: E402

IAC = 255


def console(b, kind):
    """Boots with --console kind; returns where it is: a pty path or a port."""
    b.boot("--console", kind)
    b.child.expect(r"console on (?:(/dev/pts/\d+)|\w+ 127\.0\.0\.1:(\d+))")
    return b.child.match.group(1) or int(b.child.match.group(2))


class TelnetRelay:
    """A telnet client that asks for binary both ways, relaying console bytes."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.sendall(bytes([IAC, 253, 1, IAC, 253, 3, IAC, 253, 0, IAC, 251, 3, IAC, 251, 0]))
        self.rest, self.text = b"", b""

    def recv(self):
        """What the board sent: negotiation (3-byte commands here) dropped, IAC IAC undoubled."""
        data, out = self.rest + self.sock.recv(4096), bytearray()
        while data and (data[0] != IAC or len(data) >= 3 or data[:2] == b"\xff\xff"):
            step = 1 if data[0] != IAC else 2 if data[1] == IAC else 3
            out += data[:1] if step < 3 else b""
            data = data[step:]
        self.rest = data
        return bytes(out)

    def send(self, data):
        self.sock.sendall(data.replace(b"\xff", b"\xff\xff"))

    def expect(self, text):
        while text not in self.text:
            self.text += self.recv()
        self.text = self.text[self.text.index(text) + len(text):]


class Attach(unittest.TestCase):
    def test_the_board_waits_for_a_terminal_unless_told_not_to(self):
        with Board() as b:
            b.put("image1", make_image())
            console(b, "pty")
            time.sleep(1)  # before the first attach the board has no process
            self.assertEqual(open("/proc/%d/task/%d/children" % (b.child.pid, b.child.pid)).read(), "")
            b.child.kill(signal.SIGTERM)
            self.assertEqual(exit_status(b), 143)
            b.boot("--console", "pty", "--no-wait")
            self.assertEqual(b.expect_handover()["kind"], "opcode")

    def test_telnet_client_runs_commands(self):
        with Board() as b:
            port = console(b, "telnet:0")
            t = pexpect.spawn("telnet", ["127.0.0.1", str(port)], timeout=TIMEOUT, encoding="latin-1")
            t.expect_exact("Operational code CRC is invalid.")
            for choice, answer in (("?", "Options available"), ("24", "boot.dim 4 :\t\t image1"),
                                   ("22", "/DskVol/files"), ("2", "-> "), ("0", "Baud rate is not changed")):
                t.expect_exact(MENU_PROMPT if choice != "0" else "")
                t.send(choice + "\r")
                t.expect_exact(answer)
            self.assertNotIn("\xff", t.before)
            t.terminate(force=True)

    def test_sx_load_through_a_binary_telnet_session_stores_the_exact_image(self):
        # Whole blocks, full of what a text-mode session would change: CR LF, CR NUL, IAC.
        image = make_image(payload=((b"\r\n\r\0\xff" + bytes(range(256))) * 160)[:40 * 1024 - 1220], compress=False)
        with Board() as b, tempfile.TemporaryDirectory() as tmp:
            pathlib.Path(tmp, "new.opr").write_bytes(image)
            relay = TelnetRelay(console(b, "telnet:0"))
            relay.expect(MENU_PROMPT.encode())
            relay.send(b"4\r")
            relay.expect(b"Control-X characters to cancel")
            sx = subprocess.Popen(["sx", "-k", "new.opr"], cwd=tmp, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

            def to_board():
                while data := os.read(sx.stdout.fileno(), 4096):
                    relay.send(data)
            pump = threading.Thread(target=to_board)
            pump.start()
            while sx.poll() is None:
                if data := relay.recv():
                    try:
                        sx.stdin.write(data)
                        sx.stdin.flush()
                    except BrokenPipeError:
                        break
            pump.join()
            self.assertEqual(sx.wait(), 0)
            relay.expect(MENU_PROMPT.encode())
            self.assertEqual(b.get("image1"), image)

    def test_one_tarnboot_a_board_and_an_unwritable_directory_are_said(self):
        with Board() as b:
            def second(*prefix):
                run = subprocess.run(list(prefix) + command(TARNBOOT, "--board", b.dir, "--console", "pty"),
                                     capture_output=True, text=True, timeout=TIMEOUT)
                return run.returncode, run.stderr
            b.boot()
            b.menu()
            self.assertEqual(second(), (1, "tarnboot: the board directory %s is in use by another tarnboot "
                                           "(process %d)\n" % (b.dir, b.child.pid)))
            b.child.send("\x1dq")
            self.assertEqual(exit_status(b), 0)
            # Said at once, not to the terminal that attaches (root writes anywhere: run as nobody).
            os.chmod(b.dir, 0o755 if os.geteuid() == 0 else 0o555)
            status, said = second(*(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
                                    if os.geteuid() == 0 else []))
            self.assertEqual((status, said.split(": /")[0]), (1, "tarnboot: the board directory %s cannot be "
                                                                 "written" % b.dir))
            self.assertTrue(said.endswith(": Permission denied\n"), said)
            os.chmod(b.dir, 0o755)


if __name__ == "__main__":
    unittest.main()
