"""The image tool as a firmware engineer uses it: create, stk, info, verify.
What it writes is decoded here from the format's definition, and its verdicts
are compared with the board's own check of the same files."""

import json
import os
import shutil
import struct
import sys
import tempfile
import unittest
import zlib

sys.path.insert(0, os.path.dirname(__file__))
from tarnlib import TARGET, Board, crc16, make_image, make_stk, run_tarnimg, seal  # noqa: E402


def component(img, i, base=0):
    crc, version, size, offset, load, flash = struct.unpack_from(">H6xIIII4xI", img, base + 16 + 48 * i)
    return dict(crc=crc, version=version, size=size, offset=offset, load=load, flash=flash)


class Tool(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tarnimg-test-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def create(self, name, payload, *options, env=None):
        src = self.write(name + ".payload", payload)
        r = run_tarnimg("create", "-o", self.path(name), *options, src, env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        return self.read(name)


class Create(Tool):
    def test_image_decodes_by_the_format_definition(self):
        payload = os.urandom(70000) + b"\0" * 70000
        boot = os.urandom(3000)
        env = dict(os.environ, SOURCE_DATE_EPOCH="1209391509")
        self.write("boot.bin", boot)
        img = self.create("opcode.img", payload, "--load", "0x20000", "--rel", "7", "--ver", "1",
                          "--maint", "2", "--build", "3", "--code-version", "11", "--flash-flag", "1",
                          "--boot-code", self.path("boot.bin"), "--boot-version", "5", env=env)
        crc, reserved, target, size, ncomp = struct.unpack_from(">HHIII", img, 0)
        self.assertEqual((reserved, target, size, ncomp), (0, TARGET, len(img), 2))
        self.assertEqual(crc, crc16(img[2:]))
        c0, c1 = component(img, 0), component(img, 1)
        code = img[1220 + c0["offset"]:1220 + c0["offset"] + c0["size"]]
        self.assertEqual(zlib.decompress(code), payload)
        self.assertEqual((c0["load"], c0["version"], c0["flash"], c0["crc"]), (0x20000, 11, 1, crc16(code)))
        self.assertEqual(img[1220 + c1["offset"]:1220 + c1["offset"] + c1["size"]], boot)
        self.assertEqual((c1["version"], c1["crc"]), (5, crc16(boot)))
        self.assertEqual(tuple(img[784:788]), (7, 1, 2, 3))
        self.assertEqual(img[788:820].rstrip(b"\0"), b"Mon Apr 28 14:05:09 2008")
        self.assertEqual(img[820:1220].rstrip(b"\0"), b"opcode.img")

    def test_refusals_leave_no_output(self):
        self.write("out.img", b"previous")
        self.write("code", b"c" * 100)
        self.write("bigboot", b"b" * (1024 * 1024 + 1))
        cases = [
            (["--load", "0x03FFFFF0"], "would not end below 0x04000000"),
            (["--timestamp", "x" * 32], "at most 31"),
            (["--boot-code", self.path("bigboot")], "boot region holds"),
            (["--rel", "AB"], "--rel"),
            (["--level", "10"], "--level"),
            (["--nonsense"], "unknown option"),
        ]
        for options, message in cases:
            with self.subTest(options=options[0]):
                r = run_tarnimg("create", "-o", self.path("out.img"), *options, self.path("code"))
                self.assertEqual(r.returncode, 2)
                self.assertIn(message, r.stderr)
        r = run_tarnimg("create", "-o", self.path("out.img"), self.path("missing"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("missing", r.stderr)
        self.assertEqual(self.read("out.img"), b"previous")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["bigboot", "code", "out.img"])
        self.assertEqual(run_tarnimg().returncode, 2)
        self.assertEqual(run_tarnimg("frobnicate").returncode, 2)


class Stk(Tool):
    def test_container_layout_and_selection(self):
        a = self.create("a.img", b"for another board", "--target", "0x1234")
        b = self.create("b.img", b"for this board" * 100)
        r = run_tarnimg("stk", "-o", self.path("both.stk"), self.path("a.img"), self.path("b.img"))
        self.assertEqual(r.returncode, 0, r.stderr)
        stk = self.read("both.stk")
        crc, magic1, magic2, count, total = struct.unpack_from(">HHIII", stk, 0)
        header_len, = struct.unpack_from(">I", stk, 20)
        self.assertEqual((magic1, magic2, count, total, header_len), (0xAA55, 0x2288BB66, 2, len(stk), 88 + 56))
        self.assertEqual(crc, crc16(stk[2:]))
        entries = [struct.unpack_from(">II", stk, 88 + 28 * i) for i in range(2)]
        self.assertEqual(entries, [(144, 0x1234), (144 + len(a), TARGET)])
        self.assertEqual(stk[entries[1][0]:], b)

        info = json.loads(run_tarnimg("info", "--json", self.path("both.stk")).stdout)
        self.assertEqual((info["kind"], info["crcMatches"], info["entryCount"]), ("stk", True, 2))
        image = info["entries"][1]["image"]
        self.assertEqual(image["components"][0]["filePosition"], 144 + len(a) + 1220)
        self.assertEqual(image["components"][0]["offset"], 0)

        r = run_tarnimg("verify", self.path("both.stk"))
        self.assertEqual(r.returncode, 0)
        self.assertIn("offset %d" % (144 + len(a)), r.stdout)
        self.assertEqual(run_tarnimg("verify", "--target", "0x1234", self.path("both.stk")).returncode, 0)
        self.assertEqual(run_tarnimg("verify", "--target", "0x4321", self.path("both.stk")).returncode, 1)

    def test_refused_inputs(self):
        self.create("a.img", b"a")
        self.create("a2.img", b"a2")
        bad = bytearray(self.create("bad.img", b"bad", "--target", "0x77"))
        bad[1225] ^= 1
        self.write("bad.img", bytes(bad))
        self.write("nested.stk", make_stk([(TARGET, make_image())]))
        cases = [
            ([self.path("a.img"), self.path("a2.img")], "second image for target 0x00508541"),
            ([self.path("bad.img")], "bad.img' is not a valid image: checksum"),
            ([self.path("nested.stk")], "cannot be nested"),
            ([self.path("a.img")] * 9, "at most 8"),
        ]
        for inputs, message in cases:
            with self.subTest(message=message):
                r = run_tarnimg("stk", "-o", self.path("out.stk"), *inputs)
                self.assertNotEqual(r.returncode, 0)
                self.assertIn(message, r.stderr)
                self.assertFalse(os.path.exists(self.path("out.stk")))


class Info(Tool):
    def test_text_and_json(self):
        img = make_image(payload=b"p" * 500, load=0x00400000, boot_code=b"B" * 40)
        self.write("img", img)
        text = run_tarnimg("info", self.path("img"))
        self.assertEqual(text.returncode, 0)
        self.assertIn("plain image, %d bytes" % len(img), text.stdout)
        self.assertIn("load address 0x00400000", text.stdout)
        self.assertIn("rel B ver 2 maint_lvl 3 build_num 4", text.stdout)
        self.assertIn("Checksum          matches", text.stdout)
        info = json.loads(run_tarnimg("info", "--json", self.path("img")).stdout)
        self.assertEqual(info["image"]["size"], len(img))
        self.assertEqual(info["image"]["timestamp"], "Mon Apr 28 14:05:09 2008")
        self.assertEqual([c["size"] for c in info["image"]["components"]],
                         [component(img, 0)["size"], 40])
        self.write("short", img[:1000])
        r = run_tarnimg("info", self.path("short"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("short", r.stderr)


class Verify(unittest.TestCase):
    """tarnimg verify against images made from the format's definition, and
    against the board's check of the same files at start-up."""

    @staticmethod
    def corpus():
        good = make_image()
        bad_crc = bytearray(good)
        bad_crc[-3] ^= 0x10
        small = bytearray(make_image())
        struct.pack_into(">I", small, 8, 1219)
        broken_stream = bytearray(zlib.compress(b"x" * 5000))
        broken_stream[10] ^= 0xFF
        return [
            ("valid", good, 0),
            ("valid-stk", make_stk([(0x1234, make_image(target=0x1234)), (TARGET, good)]), 0),
            ("bad-crc", bytes(bad_crc), 1),
            ("truncated", good[:-1], 1),
            ("other-target", make_image(target=0x00501234), 1),
            ("stk-without-entry", make_stk([(0x1234, make_image(target=0x1234))]), 1),
            ("size-below-header", seal(bytes(small)), 1),
            ("empty", b"", 1),
            ("broken-stream", make_image(payload=bytes(broken_stream), compress=False), 0),
        ]

    def test_verdicts_and_reasons(self):
        with tempfile.TemporaryDirectory() as tmp:
            for name, data, status in self.corpus():
                with self.subTest(name=name):
                    path = os.path.join(tmp, name)
                    with open(path, "wb") as f:
                        f.write(data)
                    r = run_tarnimg("verify", path)
                    self.assertEqual(r.returncode, status, r.stdout + r.stderr)
                    self.assertIn(path + ": " + ("valid" if status == 0 else "INVALID: "), r.stdout)
            r = run_tarnimg("verify", os.path.join(tmp, "broken-stream"))
            self.assertIn("warning: component 0: the deflate stream is corrupt", r.stdout)
            r = run_tarnimg("verify", "--target", "0x00501234", os.path.join(tmp, "other-target"))
            self.assertEqual(r.returncode, 0)
            r = run_tarnimg("verify", os.path.join(tmp, "absent"))
            self.assertEqual(r.returncode, 2)
            self.assertIn("absent", r.stderr)

    def test_the_board_agrees(self):
        for name, data, status in self.corpus():
            with self.subTest(name=name), Board() as b:
                b.put("image1", data)
                b.boot()
                i = b.child.expect_exact(["Calculating CRC of active image...done...",
                                          "Active image failed crc check"])
                self.assertEqual(i, status)
                b.child.terminate(force=True)


if __name__ == "__main__":
    unittest.main()
