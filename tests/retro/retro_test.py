#!/usr/bin/env python3
"""The MAG, Pi and PIC plug-ins through the program, with -a.

    retro_test.py PROGRAM PLUGIN-DIR DATA-DIR

DATA-DIR/<format>/ holds sample files made by an independent encoder, each
NAME.<ext> with the NAME.ppm an independent decoder reads from it. Every
sample must convert to its PPM; the formats' worked examples and a few
hand-made files must decode to the bytes written below them; and damaged
copies of every sample must give one clean refusal, or (when only a cut
is made) the right picture, never a crash.
"""
import os
import random
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli"))
import bmputil  # noqa: E402

PROGRAM = PLUGINS = DATA = None
FORMATS = ("mag", "pi", "pic")
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


def pic_colours(rows):
    """Bottom-up BGR bytes of the PIC example's dots, its top row first."""
    bgr = {"K": "000000", "A": "0084FF", "B": "FF0000", "C": "52FF29"}
    return "".join(bgr[c] for row in reversed(rows.split()) for c in row)


# name (each stem once: the outputs take the stem), file, then the pixel bytes (bottom-up, rows unpadded) and
# {index: table entry as B G R}, or the program's message.
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
    ("pic-ex.pic", PIC_EXAMPLE, pic_colours("KAAABB CCABBC CBBBAC CAAAAC"), {}),
    ("pic-pc88va.pic", PIC_EXAMPLE[:9] + h("01 0010") + PIC_EXAMPLE[12:], "unknown format"),
    ("pic-run32.pic", PIC_EXAMPLE[:16] + h("FFFFFFFF0000"), "broken data file"),
]


def damaged(name, data):
    """Copies of a file cut short and with bytes flipped: {name: (data, cut)}."""
    rnd = random.Random(name)
    base, ext = os.path.splitext(name)
    out = {}
    for at in sorted({len(data) * k // 8 for k in range(8)} | {len(data) - 1, len(data) - 4}):
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

    def samples(self, fmt):
        d = os.path.join(DATA, fmt)
        names = sorted(n for n in os.listdir(d) if n.endswith("." + fmt))
        return {n: (read(os.path.join(d, n)), ppm_rows(os.path.join(d, n[:-len(fmt)] + "ppm")))
                for n in names}

    def test_samples_convert_to_their_pictures(self):
        for fmt in FORMATS:
            samples = self.samples(fmt)
            self.assertTrue(samples, fmt)
            for name, bmp in self.convert({n: s[0] for n, s in samples.items()}).items():
                self.assertIsInstance(bmp, bytes, name)
                self.assertEqual(bmputil.pixels_bgr(bmp), samples[name][1], name)

    def test_examples(self):
        got = self.convert({row[0]: row[1] for row in EXAMPLES})
        for name, _, want, *colours in EXAMPLES:
            if not colours:
                self.assertEqual(got[name], want, name)
                continue
            fields, table, pixels = bmputil.parse_bmp(got[name])
            self.assertEqual(pixels.hex(), want.replace(" ", "").lower(), name)
            for i, bgr in colours[0].items():
                self.assertEqual(table[4 * i:4 * i + 4].hex(), bgr.lower() + "00", "%s colour %d" % (name, i))

    def test_damaged_samples_refused_or_right(self):
        for fmt in FORMATS:
            samples = self.samples(fmt)
            files = {}
            for name, (data, _) in samples.items():
                files.update(damaged(name, data))
            for name, bmp in self.convert({n: f[0] for n, f in files.items()}).items():
                if isinstance(bmp, bytes) and files[name][1]:
                    whole = re.sub(r"-cut\d+", "", name)
                    self.assertEqual(bmputil.pixels_bgr(bmp), samples[whole][1], name)


if __name__ == "__main__":
    PROGRAM, PLUGINS, DATA = (os.path.abspath(a) for a in sys.argv[1:4])
    unittest.main(argv=sys.argv[:1], verbosity=2)
