// What every default plug-in shares: the texts of GetPluginInfo, signature
// recognition, file and memory input, GetPictureInfo, the progress
// callback and the exports.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "encoders.h"
#include "support/spi_plugin.h"

namespace {

struct Kind {
    const char *file;
    const char *pattern;
    std::vector<uint8_t> (*sample)();
};

RawPicture smallPicture(bool indexed)
{
    RawPicture p(37, 23, indexed ? 1 : 3);
    SpiRandom r(7);
    for (auto &v : p.samples)
        v = uint16_t(indexed ? r.below(16) : r.below(256));
    if (indexed) {
        for (int i = 0; i < 16 * 3; i++)
            p.palette.push_back(uint8_t(i * 5));
    }
    return p;
}

std::vector<uint8_t> gifSample() { return encodeGif(smallPicture(true)); }
std::vector<uint8_t> jpegSample() { return encodeJpeg(smallPicture(false)); }
std::vector<uint8_t> tiffSample() { return encodeTiff(smallPicture(false)); }
std::vector<uint8_t> pngSample() { return encodePng(smallPicture(false)); }

const Kind kKinds[] = {
    {"ifgif.spi", "*.gif", gifSample},
    {"ifjpeg.spi", "*.jpg;*.jpeg;*.jpe", jpegSample},
    {"iftiff.spi", "*.tif;*.tiff", tiffSample},
    {"ifpng.spi", "*.png", pngSample},
};

class SpiCommon : public testing::TestWithParam<Kind> {
protected:
    SpiPlugin plugin{GetParam().file};
    void SetUp() override { ASSERT_TRUE(plugin.loaded()) << GetParam().file; }
};

TEST_P(SpiCommon, PluginInfoTexts)
{
    char buf[256];
    EXPECT_EQ(plugin.info(0, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "00IN");
    EXPECT_GT(plugin.info(1, buf, sizeof buf), 0);
    EXPECT_EQ(plugin.info(2, buf, sizeof buf), int(std::strlen(GetParam().pattern)));
    EXPECT_STREQ(buf, GetParam().pattern);
    EXPECT_GT(plugin.info(3, buf, sizeof buf), 0);
    for (int n : {4, 5, -1, 1000}) {
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(plugin.info(n, buf, sizeof buf), 0) << n;
        EXPECT_EQ(buf[0], '#') << n;
    }
}

// At most buflen bytes are written; the terminator only when it fits.
TEST_P(SpiCommon, PluginInfoRespectsBufferLength)
{
    struct Row {
        int buflen;
        int result;
        const char *text; // the buffer afterwards, '#' untouched
    } rows[] = {
        {0, 0, "########"},
        {2, 2, "00######"},
        {4, 4, "00IN####"},
        {5, 4, "00IN"},
        {10, 4, "00IN"},
    };
    for (const Row &r : rows) {
        char buf[9];
        std::memset(buf, '#', 8);
        buf[8] = '\0';
        EXPECT_EQ(plugin.info(0, buf, r.buflen), r.result) << r.buflen;
        EXPECT_STREQ(buf, r.text) << r.buflen;
    }
    EXPECT_EQ(plugin.info(0, nullptr, 10), 0);
}

// Each plug-in knows its own signature and no other, from a memory head
// of 2 KB and from an open file.
TEST_P(SpiCommon, IsSupportedBySignature)
{
    for (const Kind &k : kKinds) {
        std::vector<uint8_t> file = k.sample();
        ASSERT_FALSE(file.empty());
        bool mine = std::strcmp(k.file, GetParam().file) == 0;
        std::vector<uint8_t> head(file);
        head.resize(2048, 0);
        EXPECT_EQ(plugin.supported(const_cast<char *>("x"), DWORD_PTR(head.data())), mine ? 1 : 0) << k.file;
        SpiTempFile tmp(file);
        int fd = open(tmp.path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        lseek(fd, 100, SEEK_SET); // the plug-in reads from the start anyway
        EXPECT_EQ(plugin.supported(&tmp.path[0], DWORD_PTR(fd)), mine ? 1 : 0) << k.file;
        close(fd);
    }
    std::vector<uint8_t> bmp = encodeBmp(smallPicture(false));
    bmp.resize(2048, 0);
    EXPECT_EQ(plugin.supported(const_cast<char *>("x.bmp"), DWORD_PTR(bmp.data())), 0);
    std::vector<uint8_t> empty(2048, 0);
    EXPECT_EQ(plugin.supported(const_cast<char *>("x"), DWORD_PTR(empty.data())), 0);
}

// The same picture from memory, from a file, and from a file at an offset.
TEST_P(SpiCommon, FileAndMemoryInputAgree)
{
    std::vector<uint8_t> file = GetParam().sample();
    SpiPicture mem = spiDecode(plugin, file, 1);
    ASSERT_EQ(mem.rc, 0);
    ASSERT_EQ(mem.fault, "");
    for (long offset : {0L, 129L}) {
        SpiPicture disk = spiDecode(plugin, file, 0, nullptr, 0, offset);
        ASSERT_EQ(disk.rc, 0) << offset;
        EXPECT_EQ(disk.fault, "");
        EXPECT_EQ(disk.width, mem.width);
        EXPECT_EQ(disk.height, mem.height);
        EXPECT_EQ(disk.bitCount, mem.bitCount);
        EXPECT_TRUE(disk.pixels == mem.pixels) << offset;
        EXPECT_EQ(disk.table.size(), mem.table.size());
    }
}

TEST_P(SpiCommon, PictureInfoMatchesPicture)
{
    std::vector<uint8_t> file = GetParam().sample();
    PictureInfo pi;
    std::memset(&pi, 0x55, sizeof pi);
    ASSERT_EQ(plugin.pictureInfo(reinterpret_cast<char *>(file.data()), long(file.size()), 1, &pi), 0);
    SpiPicture pic = spiDecode(plugin, file);
    ASSERT_EQ(pic.rc, 0);
    EXPECT_EQ(pi.left, 0);
    EXPECT_EQ(pi.top, 0);
    EXPECT_EQ(pi.width, pic.width);
    EXPECT_EQ(pi.height, pic.height);
    EXPECT_EQ(pi.colorDepth, pic.bitCount);
    HLOCAL text = pi.hInfo; // a copy: the record is packed
    EXPECT_EQ(text, nullptr);

    SpiTempFile tmp(file);
    PictureInfo fromFile;
    ASSERT_EQ(plugin.pictureInfo(&tmp.path[0], 0, 0, &fromFile), 0);
    EXPECT_EQ(std::memcmp(&fromFile, &pi, sizeof pi), 0);
}

TEST_P(SpiCommon, MissingFileAndForeignData)
{
    HLOCAL hInfo = nullptr, hBm = nullptr;
    char missing[] = "/nonexistent/dir/picture";
    EXPECT_EQ(plugin.picture(missing, 0, 0, &hInfo, &hBm, nullptr, 0), SPI_FILE_READ_ERROR);
    PictureInfo pi;
    EXPECT_EQ(plugin.pictureInfo(missing, 0, 0, &pi), SPI_FILE_READ_ERROR);

    std::vector<uint8_t> file = GetParam().sample();
    SpiTempFile tmp(file);
    // an offset past the end of the file
    EXPECT_EQ(plugin.picture(&tmp.path[0], long(file.size()) + 1, 0, &hInfo, &hBm, nullptr, 0),
              SPI_FILE_READ_ERROR);

    std::vector<uint8_t> bmp = encodeBmp(smallPicture(false));
    EXPECT_EQ(spiDecode(plugin, bmp).rc, SPI_NOT_SUPPORT);
    EXPECT_EQ(spiDecode(plugin, std::vector<uint8_t>()).rc, SPI_NOT_SUPPORT);
    EXPECT_EQ(plugin.pictureInfo(reinterpret_cast<char *>(bmp.data()), long(bmp.size()), 1, &pi), SPI_NOT_SUPPORT);
}

struct ProgressLog {
    std::vector<std::pair<int, int>> calls;
    int stopAt = -1; // call number that asks to stop
};

int progress(int num, int denom, long lData)
{
    auto *log = reinterpret_cast<ProgressLog *>(lData);
    log->calls.emplace_back(num, denom);
    return int(log->calls.size()) - 1 == log->stopAt ? 1 : 0;
}

TEST_P(SpiCommon, ProgressRunsFromStartToEndAndCanStop)
{
    std::vector<uint8_t> file = GetParam().sample();
    ProgressLog log;
    SpiPicture pic = spiDecode(plugin, file, 1, progress, long(&log));
    ASSERT_EQ(pic.rc, 0);
    ASSERT_GE(log.calls.size(), 3u);
    EXPECT_EQ(log.calls.front().first, 0);
    EXPECT_EQ(log.calls.back().first, log.calls.back().second);
    for (size_t i = 1; i < log.calls.size(); i++)
        EXPECT_LE(log.calls[i - 1].first, log.calls[i].first);

    // Stopping at the first, a middle and the last call: result 1, no
    // pair handed out (the leak checker sees what a plug-in forgets).
    size_t n = log.calls.size();
    for (size_t stop : {size_t(0), n / 2, n - 1}) {
        ProgressLog abortLog;
        abortLog.stopAt = int(stop);
        SpiPicture aborted = spiDecode(plugin, file, 1, progress, long(&abortLog));
        EXPECT_EQ(aborted.rc, SPI_ABORT) << stop;
        EXPECT_EQ(abortLog.calls.size(), stop + 1);
    }
}

// The plug-ins keep their helpers to themselves.
TEST_P(SpiCommon, ExportsOnlyTheInterface)
{
    EXPECT_EQ(GetProcAddress(plugin.h, "_Z13spiPluginInfoRK8SpiTextsiPci"), nullptr);
    EXPECT_EQ(GetProcAddress(plugin.h, "_Z11spiHandOverP6SpiDibPPvS2_"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Plugins, SpiCommon, testing::ValuesIn(kKinds),
                         [](const testing::TestParamInfo<Kind> &i) {
                             std::string s = i.param.file;
                             return s.substr(2, s.find('.') - 2);
                         });

} // namespace
