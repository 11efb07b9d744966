"""Small BMP helpers for the command-line tests: write 24-bit pictures and
read back header fields and pixels."""
import struct


def row_size(width, bpp):
    return (width * bpp + 31) // 32 * 4


def make_bmp(width, height, pixel):
    """A bottom-up 24-bit BMP; pixel(x, y) gives (b, g, r), with y counted
    from the bottom row."""
    pad = bytes(row_size(width, 24) - 3 * width)
    rows = b"".join(b"".join(bytes(pixel(x, y)) for x in range(width)) + pad for y in range(height))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(rows), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    return header + info + rows


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
    """The picture of an 8- or 24-bit BMP as a list of rows (bottom first)
    of (b, g, r)."""
    f, table, _ = parse_bmp(data)
    w, h, bpp, off = f["width"], f["height"], f["bpp"], f["bfOffBits"]
    rs = row_size(w, bpp)
    rows = []
    for y in range(h):
        row = data[off + y * rs:off + y * rs + w * bpp // 8]
        if bpp == 8:
            rows.append([tuple(table[4 * i:4 * i + 3]) for i in row])
        else:
            rows.append([tuple(row[3 * x:3 * x + 3]) for x in range(w)])
    return rows
