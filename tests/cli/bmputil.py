"""Small BMP and IMP helpers for the command-line tests: write pictures of
every bit count and read back header fields and pixels."""
import struct


def row_size(width, bpp):
    return (width * bpp + 31) // 32 * 4


def make_bmp(width, height, bpp, pixel, palette=None, clr_used=0, magic=b"BM"):
    """A bottom-up BMP; pixel(x, y) gives an index (bpp <= 8) or (b, g, r),
    with y counted from the bottom row."""
    if bpp <= 8 and palette is None:
        palette = [(i * 7 % 256, i * 13 % 256, i * 29 % 256) for i in range(1 << bpp)]
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for (b, g, r) in (palette or []))
    rs = row_size(width, bpp)
    rows = bytearray()
    for y in range(height):
        row = bytearray(rs)
        for x in range(width):
            v = pixel(x, y)
            if bpp == 24:
                row[x * 3:x * 3 + 3] = bytes(v)
            elif bpp == 8:
                row[x] = v
            elif bpp == 4:
                row[x // 2] |= (v & 15) << (4 if x % 2 == 0 else 0)
            elif bpp == 1:
                row[x // 8] |= (v & 1) << (7 - x % 8)
        rows += row
    off = 54 + len(table)
    header = struct.pack("<2sIHHI", magic, off + len(rows), 0, 0, off)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bpp, 0, len(rows), 2835, 2835,
                       clr_used, 0)
    return header + info + table + bytes(rows)


def parse_bmp(data):
    """Header fields, colour table bytes and pixel bytes (without row
    padding) of a BMP or BM2 file."""
    magic, bf_size, _, _, off = struct.unpack_from("<2sIHHI", data, 0)
    (bi_size, width, height, planes, bpp, comp, size_image, xppm, yppm, clr_used,
     clr_imp) = struct.unpack_from("<IiiHHIIiiII", data, 14)
    fields = dict(magic=magic, bfSize=bf_size, bfOffBits=off, biSize=bi_size, width=width,
                  height=height, planes=planes, bpp=bpp, compression=comp,
                  biSizeImage=size_image, xppm=xppm, yppm=yppm, clrUsed=clr_used)
    table = data[54:off]
    rs = row_size(width, bpp)
    used = (width * bpp + 7) // 8
    pixels = b"".join(data[off + y * rs:off + y * rs + used] for y in range(abs(height)))
    return fields, table, pixels


def pixels_bgr(data):
    """The picture as a list of rows (bottom first) of (b, g, r), whatever
    its bit count."""
    f, table, _ = parse_bmp(data)
    w, h, bpp = f["width"], f["height"], f["bpp"]
    rs = row_size(w, bpp)
    off = f["bfOffBits"]
    rows = []
    for y in range(h):
        base = off + y * rs
        row = []
        for x in range(w):
            if bpp == 24:
                row.append(tuple(data[base + 3 * x:base + 3 * x + 3]))
                continue
            if bpp == 8:
                i = data[base + x]
            elif bpp == 4:
                i = (data[base + x // 2] >> (4 if x % 2 == 0 else 0)) & 15
            else:
                i = (data[base + x // 8] >> (7 - x % 8)) & 1
            row.append(tuple(table[4 * i:4 * i + 3]))
        rows.append(row)
    return rows
