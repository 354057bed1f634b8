"""The image tool as a firmware engineer uses it: create, stk, info, verify and
config. What it writes is decoded here from the format's definition, and each
refusal is one line with a non-zero status. (Its vetting is the board's own
code, whose verdicts the load's unit search holds to the start-up check's.)"""

import json
import os
import pathlib
import struct
import sys
import tempfile
import unittest
import zlib

sys.path.insert(0, os.path.dirname(__file__))
from tarnlib import TARGET, crc16, make_image, make_stk, run_tarnimg, seal, whole_boot_code  # noqa: E402


def component(img, i, base=0):
    crc, version, size, offset, load, flash = struct.unpack_from(">H6xIIII4xI", img, base + 16 + 48 * i)
    return dict(crc=crc, version=version, size=size, offset=offset, load=load, flash=flash)


def config_block(text):
    data = zlib.compress(text)
    return struct.pack(">II", len(data), 0xDEADC0DE) + data


class Tool(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="tarnimg-test-")
        self.addCleanup(tmp.cleanup)
        self.path = lambda name: os.path.join(tmp.name, name)

    def write(self, name, data):
        pathlib.Path(self.path(name)).write_bytes(data)
        return self.path(name)

    def read(self, name):
        return pathlib.Path(self.path(name)).read_bytes()

    def create(self, name, payload, *options, env=None):
        r = run_tarnimg("create", "-o", self.path(name), *options, self.write(name + ".payload", payload), env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        return self.read(name)

    def test_create_writes_what_the_format_defines(self):
        payload, boot = os.urandom(70000) + b"\0" * 70000, whole_boot_code()
        env = dict(os.environ, SOURCE_DATE_EPOCH="1209391509")
        img = self.create("opcode.img", payload, "--load", "0x20000", "--rel", "7", "--ver", "1",
                          "--maint", "2", "--build", "3", "--code-version", "11", "--flash-flag", "1",
                          "--boot-code", self.write("boot.bin", boot), "--boot-version", "5", env=env)
        self.assertEqual(struct.unpack_from(">HHIII", img, 0), (crc16(img[2:]), 0, TARGET, len(img), 2))
        c0, c1 = component(img, 0), component(img, 1)
        code = img[1220 + c0["offset"]:1220 + c0["offset"] + c0["size"]]
        self.assertEqual(zlib.decompress(code), payload)
        self.assertEqual((c0["load"], c0["version"], c0["flash"], c0["crc"]), (0x20000, 11, 1, crc16(code)))
        self.assertEqual(img[1220 + c1["offset"]:1220 + c1["offset"] + c1["size"]], boot)
        self.assertEqual((c1["version"], c1["crc"]), (5, crc16(boot)))
        self.assertEqual((img[784:788], img[788:820].rstrip(b"\0"), img[820:1220].rstrip(b"\0")),
                         (bytes([7, 1, 2, 3]), b"Mon Apr 28 14:05:09 2008", b"opcode.img"))
        # A boot code that option 7 refuses goes in only when asked for.
        self.create("short.img", b"c", "--allow-short-boot-code", "--boot-code", self.write("b", b"B" * 3000))

    def test_stk_packs_selects_and_shows(self):
        a = self.create("a.img", b"for another board", "--target", "0x1234")
        b = self.create("b.img", b"for this board" * 100)
        r = run_tarnimg("stk", "-o", self.path("both.stk"), self.path("a.img"), self.path("b.img"))
        self.assertEqual(r.returncode, 0, r.stderr)
        stk = self.read("both.stk")
        self.assertEqual(struct.unpack_from(">HHIIIII", stk), (crc16(stk[2:]), 0xAA55, 0x2288BB66, 2, len(stk), 0, 144))
        entries = [struct.unpack_from(">II", stk, 88 + 28 * i) for i in range(2)]
        self.assertEqual(entries, [(144, 0x1234), (144 + len(a), TARGET)])
        self.assertEqual(stk[entries[1][0]:], b)
        info = json.loads(run_tarnimg("info", "--json", self.path("both.stk")).stdout)
        self.assertEqual((info["kind"], info["crcMatches"], info["entryCount"]), ("stk", True, 2))
        self.assertEqual(info["entries"][1]["image"]["components"][0]["filePosition"], 144 + len(a) + 1220)
        self.assertIn("offset %d" % (144 + len(a)), run_tarnimg("verify", self.path("both.stk")).stdout)
        self.assertEqual(run_tarnimg("verify", "--target", "0x1234", self.path("both.stk")).returncode, 0)

    def test_config_reads_blocks_and_plain_text_back(self):
        data = config_block(b"hostname a\n\n! c\n\n") + config_block(b"vlan 2\n\n")
        r = run_tarnimg("config", self.write("cfg", data))
        self.assertEqual((r.returncode, r.stdout), (0, "hostname a\n! c\nvlan 2\n"))
        self.assertEqual(run_tarnimg("config", "--raw", self.path("cfg")).stdout, "hostname a\n\n! c\n\nvlan 2\n\n")
        r = run_tarnimg("config", self.write("plain", b"  plain one \r\n\n two\x1a\x1a"))
        self.assertEqual((r.returncode, r.stdout), (0, "plain one\ntwo\n"))

    def test_refusals_are_one_line_and_leave_no_output(self):
        p = self.path
        self.write("code", b"c" * 100)
        self.create("a.img", b"a")
        image = self.create("img", b"an image " * 30000)
        self.write("bad.img", image[:-1] + bytes([image[-1] ^ 1]))
        good = config_block(b"a\n\n")
        cases = [
            (["create", "--load", "0x03FFFFF0"], "would not end below 0x04000000"),
            (["create", "--file", "tab\there"], "control character 0x09"),
            (["create", "--boot-code", self.write("big", b"b" * ((1 << 20) + 2))], "boot region holds"),
            (["create", "--boot-code", self.write("short", b"s" * 100000)], "is 100000 bytes; option 7 writes only"),
            (["create", "--boot-code", self.write("erased", whole_boot_code(b"\xff" * 4))], "ends in 0xFFFFFFFF"),
            (["stk", p("a.img"), p("a.img")], "second image for target 0x00508541"),
            (["stk", p("bad.img")], "bad.img' is not a valid image: checksum"),
            (["stk", self.write("nested.stk", make_stk([(TARGET, make_image())]))], "cannot be nested"),
            (["stk"] + [p("a.img")] * 9, "at most 8"),
            (["info", self.write("text", b"hostname tarn\n" * 200)], "is not an image: its size field"),
            (["info", self.write("cut", image[:1000])], "shorter than an image header"),
            (["config", p("img")], "is not text (it looks like an operational code image"),
            (["config", self.write("junk.cfg", good + good[:8] + bytes(len(good) - 8))], "does not inflate"),
            (["config", self.write("long.cfg", b"ok\n" + b"L" * 1100 + b"\n")], "drops"),
            (["verify", p("absent")], "absent"),
        ]
        for argv, message in cases:
            with self.subTest(argv=argv[:2]):
                out = ["-o", p("out")] if argv[0] in ("create", "stk") else []
                r = run_tarnimg(argv[0], *out, *argv[1:], *([p("code")] if argv[0] == "create" else []))
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(message, r.stderr)
                self.assertEqual(r.stderr.count("\n"), 1, r.stderr)
                self.assertFalse(os.path.exists(p("out")))
                self.assertLess(len(r.stdout), 1200, "no dump: at most the text before a fault")
        self.assertEqual(run_tarnimg().returncode, 2)
        self.assertEqual(run_tarnimg("frobnicate").returncode, 2)

    def test_verify_verdicts_reasons_and_warnings(self):
        good = make_image()
        outside = bytearray(make_image(boot_code=b"B" * 40))
        struct.pack_into(">I", outside, 64 + 12, 41)
        broken_stream = bytearray(zlib.compress(b"x" * 5000))
        broken_stream[10] ^= 0xFF
        cases = [  # the file, the verdict, what it says after the verdict
            (good, "valid image", None),
            (make_stk([(0x1234, make_image(target=0x1234)), (TARGET, good)]), "valid STK container", None),
            (good[:-3] + bytes([good[-3] ^ 0x10]) + good[-2:], "INVALID: checksum", None),
            (make_stk([(0x1234, make_image(target=0x1234))]), "INVALID: the STK container has no image", None),
            (seal(bytes(outside)), "INVALID: the boot code (component 1, 41 bytes", None),
            (make_image(payload=bytes(broken_stream), compress=False), "valid", "component 0: the deflate stream"),
            (make_image(load=0x00100002), "valid", "load address 0x00100002 is not word-aligned"),
            (make_image(boot_code=b"B" * 40), "valid", "the boot code is 40 bytes, not the 1048576"),
            (make_image(boot_code=whole_boot_code(b"\xff" * 4)), "valid", "the boot code ends in 0xFFFFFFFF"),
        ]
        for data, verdict, warning in cases:
            with self.subTest(verdict=verdict, warning=warning):
                r = run_tarnimg("verify", self.write("f", data))
                self.assertEqual(r.returncode, int("INVALID" in verdict), r.stdout + r.stderr)
                self.assertTrue(r.stdout.startswith(self.path("f") + ": " + verdict), r.stdout)
                self.assertEqual(r.stdout.count("warning"), int(warning is not None), r.stdout)
                self.assertIn(warning or "", r.stdout)


if __name__ == "__main__":
    unittest.main()
