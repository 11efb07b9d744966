#include "support/imp_util.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "imp/imp.h"
#include "support/bytes.h"

long impStride(int width)
{
    return (3L * width + 3) / 4 * 4;
}

Bytes impBlock(int width, int height, const std::vector<Px> &pixels, unsigned char pad)
{
    long stride = impStride(width);
    Bytes block(size_t(stride * height), pad);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const Px &p = pixels[size_t(y) * width + x];
            unsigned char *o = &block[size_t(y * stride + 3 * x)];
            o[0] = uint8_t(p.b);
            o[1] = uint8_t(p.g);
            o[2] = uint8_t(p.r);
        }
    }
    return block;
}

Bytes impHeader(const char *magic, int width, int height, int32_t dataOffset)
{
    Bytes h(54, 0);
    h[0] = uint8_t(magic[0]);
    h[1] = uint8_t(magic[1]);
    if (magic[0] == 'I')
        putLE32(&h[14], uint32_t(dataOffset));
    putLE32(&h[18], uint32_t(width));
    putLE32(&h[22], uint32_t(height));
    return h;
}

Bytes fileBytes(FILE *fp)
{
    fflush(fp);
    fseek(fp, 0, SEEK_END);
    long n = ftell(fp);
    fseek(fp, 0, SEEK_SET);
    Bytes b(size_t(n > 0 ? n : 0));
    if (n > 0 && fread(b.data(), 1, b.size(), fp) != b.size())
        b.clear();
    return b;
}

Bytes impEncode(const Bytes &block, int width, int height, int *result)
{
    FILE *fp = tmpfile();
    EXPECT_NE(fp, nullptr);
    if (fp == nullptr)
        return {};
    Bytes header = impHeader("B2", width, height);
    fwrite(header.data(), 1, 54, fp);
    int rc = write_data(fp, "out.bm2", header.data(), block.data(), nullptr, 24);
    if (result != nullptr)
        *result = rc;
    Bytes file = fileBytes(fp);
    fclose(fp);
    if (rc != 0 || file.size() < 54)
        return {};
    EXPECT_EQ(getLE32(&file[2]), file.size());
    EXPECT_EQ(getLE32(&header[2]), file.size());
    return Bytes(file.begin() + 54, file.end());
}

int impDecode(const Bytes &stream, int width, int height, Bytes &block, long len, long bitsLen)
{
    if (len == kImpAuto)
        len = long(stream.size());
    if (bitsLen == kImpAuto)
        bitsLen = impStride(width) * height;
    block.assign(size_t(bitsLen > 0 ? bitsLen : 0), 0);
    FILE *fp = tmpfile();
    EXPECT_NE(fp, nullptr);
    if (fp == nullptr)
        return -2;
    if (!stream.empty())
        fwrite(stream.data(), 1, stream.size(), fp);
    fseek(fp, 0, SEEK_SET);
    Bytes header = impHeader("B2", width, height);
    int rc = read_data(fp, block.data(), header.data(), len, bitsLen);
    fclose(fp);
    return rc;
}

int impReferenceEncode(FILE *fp, const unsigned char *block, int width, int height)
{
    long stride = impStride(width);
    int prev[3] = {-100, -100, -100};
    unsigned char group[24];
    int sizes[8];
    int used = 0, count = 0;
    unsigned char flag = 0, bit = 0x80;
    long pixels = 0;
    auto flush = [&]() {
        if (write_bits(fp, &flag, 8) != 0)
            return false;
        for (int i = 0, at = 0; i < count; at += sizes[i] / 8 + (sizes[i] == 12), i++)
            if (write_bits(fp, group + at, sizes[i]) != 0)
                return false;
        flag = 0;
        bit = 0x80;
        used = count = 0;
        return true;
    };
    for (int y = 0; y < height && width > 0; y++) {
        for (int x = 0; x < width; x++) {
            const unsigned char *p = block + y * stride + 3 * x;
            int d[3];
            bool small = true;
            for (int c = 0; c < 3; c++) {
                d[c] = p[c] - prev[c];
                small = small && std::abs(d[c]) < 8;
                prev[c] = p[c];
            }
            if (small) {
                group[used++] = uint8_t((d[0] & 15) << 4 | (d[1] & 15));
                group[used++] = uint8_t((d[2] & 15) << 4);
                sizes[count++] = 12;
            } else {
                flag |= bit;
                for (int c = 0; c < 3; c++)
                    group[used++] = p[c];
                sizes[count++] = 24;
            }
            bit >>= 1;
            if (++pixels % 8 == 0 && !flush())
                return -1;
        }
    }
    if (count > 0 && !flush())
        return -1;
    return write_bits(fp, nullptr, 0);
}

std::string hexBytes(const Bytes &b)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < b.size(); i++) {
        if (i)
            s += ' ';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}
