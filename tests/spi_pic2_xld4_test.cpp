// The PIC2 and XLD4 plug-ins through the program with -a: sample files
// from an independent encoder convert to what an independent decoder reads
// from them, the format descriptions' worked examples and small files built
// from the descriptions give their pictures or their refusals, and damaged
// copies give a failure or a sound picture, never a crash.
#include <sys/wait.h>

#include <cstring>
#include <functional>
#include <sstream>

#include "plugins/spi.h"
#include "support/bmp_util.h"

namespace {

Bytes load(const std::string &name) { return readBytes(VEXEL_SOURCE_DIR "/tests/data/" + name); }

// A picture as RGB rows, top row first; or the program's complaint.
struct Picture {
    int w = 0, h = 0;
    Bytes rgb;
    std::string err;
    bool operator==(const Picture &o) const { return w == o.w && h == o.h && rgb == o.rgb && err == o.err; }
};

std::ostream &operator<<(std::ostream &os, const Picture &p) { return os << p.w << "x" << p.h << " " << p.err; }

// `vexel -a` on the bytes as in.<ext>: the BMP it wrote, or the reason it
// gives without one. A crash is a failed expectation.
Picture convert(const Bytes &file, const std::string &ext)
{
    BmpTempDir dir;
    writeBytes(dir.file("in." + ext), file);
    std::string cmd = "'" VEXEL_BIN "' -d '" VEXEL_SPI_DIR "' -a " + dir.file("in." + ext) + " " + dir.file("out.bmp") +
                      " 2>" + dir.file("err");
    int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << "status " << status;
    Picture p;
    Bytes bmp = readBytes(dir.file("out.bmp"));
    std::getline(std::ifstream(dir.file("err")), p.err);
    if (size_t at = p.err.rfind(": "); at != std::string::npos)
        p.err.erase(0, at + 2); // the reason without the path
    if (bmp.size() >= 54) {
        p.w = getLE32s(&bmp[18]), p.h = getLE32s(&bmp[22]);
        int bits = getLE16(&bmp[28]);
        size_t stride = (size_t(p.w) * size_t(bits) + 31) / 32 * 4, off = getLE32(&bmp[10]);
        for (int y = p.h - 1; y >= 0; y--)
            for (int x = 0; x < p.w; x++) {
                size_t at = off + size_t(y) * stride + size_t(x) * size_t(bits / 8);
                if (bits == 8)
                    at = 54 + 4 * size_t(bmp.at(at)); // through the colour table
                p.rgb.insert(p.rgb.end(), {bmp.at(at + 2), bmp.at(at + 1), bmp.at(at)});
            }
    }
    return p;
}

Picture failure(const char *why) { Picture p; p.err = why; return p; }

// A picture from rows of letters, the colours of the PIC2 examples.
Picture letters(const std::string &rows)
{
    const std::string names = "KABCDW";
    const uint32_t rgb[] = {0x000000, 0xFF8400, 0x0000FF, 0x29FF52, 0x424242, 0xFFFFFF};
    Picture p;
    std::istringstream in(rows);
    for (std::string row; in >> row; p.h++) {
        p.w = int(row.size());
        for (char c : row)
            for (int s : {16, 8, 0})
                p.rgb.push_back(uint8_t(rgb[names.find(c)] >> s));
    }
    return p;
}

Picture ppm(const std::string &name)
{
    Bytes f = load(name);
    std::istringstream in(std::string(f.begin(), f.end()));
    std::string magic;
    int max = 0;
    Picture p;
    in >> magic >> p.w >> p.h >> max;
    p.rgb.assign(f.end() - 3 * p.w * p.h, f.end());
    return p;
}

// A copy of the file with bytes set from `at`.
Bytes patch(Bytes f, size_t at, Bytes b)
{
    std::copy(b.begin(), b.end(), f.begin() + long(at));
    return f;
}

// Cut short anywhere, or a byte changed: refused, or a picture of the
// right size (raw pixels can change unseen); cuts that only lose the end
// marker keep the picture whole.
void damage(const Bytes &file, const std::string &ext, const Picture &whole)
{
    size_t n = file.size();
    for (size_t len : {size_t(5), size_t(30), n / 4, n / 2, n - 9, n - 7, n - 1}) {
        Picture p = convert(Bytes(file.begin(), file.begin() + long(len)), ext);
        EXPECT_TRUE(p.rgb.empty() || p == whole) << len;
    }
    uint32_t s = uint32_t(n);
    for (int round = 0; round < 20; round++) {
        s = s * 1103515245 + 12345;
        Bytes bad(file);
        bad[(s >> 8) % n] ^= uint8_t(1 + (s >> 20) % 255);
        Picture p = convert(bad, ext);
        EXPECT_TRUE(p.rgb.empty() ? !p.err.empty() : p.w == whole.w && p.h == whole.h) << round << " " << p;
    }
}

// Every sample gives its decoder's picture (one also through ifp2.spi as
// .p2) and survives damage.
TEST(Pic2, SamplesAsTheirDecoderReadsThem)
{
    for (const char *name : {"p2_multiblock_48x36", "p2bi15_37x23_noise", "p2bm15_13x7_plasma", "p2sf24_99x61_plasma",
                             "p2ss18_23x1_plasma", "p2ss24_37x23_noise", "p2ss6_41x29_plasma"}) {
        SCOPED_TRACE(name);
        std::string base = std::string("pic2/") + name;
        Bytes file = load(base + ".pic2");
        Picture want = ppm(base + ".ppm");
        ASSERT_FALSE(file.empty() || want.rgb.empty());
        EXPECT_EQ(convert(file, "pic2"), want);
        damage(file, "pic2", want);
    }
    EXPECT_EQ(convert(load("pic2/p2ss6_41x29_plasma.pic2"), "p2"), ppm("pic2/p2ss6_41x29_plasma.ppm"));
}

struct Row {
    const char *name;
    std::function<Bytes()> file;
    std::function<Picture()> want;
};

const Bytes kEx1 = load("pic2/example1.pic2"), kEx2 = load("pic2/example2.pic2");
const size_t kSs = 124, kBm = 419; // the blocks of example 2

const Row kPic2[] = {
    {"Example1Sf", [] { return kEx1; }, [] { return letters("KAAB BABC KAAA"); }},
    {"Example2SsAndBm", [] { return kEx2; }, [] { return letters("AAAB CDCB CDBB KKWB"); }},
    // no canvas size: the blocks' extent
    {"CanvasFromBlocks", [] { return patch(kEx2, 116, {0, 0, 0, 0}); }, [] { return letters("AAAB CDCB CDBB KKWB"); }},
    // rows below the canvas are not decoded, whatever they would hold
    {"BlockTallerThanCanvas", [] { return patch(kEx1, 142, {0xFF, 0xFF}); }, [] { return letters("KAAB BABC KAAA"); }},
    // the raw block half off the canvas, one dot of it on the right edge
    {"BlockPastEdge", [] { return patch(kEx2, kBm + 14, {0, 3, 0, 3}); }, [] { return letters("AAAB CDCB CDBB KKKW"); }},
    {"BlockPastLeft", [] { return patch(kEx2, kBm + 14, {0xFF, 0xFF, 0, 0}); }, [] { return letters("BAAB CDCB CDBB KKKK"); }},
    // colour W is not painted
    {"Transparent", [] { return patch(patch(kEx2, kBm + 8, {0, 1}), kBm + 18, {0, 0, 0x7F, 0xFF}); }, [] { return letters("AAAB CDCB CDBB KKKB"); }},
    {"Depth8Palette", [] { return patch(kEx1, 110, {0, 8}); }, [] { return failure("unknown format"); }},
    {"OnlyUnknownBlocks", [] { return patch(kEx1, 130, {'P', '2', 'X', 'X'}); }, [] { return failure("unknown format"); }},
    {"FirstBlockPastEnd", [] { return patch(kEx1, 106, {0, 0, 0, 177}); }, [] { return failure("broken data file"); }},
    {"PaletteOverComment", [] { return patch(kEx1, 98, {0, 1}); }, [] { return failure("broken data file"); }},
    {"BlockHeaderShort", [] { return patch(kEx1, 134, {0, 0, 0, 25}); }, [] { return failure("broken data file"); }},
    {"RawDataShort", [] { return patch(kEx2, kBm + 10, {0, 3}); }, [] { return failure("broken data file"); }},
    {"SfLengthOf32Ones", [] { return patch(kEx1, 156, {0xFF, 0xFF, 0xFF, 0xFF, 0}); }, [] { return failure("broken data file"); }},
    {"SsCodeValueOutOfRange", [] { return patch(kEx2, kSs + 282, {0xFF, 0xFF}); }, [] { return failure("broken data file"); }},
    {"CanvasTooLarge", [] { return patch(kEx1, 116, {0x20, 0, 0x20, 1}); }, [] { return failure("cannot convert"); }},
};

// XLD4 files built from their description: LZW codes, each at the width it
// needs after escapes, and a 0 at the end.
Bytes lzw(const std::vector<uint32_t> &codes)
{
    Bytes out;
    int width = 3, n = 0;
    auto put = [&](uint32_t v, int w) {
        for (int i = w - 1; i >= 0; i--, n++) {
            if (n % 8 == 0)
                out.push_back(0);
            out.back() |= uint8_t((v >> i & 1) << (7 - n % 8));
        }
    };
    for (uint32_t c : codes) {
        while (c + 2 >= 1u << width)
            put(1, width++);
        put(c + 2, width);
    }
    put(0, width);
    return out;
}

// A file of chunks (codes, n), chunk 0 first; its length field is set.
Bytes xld4(const std::vector<std::pair<std::vector<uint32_t>, uint16_t>> &chunks)
{
    Bytes f = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'M', 'A', 'J', 'Y', 'O'};
    for (auto &[codes, n] : chunks) {
        Bytes data = lzw(codes);
        f.insert(f.end(), {uint8_t(data.size()), uint8_t(data.size() >> 8), 0, 0, uint8_t(n), uint8_t(n >> 8)});
        f.insert(f.end(), data.begin(), data.end());
    }
    f[8] = uint8_t(f.size()), f[9] = uint8_t(f.size() >> 8);
    return f;
}

