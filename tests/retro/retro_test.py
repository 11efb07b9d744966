#!/usr/bin/env python3
"""The MAG, Pi, PIC, PIC2 and XLD4 plug-ins through the program, with -a.

    retro_test.py PROGRAM PLUGIN-DIR DATA-DIR

DATA-DIR/<format>/ holds sample files made by an independent encoder, each
NAME.<ext> with the NAME.ppm an independent decoder reads from it, and the
formats' worked examples. Every sample must convert to its PPM; the worked
examples and files built from the format descriptions must decode to the
pictures written below them, or be refused as they say; and damaged copies
of every sample and built picture must give one clean refusal, or (when
only a cut is made) the right picture, never a crash.
"""
import os
import random
import re
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli"))
import bmputil  # noqa: E402

PROGRAM = PLUGINS = DATA = None
REFUSALS = ("broken data file", "unknown format", "cannot convert")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def h(text):
    return bytes.fromhex(text)


def mag(mode, x1, x2, y2, pal, flag_a, flag_b, pixels):
    """A MAG file of an empty comment, the streams in order after the palette."""
    head = (h("00 00 00") + bytes([mode]) + b"".join(v.to_bytes(2, "little") for v in (x1, 0, x2, y2)))
    at = 32 + len(pal)
    for off, size in ((at, None), (at + len(flag_a), len(flag_b)), (at + len(flag_a) + len(flag_b), len(pixels))):
        head += off.to_bytes(4, "little") + (size.to_bytes(4, "little") if size is not None else b"")
    return b"MAKI02  TEST" + b"EXAMPLE".ljust(18) + b"\x1a" + head + pal + flag_a + flag_b + pixels


MAG_PAL16 = h("000000 0000F0 00F000 00F0F0 F00000 F000F0 F0F000 F0F0F0 707070 000070 007000 007070 700000"
              "700070 707000 A0A0A0")
MAG_PAL256 = bytearray(768)
MAG_PAL256[0x180:0x192] = h("00FF00 FF0000 0000FF FFFF00 808080 FFFFFF")
MAG_EXAMPLE1 = mag(0, 0, 15, 1, MAG_PAL16, h("D000"), h("01014100"), h("00001234 00005678"))
PI_EXAMPLE1 = h("5069 4558414D504C45 1A 00 00 0000 04 54455354 0000 0008 0002"
                "000000 F00000 00F000 0000F0 F0F000 F000F0 00F0F0 F0F0F0 700000 007000 000070 707000 700070"
                "007070 707070 A0A0A0 76201F870D44 00000000")
PI_EXAMPLE2 = h("5069 323536 1A 7879 00 80 0201 08 54455354 0004 00000000 0005 0003 7B0FA4303E75832700 00000000")
PIC_EXAMPLE = h("504943 4869 1A 20 00 00 00 000F 0006 0004 50F8398800 1FA417CAAB43681500")


def letters(text):
    """A picture of rows of letters, top row first, as rows (bottom first)
    of (b, g, r): the colours of the PIC and PIC2 examples."""
    bgr = {"K": "000000", "A": "0084FF", "B": "FF0000", "C": "52FF29", "D": "424242", "W": "FFFFFF"}
    return [[tuple(h(bgr[c])) for c in row] for row in reversed(text.split())]


def patch(data, at, hexbytes):
    """A copy of data with the bytes from `at` set."""
    b = h(hexbytes)
    return data[:at] + b + data[at + len(b):]


