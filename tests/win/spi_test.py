#!/usr/bin/env python3
# Checks the Windows plug-ins under Wine against the POSIX build's decode.
#
#   spi_test.py WINE SPICHECK.EXE PLUGIN-DIR [POSIX-VEXEL POSIX-PLUGIN-DIR]
#
# Writes GIF, JPEG, TIFF and PNG pictures, lossless WebP, HEIF, AVIF and
# JPEG XL ones made by the formats' encoders, and damaged copies, takes the
# MAG, Pi and PIC samples of the tests and damaged copies of them, runs
# spicheck.exe on them (which drives each plug-in through its exports and
# saves every decode as a BMP) and compares its BMPs with the POSIX build's:
# header fields and colour tables exactly, pixels exactly but for JPEG,
# whose colour Wine's libjpeg upsamples differently. A picture the system
# has no codec for is reported, not compared.
import os
import struct
import subprocess
import sys
import tempfile

from PIL import Image

W, H = 97, 131  # odd sizes: padded rows; over 64 rows: several bands


# Writes the pictures; returns {name: largest sample difference allowed}.
def pictures(d):
    b = Image.new("RGB", (W, H))
    b.putdata([(x * 7 % 256, y * 11 % 256, x * y % 256) for y in range(H) for x in range(W)])
    grey16 = Image.frombytes("I;16", (W, H), bytes(i * 37 % 251 for i in range(2 * W * H)))
    # colours premultiplied by odd alphas, marked associated below
    assoc = Image.new("RGBA", (W, H))
    alphas = ((i * 7) % 256 | 1 for i in range(W * H))
    assoc.putdata([tuple(v * a // 255 for v in p) + (a,) for p, a in zip(b.getdata(), alphas)])
    exif = b.getexif()
    exif[0x0112] = 8
    table = [  # name, picture, tolerance, options
        ("plain.gif", b.quantize(64), 0, {}), ("interlaced.gif", b.quantize(200), 0, {"interlace": True}),
        ("full.jpg", b, 2, {"subsampling": 0, "quality": 92, "dpi": (72, 150)}),
        ("sub.jpeg", b.resize((4, 4)).resize((W, H)), 6, {}), ("grey.jpg", b.convert("L"), 2, {}),
        ("cmyk.jpg", b.convert("CMYK"), 2, {"subsampling": 0}), ("bilevel.tif", b.convert("1"), 0, {}),
        ("lzw.tiff", b, 0, {"compression": "tiff_lzw", "dpi": (300, 120)}), ("grey16.tif", grey16, 0, {}),
        ("palette.tif", b.quantize(16), 0, {}), ("rgb.png", b, 0, {"dpi": (96, 200)}),
        ("alpha.png", b.convert("RGBA"), 0, {}), ("greyalpha.png", b.convert("LA"), 0, {}),
        ("palette.png", b.quantize(256), 0, {}), ("palette4.png", b.quantize(16), 0, {"bits": 4}),
        ("grey16.png", grey16, 0, {}), ("screen.gif", b.crop((0, 0, 5, 3)).quantize(8), 0, {}),
        ("turned.tif", b.quantize(16), 0, {"tiffinfo": {274: 6}}), ("assoc.tif", assoc, 0, {}),
        ("exif.jpg", b, 2, {"exif": exif.tobytes(), "subsampling": 0})]
    for name, img, _, options in table:
        img.save(os.path.join(d, name), **options)
    # Today's formats, lossless: any decoder gives the same pixels.
    with tempfile.TemporaryDirectory() as t:
        src = os.path.join(t, "source.png")
        b.save(src)
        for name, cmd in (("lossless.webp", "cwebp -lossless {s} -o {o}"), ("lossless.avif", "avifenc -s 8 -l {s} {o}"),
                          ("lossless.heic", "heif-enc -L -p chroma=444 --matrix_coefficients=0 {s} -o {o}"),
                          ("lossless.jxl", "cjxl -d 0 {s} {o}")):
            subprocess.run(cmd.format(s=src, o=os.path.join(d, name)).split(), check=True, capture_output=True)
            table.append((name, None, 0, {}))

    # A GIF whose image lies inside a larger screen, which shows the
    # background colour elsewhere, and whose indexes run past its table.
    gif = bytearray(open(os.path.join(d, "screen.gif"), "rb").read())
    end = 13 + 3 * 2 ** ((gif[10] & 7) + 1)  # past the colour table, of 4 from now on
    assert gif[end] == 0x2C
    gif[end + 1:end + 5] = struct.pack("<HH", 4, 3)
    gif[6:12] = struct.pack("<HHBB", 11, 7, gif[10] & 0xF8 | 1, 2)
    del gif[25:end]
    # ExtraSamples (338) from unassociated to associated alpha
    tif = bytearray(open(os.path.join(d, "assoc.tif"), "rb").read())
    ifd = struct.unpack_from("<I", tif, 4)[0]
    for e in range(ifd + 2, ifd + 2 + 12 * struct.unpack_from("<H", tif, ifd)[0], 12):
        if struct.unpack_from("<H", tif, e)[0] == 338:
            struct.pack_into("<H", tif, e + 8, 1)
    # Damaged: cut short, or sizes no one could hold.
    png = open(os.path.join(d, "rgb.png"), "rb").read()
    files = {"screen.gif": gif, "assoc.tif": tif,
             "bad-huge.png": png[:16] + struct.pack(">II", 2**31 - 1, 2**31 - 1) + png[24:],
             "bad-huge.gif": b"GIF89a" + struct.pack("<HHBBB", 65535, 65535, 0x80, 0, 0) + bytes(6) + b","
             + struct.pack("<HHHHB", 0, 0, 65535, 65535, 0) + b"\x02\x02\x44\x01\x00;"}
    for name in ("plain.gif", "full.jpg", "lzw.tiff", "rgb.png", "lossless.webp", "lossless.heic", "lossless.avif",
                 "lossless.jxl"):
        data = open(os.path.join(d, name), "rb").read()
        files["bad-cut-" + name], files["bad-head-" + name] = data[:len(data) // 3], data[:40]
    # The MAG, Pi and PIC samples of the tests, and each cut short.
    samples = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
    mine = {}
    for fmt in ("mag", "pi", "pic"):
        for name in sorted(n for n in os.listdir(os.path.join(samples, fmt)) if n.endswith("." + fmt)):
            with open(os.path.join(samples, fmt, name), "rb") as f:
                files[name] = f.read()
            files["bad-cut-" + name], mine[name] = files[name][:len(files[name]) // 3], 0
    for name, data in files.items():
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)
    return dict({name: tol for name, _, tol, _ in table}, **mine)


# Header fields (but the image size), colour table and pixel rows of a BMP.
def fields(path):
    data = open(path, "rb").read()
    off = struct.unpack_from("<I", data, 10)[0]
    return struct.unpack_from("<iiHHI4xiiI", data, 18), data[54:off], data[off:]


# What differs between spicheck's BMP file and the POSIX build's: header
# fields and colour tables must be the same, pixels within tol.
def compare(got, ref, tol):
    if not (os.path.exists(got) and os.path.exists(ref)):
        return "a decode missing"
    got, ref = fields(got), fields(ref)
    if got[:2] != ref[:2]:
        return "header %s and table of %d, the POSIX build's %s and %d" % (got[0], len(got[1]), ref[0], len(ref[1]))
    worst = max(abs(a - b) for a, b in zip(got[2], ref[2])) if len(got[2]) == len(ref[2]) else 256
    return "pixels differ by up to %d (allowed %d)" % (worst, tol) if worst > tol else None


def main(wine, spicheck, plugins, *posix):
    with tempfile.TemporaryDirectory(prefix="vexel-spi-") as tmp:
        want, out, failed = pictures(tmp), os.path.join(tmp, "decoded"), 0
        os.mkdir(out)
        p = subprocess.run([wine, spicheck, plugins, tmp, out], capture_output=True, timeout=600)
        sys.stdout.write(p.stdout.decode(errors="replace").replace("\r\n", "\n"))
        if not posix:
            print("spi pixels: not compared, no POSIX build")
            return p.returncode
        nocodec = {line.split(" on ")[-1] for line in p.stdout.decode(errors="replace").splitlines()
                   if line.startswith("no codec: ")}
        for name, tol in sorted(want.items()):
            if name in nocodec:
                continue
            ref = os.path.join(out, name + ".posix.bmp")
            subprocess.run([posix[0], "-a", "-d", posix[1], os.path.join(tmp, name), ref], capture_output=True)
            problem = compare(os.path.join(out, name + ".bmp"), ref, tol)
            if problem:
                print("FAIL %s: %s" % (name, problem))
                failed += 1
        print("spi pixels: %d passed, %d failed, %d not decoded for want of a codec: %s"
              % (len(want) - len(nocodec) - failed, failed, len(nocodec), " ".join(sorted(nocodec)) or "none"))
        return 1 if p.returncode or failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