// Stored palette entry i is (i, 15 - i, i / 2): two values a component.
std::vector<uint32_t> palette()
{
    std::vector<uint32_t> p;
    for (uint32_t i = 0; i < 16; i++)
        for (uint32_t c : {i, 15 - i, i / 2})
            p.insert(p.end(), {9, c});
    return p;
}

// Values: a run of `count` copies of v, 288 at most a run.
std::vector<uint32_t> run(uint32_t v, uint32_t count, std::vector<uint32_t> before = {})
{
    before.insert(before.end(), {16, 0, v, count % 288 / 17, count % 288 % 17});
    for (count -= count % 288; count > 0; count -= 288)
        before.insert(before.end(), {16, 16, 16});
    return before;
}

// Codes of `count` values: 0 to 15 in turn, or zeros made mostly by codes
// that each repeat the phrase before with one byte more.
std::vector<uint32_t> literals(uint32_t count, std::vector<uint32_t> codes = {})
{
    for (uint32_t i = 0; i < count; i++)
        codes.push_back(i % 16);
    return codes;
}

std::vector<uint32_t> zeros(uint32_t count)
{
    std::vector<uint32_t> codes = {0};
    uint32_t i = 1, len = 2;
    for (; i + len <= count; i += len++)
        codes.push_back(16 + len - 1);
    codes.resize(codes.size() + count - i, 0);
    return codes;
}

