#!/usr/bin/env python3
"""Checks the Windows plug-ins under Wine against a reference decode.

    spi_test.py --wine CMD --spicheck EXE --plugins DIR
                [--posix-program CMD --posix-plugins DIR]

Writes a set of GIF, JPEG, TIFF and PNG pictures (and damaged copies) with
PIL, runs spicheck.exe on them (which drives each plug-in through its
exports and saves every decode as a BMP), then compares the decodes pixel
by pixel: with the POSIX build's decode when --posix-program is given, else
with PIL's. GIF, PNG and TIFF must agree exactly, JPEG within a small
tolerance (the two builds' JPEG libraries upsample colour differently).
Palette and greyscale pictures must come back with 8 bits per pixel (a
GIF's first image on its logical screen), everything else with 24.
"""
import argparse
import os
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli"))
import bmputil  # noqa: E402
from PIL import Image  # noqa: E402

# Largest channel difference allowed for a JPEG decode: 4:4:4 pictures decode
# alike; subsampled colour is upsampled differently by Wine's libjpeg.
JPEG_TOLERANCE = {"444": 2, "420": 6}


def gradient(w, h):
    img = Image.new("RGB", (w, h))
    img.putdata([(x * 255 // (w - 1), y * 255 // (h - 1), (x + y) * 255 // (w + h - 2))
                 for y in range(h) for x in range(w)])
    return img


def busy(w, h):
    img = Image.new("RGB", (w, h))
    img.putdata([((x * 7) % 256, (y * 11) % 256, (x * y) % 256) for y in range(h) for x in range(w)])
    return img


def png16(path, w, h, channels, pixel):
    """A PNG of 16 bits a sample (grey, RGB or RGBA); pixel(x, y) gives the
    samples."""
    ctype = {1: 0, 3: 2, 4: 6}[channels]
    raw = b"".join(b"\0" + b"".join(struct.pack(">%dH" % channels, *pixel(x, y)) for x in range(w))
                   for y in range(h))

    def chunk(t, data):
        return struct.pack(">I", len(data)) + t + data + struct.pack(">I", zlib.crc32(t + data))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 16, ctype, 0, 0, 0))
                + chunk(b"pHYs", struct.pack(">IIB", 3780, 2835, 1))
                + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def tiff16(path, w, h, channels, pixel):
    """An uncompressed TIFF of 16 bits a sample (grey or RGB), 200 by 100
    pixels per inch. Little-endian: Wine's TIFF decoder hands big-endian
    16-bit samples over unswapped."""
    data = b"".join(struct.pack("<%dH" % channels, *pixel(x, y)) for y in range(h) for x in range(w))
    entries = 11
    ifd = 8
    extra = ifd + 2 + entries * 12 + 4        # bits per sample, then the resolutions
    bps_at, xres_at, yres_at = extra, extra + 8, extra + 16
    strip = extra + 24
    tags = [(256, 4, 1, w), (257, 4, 1, h),
            (258, 3, channels, 16 if channels == 1 else bps_at),
            (259, 3, 1, 1), (262, 3, 1, 1 if channels == 1 else 2), (273, 4, 1, strip),
            (277, 3, 1, channels), (278, 4, 1, h), (279, 4, 1, len(data)),
            (282, 5, 1, xres_at), (283, 5, 1, yres_at)]
    out = b"II\x2a\0" + struct.pack("<I", ifd) + struct.pack("<H", entries)
    for tag, typ, count, value in tags:
        if typ == 3 and count == 1:
            out += struct.pack("<HHIHH", tag, typ, count, value, 0)
        else:
            out += struct.pack("<HHII", tag, typ, count, value)
    # No unit tag: inches, by default.
    out += struct.pack("<I", 0) + struct.pack("<4H", 16, 16, 16, 0)
    out += struct.pack("<IIII", 200, 1, 100, 1)
    with open(path, "wb") as f:
        f.write(out + data)


