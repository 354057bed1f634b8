"""Shared helpers of the system tests: boards in temporary directories, the
tarnboot binary driven over a pseudo-terminal, and test images built from the
image format's definition (independently of the system's own image code)."""

import os
import pathlib
import shlex
import shutil
import struct
import sys
import tempfile
import zlib

import pexpect

TARNBOOT = os.environ.get("TARNBOOT") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "tarnboot")
TARNIMG = os.environ.get("TARNIMG") or os.path.join(os.path.dirname(TARNBOOT), "tarnimg")
TARGET = 0x00508541
HEADER_SIZE = 1220
BANNER = "Boot Menu Version: 28 Apr 2008"
MENU_PROMPT = "[Boot Menu] "
RULER = " " * 23 + "50%" + " " * 21 + "100%"
# A build for another machine runs through its emulator (TARN_EMULATOR, e.g.
# "qemu-ppc -L /usr/powerpc-linux-gnu"), every wait TARN_TIME_SCALE times as long.
EMULATOR = shlex.split(os.environ.get("TARN_EMULATOR", ""))
TIME_SCALE = float(os.environ.get("TARN_TIME_SCALE", "1"))
TIMEOUT = float(os.environ.get("TARN_TEST_TIMEOUT", "30")) * TIME_SCALE
# Another build's tarnboot for this host, when there is one, to move boards between builds.
PEER_TARNBOOT = [p for p in [os.environ.get("TARN_PEER_TARNBOOT")] if p and os.path.exists(p)]


def command(program, *args):
    """The command line that runs one of the project's programs."""
    return EMULATOR + [program] + [str(a) for a in args]


# ---- image format -------------------------------------------------------------

def crc16(data):
    """The image checksum, bit by bit from its definition: polynomial 0xA097,
    register from 0, each byte entering the low end of the register."""
    table = []
    for i in range(256):
        reg = 0
        for bit in range(7, -1, -1):
            top = (reg >> 15) & 1
            reg = (reg << 1) & 0xFFFF
            if top != ((i >> bit) & 1):
                reg ^= 0xA097
        table.append(reg)
    reg = 0
    for b in data:
        reg = ((reg << 8) ^ table[reg >> 8] ^ b) & 0xFFFF
    return reg


def seal(body):
    """Puts the checksum of bytes 2.. into the first two bytes."""
    return struct.pack(">H", crc16(body[2:])) + body[2:]


def make_image(payload=b"operational code " * 64, load=0x00100000, target=TARGET,
               timestamp=b"Mon Apr 28 14:05:09 2008", name=b"tarn-opcode.bin",
               boot_code=None, compress=True):
    """A plain image: header, component 0 (zlib stream of payload), optional
    component 1 (boot code, stored as it is)."""
    comp0 = zlib.compress(payload) if compress else payload
    comps = [(comp0, load)]
    if boot_code is not None:
        comps.append((boot_code, 0))
    hdr = bytearray(HEADER_SIZE)
    size = HEADER_SIZE + sum(len(c) for c, _ in comps)
    struct.pack_into(">HHIII", hdr, 0, 0, 0, target, size, len(comps))
    offset = 0
    for i, (data, addr) in enumerate(comps):
        struct.pack_into(">H6xIIII4xI16x", hdr, 16 + 48 * i, 0x1234 + i, 7, len(data), offset, addr, 1)
        offset += len(data)
    hdr[784:788] = bytes([ord("B"), 2, 3, 4])
    hdr[788:788 + len(timestamp)] = timestamp
    hdr[820:820 + len(name)] = name
    return seal(bytes(hdr) + b"".join(c for c, _ in comps))


def whole_boot_code(last=b"\x4b\xff\xf0\x04"):
    """A whole boot region, its last word (the reset vector) a branch unless given."""
    return os.urandom((1 << 20) - 4) + last


def make_stk(images):
    """An STK container of (target, image bytes) pairs."""
    header_len = 88 + 28 * len(images)  # the fixed part, then the directory
    body = bytearray(header_len)
    pos = header_len
    for i, (target, img) in enumerate(images):
        struct.pack_into(">II", body, 88 + 28 * i, pos, target)
        pos += len(img)
    struct.pack_into(">HHIII", body, 0, 0, 0xAA55, 0x2288BB66, len(images), pos)
    struct.pack_into(">I", body, 20, header_len)
    return seal(bytes(body) + b"".join(img for _, img in images))


def run_tarnimg(*args, **kw):
    """Runs tarnimg; returns the CompletedProcess (text output)."""
    import subprocess
    return subprocess.run(command(TARNIMG, *args), capture_output=True, text=True, **kw)


def tarnimg_image(payload, *options, boot_code=None):
    """An image made with tarnimg create from payload (and boot code)."""
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "code.bin")
        out = os.path.join(tmp, "image")
        pathlib.Path(src).write_bytes(payload)
        if boot_code is not None:
            pathlib.Path(tmp, "boot.bin").write_bytes(boot_code)
            options += ("--boot-code", os.path.join(tmp, "boot.bin"))
        r = run_tarnimg("create", "-o", out, *options, src)
        assert r.returncode == 0, r.stderr
        return pathlib.Path(out).read_bytes()