// A picture of `count` values from the codes `lead`, then index 7 to the
// end in chunks of 128,000; the first chunk can owe `extra` more pixels
// than it has.
Bytes pixels(const std::vector<uint32_t> &lead, uint32_t count, int extra = 0)
{
    std::vector<std::pair<std::vector<uint32_t>, uint16_t>> chunks = {{palette(), 0},
                                                                      {lead, uint16_t((count + uint32_t(extra)) / 2)}};
    for (uint32_t rest = 256000 - count - uint32_t(extra), n; rest > 0; rest -= n)
        n = std::min(rest, 128000u), chunks.push_back({run(7, n), uint16_t(n / 2)});
    return xld4(chunks);
}

// A 640 x 400 picture, the colour of pixel k (in raster order) as 0xRRGGBB.
Picture q4Picture(const std::function<uint32_t(uint32_t)> &colour)
{
    Picture p;
    p.w = 640, p.h = 400;
    for (uint32_t k = 0; k < 256000; k++)
        for (int s : {16, 8, 0})
            p.rgb.push_back(uint8_t(colour(k) >> s));
    return p;
}

// The picture of pixels(): palette index j is stored entry
// (j & 8) | (j & 3) << 1 | (j >> 2 & 1).
Picture pixelsPicture(uint32_t count, bool zero = false)
{
    return q4Picture([=](uint32_t k) {
        uint32_t j = k >= count ? 7 : zero ? 0 : k % 16, i = (j & 8) | (j & 3) << 1 | (j >> 2 & 1);
        return (i << 16 | (15 - i) << 8 | i / 2) * 17;
    });
}

