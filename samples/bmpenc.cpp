// BMP writer for the samples and the tests: 24-bit, 8/4/1-bit palette,
// and the run-length codings RLE8 and RLE4, all coded here.
#include "encoders.h"

namespace {

void put16(std::vector<uint8_t> &o, uint32_t v)
{
    o.push_back(uint8_t(v));
    o.push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t> &o, uint32_t v)
{
    put16(o, v & 0xFFFF);
    put16(o, v >> 16);
}

void set32(std::vector<uint8_t> &o, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        o[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// One row of indexes in RLE8 (bits 8) or RLE4 (bits 4): runs of equal
// values as (count, value); stretches without runs in absolute mode (0,
// count, values, padded to a word), which needs at least three values.
// RLE4 packs two pixels to a byte, high nibble first; a run repeats its
// byte's two nibbles alternately, so a run of one colour has it in both.
void rleRow(const std::vector<uint8_t> &row, int bits, std::vector<uint8_t> &o)
{
    auto single = [bits](uint8_t v) { return uint8_t(bits == 8 ? v : v << 4); };
    size_t w = row.size(), i = 0;
    while (i < w) {
        size_t run = 1;
        while (i + run < w && run < 255 && row[i + run] == row[i])
            run++;
        if (run >= 2) {
            o.push_back(uint8_t(run));
            o.push_back(uint8_t(bits == 8 ? row[i] : (row[i] << 4) | row[i]));
            i += run;
            continue;
        }
        // literals up to where a run of two begins
        size_t j = i;
        while (j < w && j - i < 255 && !(j + 1 < w && row[j] == row[j + 1]))
            j++;
        size_t n = j - i;
        if (n < 3) {
            for (size_t k = 0; k < n; k++) {
                o.push_back(1);
                o.push_back(single(row[i + k]));
            }
        } else {
            o.push_back(0);
            o.push_back(uint8_t(n));
            size_t bytes = bits == 8 ? n : (n + 1) / 2;
            for (size_t b = 0; b < bytes; b++) {
                if (bits == 8) {
                    o.push_back(row[i + b]);
                    continue;
                }
                uint8_t lo = 2 * b + 1 < n ? row[i + 2 * b + 1] : 0;
                o.push_back(uint8_t(single(row[i + 2 * b]) | lo));
            }
            if (bytes & 1)
                o.push_back(0);
        }
        i = j;
    }
}

} // namespace

std::vector<uint8_t> encodeBmp(const RawPicture &p, int compression)
{
    int bitCount;
    if (p.channels == 3 && p.palette.empty())
        bitCount = 24;
    else if (p.channels == 1 && !p.palette.empty() && (p.bits == 1 || p.bits == 4 || p.bits == 8))
        bitCount = p.bits;
    else
        return {};
    if ((compression == 1 && bitCount != 8) || (compression == 2 && bitCount != 4) || compression > 2 ||
        compression < 0)
        return {};
    uint32_t colors = bitCount == 24 ? 0 : uint32_t(p.palette.size() / 3);
    uint32_t offBits = 14 + 40 + colors * 4;

    std::vector<uint8_t> o;
    o.push_back('B');
    o.push_back('M');
    put32(o, 0); // file size, set below
    put32(o, 0);
    put32(o, offBits);
    put32(o, 40);
    put32(o, uint32_t(p.width));
    put32(o, uint32_t(p.height));
    put16(o, 1);
    put16(o, uint32_t(bitCount));
    put32(o, uint32_t(compression));
    put32(o, 0); // image size, set below
    put32(o, 2835); // 72 dpi
    put32(o, 2835);
    put32(o, colors);
    put32(o, 0);
    for (uint32_t i = 0; i < colors; i++) {
        o.push_back(p.palette[3 * i + 2]);
        o.push_back(p.palette[3 * i + 1]);
        o.push_back(p.palette[3 * i]);
        o.push_back(0);
    }

    // rows bottom-up
    std::vector<uint8_t> row;
    for (int y = p.height - 1; y >= 0; y--) {
        if (compression != 0) {
            row.assign(size_t(p.width), 0);
            for (int x = 0; x < p.width; x++)
                row[size_t(x)] = uint8_t(p.at(x, y));
            rleRow(row, compression == 1 ? 8 : 4, o);
            if (y > 0) {
                o.push_back(0); // end of line
                o.push_back(0);
            }
            continue;
        }
        size_t stride = (size_t(p.width) * size_t(bitCount) + 31) / 32 * 4;
        row.assign(stride, 0);
        for (int x = 0; x < p.width; x++) {
            if (bitCount == 24) {
                row[3 * size_t(x)] = uint8_t(p.at(x, y, 2));
                row[3 * size_t(x) + 1] = uint8_t(p.at(x, y, 1));
                row[3 * size_t(x) + 2] = uint8_t(p.at(x, y, 0));
            } else {
                size_t bit = size_t(x) * size_t(bitCount);
                row[bit / 8] |= uint8_t((p.at(x, y) & ((1u << bitCount) - 1)) << (8 - bitCount - int(bit % 8)));
            }
        }
        o.insert(o.end(), row.begin(), row.end());
    }
    if (compression != 0) {
        o.push_back(0); // end of bitmap
        o.push_back(1);
    }
    set32(o, 2, uint32_t(o.size()));
    set32(o, 34, uint32_t(o.size() - offBits));
    return o;
}