def dim_text(records):
    """boot.dim text of (state, nextState, name, counter, description) records."""
    out = ""
    for r in records:
        out += "---IMAGE---\n" + "\n".join(r) + "\n"
    return out.encode()


# ---- boot flash -------------------------------------------------------------------

NOR_SIZE = 32 << 20
BOOT_REGION = NOR_SIZE - (1 << 20)      # nor.bin offset of 0xFFF00000
FLASH_DISK_SIZE = NOR_SIZE - (2 << 20)
ERASE_UNIT = 128 << 10
FACTORY_BANNER = b"tarn8541 factory boot code, Version: 28 Apr 2008"


def format_record(units=FLASH_DISK_SIZE // ERASE_UNIT, unit=ERASE_UNIT, spare=1, percent=99,
                  cluster=2048, fat_copies=2, when=0):
    """The flash disk's format record (start of the flash disk region), from
    its definition: 60 bytes of fields, then their CRC-32."""
    clusters = (units - spare - 1) * unit * percent // 100 // cluster
    body = b"TARNFTL1" + struct.pack(">8I", unit, units, spare, percent, cluster, clusters,
                                     fat_copies, when) + bytes(20)
    return body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def factory_nor(formatted=True):
    """A new board's boot flash: factory boot code at the top, the flash disk
    region erased or (formatted) holding a format record."""
    nor = bytearray(b"\xff") * NOR_SIZE
    nor[BOOT_REGION:BOOT_REGION + len(FACTORY_BANNER) + 1] = FACTORY_BANNER + b"\0"
    nor[NOR_SIZE - 4096:NOR_SIZE - 4088] = struct.pack(">II", 0x38600000, 0x48000000)
    nor[NOR_SIZE - 4:] = struct.pack(">I", 0x4BFFF004)
    if formatted:
        rec = format_record()
        nor[0:len(rec)] = rec
    return nor


# ---- boards ---------------------------------------------------------------------

class Board:
    """A board directory; boot() starts tarnboot on it over a pseudo-terminal.

    The board's flash disk is formatted already (as after its first boot), so
    files put in DskVol/files before the first boot stay there; factory=True
    gives a board straight from the factory, whose first boot formats."""

    def __init__(self, factory=False):
        self.dir = tempfile.mkdtemp(prefix="tarnboot-sys-")
        self.files_dir = os.path.join(self.dir, "DskVol", "files")
        os.makedirs(self.files_dir)
        if not factory:
            self.put_chip("nor.bin", factory_nor(formatted=True))
        self.child = None

    def chip(self, name):
        """A device's contents in the board directory: nor.bin, eeprom.bin, rtc.bin."""
        return pathlib.Path(self.dir, name).read_bytes()

    def put_chip(self, name, data):
        pathlib.Path(self.dir, name).write_bytes(data)

    def nor(self):
        return self.chip("nor.bin")

    def path(self, name):
        return os.path.join(self.files_dir, name)

    def put(self, name, data):
        pathlib.Path(self.path(name)).write_bytes(data)

    def get(self, name):
        return pathlib.Path(self.path(name)).read_bytes()

    def exists(self, name):
        return os.path.exists(self.path(name))

    def boot(self, *args, program=None):
        """Starts tarnboot on the board (program: another build's instead)."""
        line = (program or command(TARNBOOT)) + ["--board", self.dir] + [str(a) for a in args]
        self.child = pexpect.spawn(line[0], line[1:],
                                   timeout=TIMEOUT, encoding="latin-1",
                                   dimensions=(50, 200))
        if os.environ.get("TARN_TEST_LOG"):
            self.child.logfile_read = sys.stdout
        return self.child

    def expect(self, *patterns, timeout=None):
        """Waits for each text in turn."""
        for pattern in patterns:
            self.child.expect_exact(pattern, timeout=timeout or TIMEOUT)

    def menu(self):
        """Waits for the main menu prompt."""
        self.expect(MENU_PROMPT)

    def choose(self, text):
        self.child.send(text + "\r")

    def expect_handover(self):
        """Waits for the entry into loaded code: the hand-over line on the
        host's standard error, the process ending with status 0 and
        DIR/handover holding the same line. Returns its fields as a dict."""
        self.expect("tarnboot: handover ")
        self.child.expect_exact("\n")
        line = "handover " + self.child.before.strip()
        self.child.expect(pexpect.EOF)
        self.child.close()
        assert self.child.exitstatus == 0, "exit status %r" % self.child.exitstatus
        record = pathlib.Path(self.dir, "handover").read_text().strip()
        assert record == line, (record, line)
        return dict(field.split("=", 1) for field in line.split()[1:])

    def close(self):
        if self.child is not None and self.child.isalive():
            self.child.terminate(force=True)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