def lzw(codes):
    """XLD4 LZW codes, each at the width it needs after escapes, then a 0."""
    fields, width = [], 3
    for c in codes:
        while c + 2 >= 1 << width:
            fields.append((1, width))
            width += 1
        fields.append((c + 2, width))
    fields.append((0, width))
    acc = n = 0
    for v, w in fields:
        acc, n = acc << w | v, n + w
    return (acc << -n % 8).to_bytes((n + 7) // 8, "big")


def xld4(chunks):
    """An XLD4 file of chunks (codes, pixels / 2), chunk 0 the palette."""
    f = bytearray(11) + b"MAJYO"
    for codes, n in chunks:
        data = lzw(codes)
        f += struct.pack("<IH", len(data), n) + data
    f[8:10] = struct.pack("<H", len(f))
    return bytes(f)


def run(v, count, before=()):
    """Codes of `count` copies of v, 288 at most a run."""
    return [*before, 16, 0, v, count % 288 // 17, count % 288 % 17] + [16, 16, 16] * (count // 288)


def literals(count, before=()):
    """Codes of `count` values, 0 to 15 in turn."""
    return [*before] + [i % 16 for i in range(count)]


def zeros(count):
    """Codes of `count` zeros, made mostly by codes that each repeat the
    phrase before with one byte more."""
    codes, i, length = [0], 1, 2
    while i + length <= count:
        codes.append(16 + length - 1)
        i, length = i + length, length + 1
    return codes + [0] * (count - i)


def pixels(lead, count, extra=0):
    """A 640 x 400 XLD4 file: stored palette entry i is (i, 15 - i, i / 2);
    `count` values from the codes `lead`, then index 7 to the end in chunks
    of 128,000. The first chunk can owe `extra` more pixels than it has."""
    chunks = [([v for i in range(16) for c in (i, 15 - i, i // 2) for v in (9, c)], 0), (lead, (count + extra) // 2)]
    rest = 256000 - count - extra
    while rest > 0:
        n = min(rest, 128000)
        chunks.append((run(7, n), n // 2))
        rest -= n
    return xld4(chunks)


def q4(colour):
    """A 640 x 400 picture, pixel k (in raster order) of colour(k) = 0xRRGGBB."""
    px = [(c & 255, c >> 8 & 255, c >> 16) for c in map(colour, range(256000))]
    return [px[y * 640:(y + 1) * 640] for y in reversed(range(400))]


def q4_pixels(count, zero=False):
    """The picture of pixels(): value j is palette index (j & 8) | (j & 3) << 1 | (j >> 2 & 1)."""
    def colour(k):
        j = 7 if k >= count else 0 if zero else k % 16
        i = (j & 8) | (j & 3) << 1 | (j >> 2 & 1)
        return (i << 16 | (15 - i) << 8 | i // 2) * 17
    return q4(colour)


def pictures():
    """Rows (name, file, want), each stem once, as the outputs take the
    stem: the samples with their PPMs, then the built files. want is the
    program's message; or the picture as rows (bottom first) of (b, g, r);
    or the pixel bytes (bottom-up, rows unpadded) followed by {index: table
    entry as B G R}."""
    rows = []
    for fmt in ("mag", "pi", "pic", "pic2"):
        for name in sorted(os.listdir(os.path.join(DATA, fmt))):
            path = os.path.join(DATA, fmt, name)
            if name.endswith("." + fmt) and os.path.exists(path[:-len(fmt)] + "ppm"):
                rows.append((name, read(path), ppm_rows(path[:-len(fmt)] + "ppm")))
    ex1, ex2 = read(os.path.join(DATA, "pic2", "example1.pic2")), read(os.path.join(DATA, "pic2", "example2.pic2"))
    ss, bm = 124, 419  # the blocks of example 2
    q = pixels(literals(1000), 1000)
    sample = os.path.join(DATA, "pic2", "p2ss6_41x29_plasma")
    return rows + EXAMPLES + [
        ("pic2-ex1.pic2", ex1, letters("KAAB BABC KAAA")),
        ("pic2-ex2.pic2", ex2, letters("AAAB CDCB CDBB KKWB")),
        ("p2-sample.p2", read(sample + ".pic2"), ppm_rows(sample + ".ppm")),
        # no canvas size: the blocks' extent
        ("pic2-canvas-from-blocks.pic2", patch(ex2, 116, "00000000"), letters("AAAB CDCB CDBB KKWB")),
        # rows below the canvas are not decoded, whatever they would hold
        ("pic2-block-taller.pic2", patch(ex1, 142, "FFFF"), letters("KAAB BABC KAAA")),
        # the raw block half off the canvas, one dot of it on the right edge
        ("pic2-block-past-edge.pic2", patch(ex2, bm + 14, "00030003"), letters("AAAB CDCB CDBB KKKW")),
        ("pic2-block-past-left.pic2", patch(ex2, bm + 14, "FFFF0000"), letters("BAAB CDCB CDBB KKKK")),
        # colour W is not painted
        ("pic2-transparent.pic2", patch(patch(ex2, bm + 8, "0001"), bm + 18, "00007FFF"),
         letters("AAAB CDCB CDBB KKKB")),
        ("pic2-depth8.pic2", patch(ex1, 110, "0008"), "unknown format"),
        ("pic2-unknown-blocks.pic2", patch(ex1, 130, b"P2XX".hex()), "unknown format"),
        ("pic2-first-block-past-end.pic2", patch(ex1, 106, "000000B1"), "broken data file"),
        ("pic2-palette-over-comment.pic2", patch(ex1, 98, "0001"), "broken data file"),
        ("pic2-block-header-short.pic2", patch(ex1, 134, "00000019"), "broken data file"),
        ("pic2-raw-data-short.pic2", patch(ex2, bm + 10, "0003"), "broken data file"),
        ("pic2-sf-32-ones.pic2", patch(ex1, 156, "FFFFFFFF00"), "broken data file"),
        ("pic2-ss-code-out-of-range.pic2", patch(ex2, ss + 282, "FFFF"), "broken data file"),
        ("pic2-canvas-too-large.pic2", patch(ex1, 116, "20002001"), "cannot convert"),
        ("xld4-ex.xld4", read(os.path.join(DATA, "xld4", "example.xld4")),
         q4(lambda k: 0x0000FF if k == 0 else 0xFFFFFF if k == 1 else 0x888888 if k == 2 else
            0xFF0000 if k < 128000 else 0x00FF00)),
        ("xld4-literals-runs.xld4", q, q4_pixels(1000)),
        # a chunk of 16,366 steps is the most, 65,536 bytes the largest
        ("xld4-steps-at-limit.xld4", pixels(literals(16366), 16366), q4_pixels(16366)),
        ("xld4-steps-past-limit.xld4", pixels(literals(16364, (0, 0, 17)), 16368), "broken data file"),
        ("xld4-unpacked-at-limit.xld4", pixels(zeros(65536), 65536), q4_pixels(65536, zero=True)),
        ("xld4-unpacked-past-limit.xld4", pixels(zeros(65538), 65538), "broken data file"),
        ("xld4-header-unknown.xld4", patch(q, 1, "020500"), "unknown format"),
        # a chunk with values past its pixels, or short of them
        ("xld4-values-past-chunk.xld4", pixels(literals(1000), 1000, -2), "broken data file"),
        ("xld4-values-short-of-chunk.xld4", pixels(literals(1000), 1000, 2), "broken data file"),
        ("xld4-data-after-last-chunk.xld4", patch(q, 8, struct.pack("<H", len(q) + 1).hex()) + b"\0",
         "broken data file"),
    ]


# Rows as pictures() gives them.
EXAMPLES = [
    ("mag-ex1.mag", MAG_EXAMPLE1,
     "0000000000000000 0102030405060708 0000000000000000 0102030401020304", {1: "F00000", 8: "707070"}),
    ("mag-ex2.mag", mag(0x80, 5, 10, 1, MAG_PAL256, h("7000"), h("10404200"), h("0080818283008485")),
     "808485818284 808182818283", {0x80: "0000FF", 0x85: "FFFFFF"}),
    # 256 colours in 8-dot rows: 4 dots wide, but every row holds 4 words,
    # which only that reading takes exactly.
    ("mag-octet.mag", mag(0x80, 0, 3, 1, MAG_PAL256, h("0000"), b"", h("01020304 05060708 11121314 15161718")),
     "11121314 01020304", {}),
    ("mag-yjk.mag", MAG_EXAMPLE1[:32] + h("03 24") + MAG_EXAMPLE1[34:], "unknown format"),
    ("mag-before.mag", MAG_EXAMPLE1[:0x71] + h("41") + MAG_EXAMPLE1[0x72:], "broken data file"),
    ("mag-short.mag", MAG_EXAMPLE1[:0x3B] + h("06") + MAG_EXAMPLE1[0x3C:], "broken data file"),
    ("pi-ex1.pi", PI_EXAMPLE1, "0303030301020102 0303030301020005", {3: "F00000", 15: "A0A0A0"}),
    ("pi-ex2.pi", PI_EXAMPLE2, "C864C86407 64C86407FF C864C864C8",
     {200: "00DB49", 100: "006D24", 7: "FF0024", 255: "FFFFFF"}),
    ("pi-default16.pi", PI_EXAMPLE2[:9] + h("80 0000 04") + PI_EXAMPLE2[13:27] + h("A3800000"),
     "0000000000 0000000000 0000000000", {9: "F00000", 12: "00F000", 7: "707070", 8: "000000"}),
    ("pi-run32.pi", PI_EXAMPLE1[:0x49] + h("A3FFFFFFFF0000"), "broken data file"),
    ("pic-ex.pic", PIC_EXAMPLE, letters("KAAABB CCABBC CBBBAC CAAAAC")),
    ("pic-pc88va.pic", PIC_EXAMPLE[:9] + h("01 0010") + PIC_EXAMPLE[12:], "unknown format"),
    ("pic-run32.pic", PIC_EXAMPLE[:16] + h("FFFFFFFF0000"), "broken data file"),
]


def damaged(name, data):
    """Copies of a file cut short and with bytes flipped: {name: (data, cut)}."""
    rnd = random.Random(name)
    base, ext = os.path.splitext(name)
    out = {}
    for at in sorted({len(data) * k // 8 for k in range(8)} | {len(data) - k for k in (1, 4, 7, 9)}):
        out["%s-cut%d%s" % (base, at, ext)] = (data[:at], True)
    for i in range(24):
        b = bytearray(data)
        # the header and palette first, where every byte counts
        at = rnd.randrange(min(len(b), 96 if i % 2 else len(b)))
        b[at] ^= 1 << rnd.randrange(8) if i % 3 else 0xFF
        out["%s-flip%d-%d%s" % (base, i, at, ext)] = (bytes(b), False)
    return out


def ppm_rows(path):
    """A binary PPM's pixels as rows (bottom first) of (b, g, r)."""
    data = read(path)
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    w, hgt, px = int(m.group(1)), int(m.group(2)), data[m.end():]
    rgb = [(px[i + 2], px[i + 1], px[i]) for i in range(0, 3 * w * hgt, 3)]
    return [rgb[y * w:(y + 1) * w] for y in reversed(range(hgt))]


class Retro(unittest.TestCase):
    def convert(self, files):
        """Converts {name: data} in one run of the program; returns
        {name: decoded BMP bytes, or the program's message}."""
        with tempfile.TemporaryDirectory(prefix="vexel-retro-") as d:
            inputs, out = os.path.join(d, "in"), os.path.join(d, "out")
            os.mkdir(inputs)
            os.mkdir(out)
            for name, data in files.items():
                with open(os.path.join(inputs, name), "wb") as f:
                    f.write(data)
            p = subprocess.run([PROGRAM, "-d", PLUGINS, "-a"] + list(files) + [out], cwd=inputs,
                               capture_output=True, stdin=subprocess.DEVNULL, timeout=600)
            self.assertIn(p.returncode, (0, 1), p.stderr.decode(errors="replace")[-2000:])
            said = {}
            for line in p.stderr.decode(errors="replace").splitlines():
                m = re.fullmatch(r"(.*): (.*)", line)
                self.assertTrue(m and m.group(2) in REFUSALS, line)
                said[m.group(1)] = m.group(2)
            got = {}
            for name in files:
                bmp = os.path.join(out, os.path.splitext(name)[0] + ".bmp")
                got[name] = read(bmp) if os.path.exists(bmp) else said.get(name)
                self.assertTrue(isinstance(got[name], bytes) != (name in said), name)
            return got

    def test_pictures(self):
        rows = pictures()
        got = self.convert({row[0]: row[1] for row in rows})
        for name, _, want, *colours in rows:
            if isinstance(want, list):
                self.assertIsInstance(got[name], bytes, name)
                self.assertEqual(bmputil.pixels_bgr(got[name]), want, name)
            elif not colours:
                self.assertEqual(got[name], want, name)
            else:
                fields, table, pixels = bmputil.parse_bmp(got[name])
                self.assertEqual(pixels.hex(), want.replace(" ", "").lower(), name)
                for i, bgr in colours[0].items():
                    self.assertEqual(table[4 * i:4 * i + 4].hex(), bgr.lower() + "00", "%s colour %d" % (name, i))

    def test_damaged_copies_refused_or_right(self):
        wholes = {name: (data, want) for name, data, want, *_ in pictures() if isinstance(want, list)}
        files = {}
        for name, (data, _) in wholes.items():
            files.update(damaged(name, data))
        for name, bmp in self.convert({n: f[0] for n, f in files.items()}).items():
            if isinstance(bmp, bytes) and files[name][1]:
                self.assertEqual(bmputil.pixels_bgr(bmp), wholes[re.sub(r"-cut\d+", "", name)][1], name)


if __name__ == "__main__":
    PROGRAM, PLUGINS, DATA = (os.path.abspath(a) for a in sys.argv[1:4])
    unittest.main(argv=sys.argv[:1], verbosity=2)