Picture xld4Example()
{
    return q4Picture([](uint32_t k) {
        return k == 0 ? 0x0000FF : k == 1 ? 0xFFFFFF : k == 2 ? 0x888888 : k < 128000 ? 0xFF0000 : 0x00FF00;
    });
}

const Bytes kQ4 = pixels(literals(1000), 1000);

const Row kXld4[] = {
    {"Example", [] { return load("xld4/example.xld4"); }, xld4Example},
    {"LiteralsAndRuns", [] { return kQ4; }, [] { return pixelsPicture(1000); }},
    // a chunk of 16,366 steps is the most, 65,536 bytes the largest
    {"StepsAtLimit", [] { return pixels(literals(16366), 16366); }, [] { return pixelsPicture(16366); }},
    {"StepsPastLimit", [] { return pixels(literals(16364, {0, 0, 17}), 16368); }, [] { return failure("broken data file"); }},
    {"UnpackedAtLimit", [] { return pixels(zeros(65536), 65536); }, [] { return pixelsPicture(65536, true); }},
    {"UnpackedPastLimit", [] { return pixels(zeros(65538), 65538); }, [] { return failure("broken data file"); }},
    {"HeaderBytesUnknown", [] { return patch(kQ4, 1, {2, 5, 0}); }, [] { return failure("unknown format"); }},
    // a chunk with values past its pixels, or short of them
    {"ValuesPastChunk", [] { return pixels(literals(1000), 1000, -2); }, [] { return failure("broken data file"); }},
    {"ValuesShortOfChunk", [] { return pixels(literals(1000), 1000, 2); }, [] { return failure("broken data file"); }},
    {"DataAfterLastChunk", [] { Bytes f = kQ4; f.push_back(0), f[8]++; return f; }, [] { return failure("broken data file"); }},
};

void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

class Pic2Rows : public testing::TestWithParam<Row> {};
class Xld4Rows : public testing::TestWithParam<Row> {};

TEST_P(Pic2Rows, Converts) { EXPECT_EQ(convert(GetParam().file(), "pic2"), GetParam().want()); }
TEST_P(Xld4Rows, Converts) { EXPECT_EQ(convert(GetParam().file(), "xld4"), GetParam().want()); }

auto rowName = [](const testing::TestParamInfo<Row> &i) { return std::string(i.param.name); };
INSTANTIATE_TEST_SUITE_P(Files, Pic2Rows, testing::ValuesIn(kPic2), rowName);
INSTANTIATE_TEST_SUITE_P(Files, Xld4Rows, testing::ValuesIn(kXld4), rowName);