def pictures(d):
    """Writes the pictures; returns {file name: (expected bits, tolerance)}."""
    w, h = 97, 131  # odd sizes: padded rows; over 64 rows: several bands
    b, g = busy(w, h), gradient(w, h)
    want = {}

    def save(name, img, depth, tol=0, **kw):
        img.save(os.path.join(d, name), **kw)
        want[name] = (depth, tol, None)

    save("plain.gif", b.quantize(64), 8, interlace=False)
    save("interlaced.gif", b.quantize(200), 8, interlace=True)
    save("transparent.gif", b.quantize(16), 8, transparency=3)
    save("two.gif", b.convert("1"), 8)
    save("small.gif", Image.new("P", (1, 1), 0), 8)
    save("full.jpg", b, 24, JPEG_TOLERANCE["444"], subsampling=0, quality=92, dpi=(72, 150))
    save("sub.jpeg", g, 24, JPEG_TOLERANCE["420"], quality=85)
    save("grey.jpg", b.convert("L"), 8, JPEG_TOLERANCE["444"])
    save("progressive.jpe", b, 24, JPEG_TOLERANCE["444"], subsampling=0, progressive=True)
    save("cmyk.jpg", b.convert("CMYK"), 24, JPEG_TOLERANCE["444"], subsampling=0, quality=95)
    save("raw.tif", b, 24, dpi=(300, 120))
    save("lzw.tiff", b, 24, compression="tiff_lzw")
    save("packbits.tif", b, 24, compression="packbits")
    save("grey.tif", b.convert("L"), 8)
    save("palette.tif", b.quantize(16), 8)
    save("bilevel.tif", b.convert("1"), 8)
    save("alpha.tif", b.convert("RGBA"), 24)
    save("rgb.png", b, 24, dpi=(96, 200))
    save("alpha.png", b.convert("RGBA"), 24)
    save("grey.png", b.convert("L"), 8)
    save("greyalpha.png", b.convert("LA"), 8)
    save("palette.png", b.quantize(256), 8)
    save("palette4.png", b.quantize(16), 8, bits=4)
    save("palette1.png", b.quantize(2), 8, bits=1)

    # 16 bits a sample: PNG and TIFF colour round to the nearest 8-bit
    # value; TIFF grey keeps the high byte.
    def wide(x, y):
        return ((x * 1021 + y * 77) % 65536, (y * 613 + 5) % 65536, (x * y * 31 + 9) % 65536)

    def rnd(v):
        return (v * 255 + 32767) // 65535

    def expect(fn):
        img = Image.new("RGB", (w, h))
        img.putdata([fn(x, y) for y in range(h) for x in range(w)])
        return img
    png16(os.path.join(d, "grey16.png"), w, h, 1, lambda x, y: wide(x, y)[:1])
    want["grey16.png"] = (8, 0, expect(lambda x, y: (rnd(wide(x, y)[0]),) * 3))
    png16(os.path.join(d, "rgb16.png"), w, h, 3, wide)
    want["rgb16.png"] = (24, 0, expect(lambda x, y: tuple(rnd(v) for v in wide(x, y))))
    png16(os.path.join(d, "rgba16.png"), w, h, 4, lambda x, y: wide(x, y) + (x * 500,))
    want["rgba16.png"] = want["rgb16.png"]
    tiff16(os.path.join(d, "rgb16.tif"), w, h, 3, wide)
    want["rgb16.tif"] = want["rgb16.png"]
    tiff16(os.path.join(d, "grey16.tif"), w, h, 1, lambda x, y: wide(x, y)[:1])
    want["grey16.tif"] = (24, 0, expect(lambda x, y: (wide(x, y)[0] >> 8,) * 3))

    # A GIF whose first image covers part of a larger screen, which shows
    # the background colour elsewhere.
    small = busy(5, 3).quantize(8)
    small.save(os.path.join(d, "screen.gif"))
    data = bytearray(open(os.path.join(d, "screen.gif"), "rb").read())
    pos = 13 + (3 << ((data[10] & 7) + 1) if data[10] & 0x80 else 0)
    while data[pos] == 0x21:
        pos += 2
        while data[pos]:
            pos += data[pos] + 1
        pos += 1
    assert data[pos] == 0x2C
    data[6:10] = struct.pack("<HH", 11, 7)
    data[11] = 2
    data[pos + 1:pos + 5] = struct.pack("<HH", 4, 3)
    with open(os.path.join(d, "screen.gif"), "wb") as f:
        f.write(data)
    pal = small.getpalette()
    ref = Image.new("RGB", (11, 7), tuple(pal[6:9]))
    ref.paste(small.convert("RGB"), (4, 3))
    want["screen.gif"] = (8, 0, ref)

    # Damaged files: cut short, or headers with sizes no one could hold.
    for name in ("plain.gif", "full.jpg", "lzw.tiff", "rgb.png"):
        data = open(os.path.join(d, name), "rb").read()
        with open(os.path.join(d, "bad-cut-" + name), "wb") as f:
            f.write(data[:len(data) // 3])
    with open(os.path.join(d, "bad-huge.gif"), "wb") as f:
        f.write(b"GIF89a" + struct.pack("<HHBBB", 65535, 65535, 0x80, 0, 0) + bytes(6)
                + b"," + struct.pack("<HHHHB", 0, 0, 65535, 65535, 0) + b"\x02\x02\x44\x01\x00;")
    png = open(os.path.join(d, "rgb.png"), "rb").read()
    with open(os.path.join(d, "bad-huge.png"), "wb") as f:
        # IHDR width and height raised to 2^31-1 (the CRC no longer fits).
        f.write(png[:16] + struct.pack(">II", 0x7FFFFFFF, 0x7FFFFFFF) + png[24:])
    return want


def reference_pil(path):
    img = Image.open(path)
    img.load()
    return img.convert("RGB")


def reference_posix(args, path, tmp):
    out = os.path.join(tmp, "posix.bmp")
    if os.path.exists(out):
        os.remove(out)
    cmd = shlex.split(args.posix_program) + ["-a", "-d", args.posix_plugins, path, out]
    p = subprocess.run(cmd, capture_output=True, timeout=60)
    if p.returncode != 0:
        raise RuntimeError("POSIX decode of %s failed: %s" % (path, p.stderr.decode(errors="replace")))
    data = open(out, "rb").read()
    return bmputil.parse_bmp(data), bmputil.pixels_bgr(data)


def compare(args, pic_dir, out_dir, want, tmp):
    failures = []
    for name, (bits, tol, own) in sorted(want.items()):
        got_path = os.path.join(out_dir, name + ".bmp")
        if not os.path.exists(got_path):
            failures.append("%s: no decode" % name)
            continue
        data = open(got_path, "rb").read()
        got_bits = bmputil.parse_bmp(data)[0]["bpp"]
        got = bmputil.pixels_bgr(data)
        if got_bits != bits:
            failures.append("%s: %d bits per pixel, want %d" % (name, got_bits, bits))
        if args.posix_program:
            ref_fields, ref = reference_posix(args, os.path.join(pic_dir, name), tmp)
            got_fields = bmputil.parse_bmp(data)
            for key in ("bpp", "xppm", "yppm", "clrUsed"):
                if got_fields[0][key] != ref_fields[0][key]:
                    failures.append("%s: %s %d, the POSIX build gives %d"
                                    % (name, key, got_fields[0][key], ref_fields[0][key]))
            if got_fields[1] != ref_fields[1]:
                failures.append("%s: the colour table differs from the POSIX build's" % name)
        else:
            img = own if own is not None else reference_pil(os.path.join(pic_dir, name))
            w, h = img.size
            px = img.load()
            ref = [[px[x, y][::-1] for x in range(w)] for y in range(h - 1, -1, -1)]
        if (len(got), len(got[0])) != (len(ref), len(ref[0])):
            failures.append("%s: %dx%d, want %dx%d" % (name, len(got[0]), len(got), len(ref[0]), len(ref)))
            continue
        worst = max(abs(a - b) for rg, rr in zip(got, ref) for pg, pr in zip(rg, rr) for a, b in zip(pg, pr))
        if worst > tol:
            failures.append("%s: pixels differ by up to %d (allowed %d)" % (name, worst, tol))
    return failures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--wine", required=True, help="the command that runs a Windows program")
    ap.add_argument("--spicheck", required=True)
    ap.add_argument("--plugins", required=True, help="plug-in directory as the program sees it")
    ap.add_argument("--posix-program")
    ap.add_argument("--posix-plugins")
    args = ap.parse_args()

    tmp = tempfile.mkdtemp(prefix="vexel-spi-")
    try:
        pic_dir = os.path.join(tmp, "pictures")
        out_dir = os.path.join(tmp, "decoded")
        os.mkdir(pic_dir)
        os.mkdir(out_dir)
        want = pictures(pic_dir)
        p = subprocess.run(shlex.split(args.wine) + [args.spicheck, args.plugins, pic_dir, out_dir],
                           capture_output=True, timeout=600)
        out = p.stdout.decode(errors="replace").replace("\r\n", "\n")
        sys.stdout.write(out)
        failures = compare(args, pic_dir, out_dir, want, tmp)
        for f in failures:
            print("FAIL " + f)
        ok = len(want) - len(failures)
        print("spi pixels: %d passed, %d failed" % (ok, len(failures)))
        return 0 if p.returncode == 0 and not failures else 1
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    sys.exit(main())