// The worked examples and a built file survive damage too.
TEST(Pic2Xld4, ExamplesSurviveDamage)
{
    damage(kEx1, "pic2", letters("KAAB BABC KAAA"));
    damage(kEx2, "pic2", letters("AAAB CDCB CDBB KKWB"));
    damage(load("xld4/example.xld4"), "xld4", xld4Example());
    damage(kQ4, "xld4", pixelsPicture(1000));
}

using Calls = std::vector<std::pair<int, int>>;

// Logs each call; asks to stop at the call numbered by the log's first entry.
int SPI_API progress(int num, int denom, long lData)
{
    auto *log = reinterpret_cast<Calls *>(lData);
    log->emplace_back(num, denom);
    return int(log->size()) - 2 == log->front().first;
}

// Each plug-in through its exports: its file pattern, the size and depth
// GetPictureInfo tells, progress from 0 to the end over one denominator,
// never back, and a stop at the first, a middle or the last call that ends
// the decode at once with no picture.
TEST(Pic2Xld4, Exports)
{
    const struct {
        const char *spi, *pattern;
        Bytes file;
        PictureInfo info;
    } kSpis[] = {{"ifpic2.spi", "*.pic2", kEx2, {0, 0, 4, 4, 0, 0, 24, nullptr}},
                 {"ifp2.spi", "*.p2", load("pic2/p2_multiblock_48x36.pic2"), {0, 0, 48, 36, 0, 0, 24, nullptr}},
                 {"ifxld4.spi", "*.xld4;*.q4", kQ4, {0, 0, 640, 400, 0, 0, 8, nullptr}}};
    for (auto k : kSpis) {
        SCOPED_TRACE(k.spi);
        HMODULE h = LoadLibraryA((VEXEL_SPI_DIR "/" + std::string(k.spi)).c_str());
        auto pluginInfo = reinterpret_cast<GetPluginInfoFn>(GetProcAddress(h, "GetPluginInfo"));
        auto pictureInfo = reinterpret_cast<GetPictureInfoFn>(GetProcAddress(h, "GetPictureInfo"));
        auto picture = reinterpret_cast<GetPictureFn>(GetProcAddress(h, "GetPicture"));
        ASSERT_TRUE(pluginInfo && pictureInfo && picture);
        char text[32] = {}, *buf = reinterpret_cast<char *>(k.file.data());
        pluginInfo(2, text, sizeof text);
        EXPECT_STREQ(text, k.pattern);
        PictureInfo pi = {};
        EXPECT_EQ(pictureInfo(buf, long(k.file.size()), SPI_INPUT_MEMORY, &pi), 0);
        EXPECT_EQ(std::memcmp(&pi, &k.info, sizeof pi), 0);
        auto decode = [&](Calls *log) {
            HLOCAL info = nullptr, bits = nullptr;
            int rc = picture(buf, long(k.file.size()), SPI_INPUT_MEMORY, &info, &bits, progress, long(log));
            EXPECT_EQ(rc == 0, info != nullptr && bits != nullptr);
            LocalFree(info), LocalFree(bits);
            log->erase(log->begin());
            return rc;
        };
        Calls log{{-9, 0}};
        ASSERT_EQ(decode(&log), 0);
        for (size_t i = 0; i < log.size(); i++)
            EXPECT_TRUE(log[i].second == log[0].second && log[i].first >= (i ? log[i - 1].first : 0)) << i;
        EXPECT_TRUE(log.size() >= 3 && log.front().first == 0 && log.back().first == log.back().second);
        for (int stop : {0, int(log.size()) / 2, int(log.size()) - 1}) {
            Calls stopped{{stop, 0}};
            EXPECT_EQ(decode(&stopped), SPI_ABORT);
            EXPECT_EQ(stopped.size(), size_t(stop) + 1);
        }
        FreeLibrary(h);
    }
}

} // namespace
