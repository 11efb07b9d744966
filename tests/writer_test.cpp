// The bitmap writer and the output close: header fields, refusals, write
// failures that must leave no trace, and pictures that come back unchanged.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "imp/imp.h"
#include "input/input.h"
#include "output/output.h"
#include "support/bmp_util.h"
#include "support/mem.h"

namespace {

// A DIB pair as the driver holds it: info block and pixel block.
struct Picture {
    Bytes info;
    Bytes bits;
};

Picture picture(int32_t width, int32_t height, int bitCount, uint32_t clrUsed, uint32_t sizeImage,
                size_t tableBytes, size_t bitsBytes, uint32_t compression = 0)
{
    Picture p;
    p.info.assign(40, 0);
    setLE32(p.info, 0, 40);
    setLE32(p.info, 4, uint32_t(width));
    setLE32(p.info, 8, uint32_t(height));
    setLE16(p.info, 12, 1);
    setLE16(p.info, 14, uint32_t(bitCount));
    setLE32(p.info, 16, compression);
    setLE32(p.info, 20, sizeImage);
    setLE32(p.info, 24, 3780);
    setLE32(p.info, 28, 3781);
    setLE32(p.info, 32, clrUsed);
    setLE32(p.info, 36, 7);
    Bytes table = randomBytes(tableBytes, 77);
    p.info.insert(p.info.end(), table.begin(), table.end());
    p.bits = randomBytes(bitsBytes, 78);
    return p;
}

struct Written {
    int rc;
    std::string err;
};

Written write(Picture &p, const std::string &path)
{
    Written w;
    testing::internal::CaptureStderr();
    w.rc = writeBitmap(reinterpret_cast<BITMAPINFO *>(p.info.data()), p.bits.data(), path.c_str(),
                       long(p.info.size()), long(p.bits.size()));
    w.err = testing::internal::GetCapturedStderr();
    return w;
}

} // namespace

TEST(BitmapWriter, BuildsTheHeaderFields)
{
    struct Case {
        const char *name;
        Picture pic;
        uint32_t bfSize, offBits, sizeImage;
        size_t table, pixels; // bytes of each written
    } cases[] = {
        {"24-bit, no size", picture(5, 2, 24, 0, 0, 0, 32), 86, 54, 32, 0, 32},
        {"24-bit, own size kept", picture(5, 2, 24, 0, 40, 0, 40), 86, 54, 40, 0, 32},
        {"24-bit with a table", picture(5, 2, 24, 0, 0, 1024, 32), 86, 54, 32, 0, 32},
        {"8-bit, full table", picture(3, 2, 8, 0, 8, 1024, 8), 54 + 1024 + 8, 1078, 8, 1024, 8},
        {"8-bit, 16 colours", picture(3, 2, 8, 16, 8, 64, 8), 54 + 64 + 8, 118, 8, 64, 8},
        {"8-bit, no size", picture(5, 3, 8, 0, 0, 1024, 24), 54 + 1024 + 24, 1078, 24, 1024, 24},
        {"4-bit", picture(9, 2, 4, 0, 16, 64, 16), 54 + 64 + 16, 118, 16, 64, 16},
        {"1-bit", picture(33, 3, 1, 0, 24, 8, 24), 54 + 8 + 24, 62, 24, 8, 24},
        {"1-bit, no size", picture(33, 3, 1, 2, 0, 8, 24), 54 + 8 + 24, 62, 24, 8, 24},
        {"32-bit", picture(2, 2, 32, 0, 0, 0, 16), 54 + 16, 54, 16, 0, 16},
        {"16-bit masks", picture(2, 2, 16, 0, 0, 12, 8, BI_BITFIELDS), 54 + 12 + 8, 66, 8, 12, 8},
        {"16-bit, 2 colours", picture(2, 2, 16, 2, 0, 8, 8), 54 + 8 + 8, 62, 8, 8, 8},
    };
    BmpTempDir dir;
    std::string path = dir.file("out.bmp");
    for (auto &c : cases) {
        Written w = write(c.pic, path);
        ASSERT_EQ(w.rc, 0) << c.name << " " << w.err;
        Bytes f = readBytes(path);
        ASSERT_EQ(f.size(), 54 + c.table + c.pixels) << c.name;
        EXPECT_EQ(f[0], 'B');
        EXPECT_EQ(f[1], 'M');
        EXPECT_EQ(getLE32At(f, 2), c.bfSize) << c.name;
        EXPECT_EQ(getLE32At(f, 6), 0u);
        EXPECT_EQ(getLE32At(f, 10), c.offBits) << c.name;
        EXPECT_EQ(getLE32At(f, 34), c.sizeImage) << c.name;
        // Everything else of the info header is copied.
        Bytes want(c.pic.info.begin(), c.pic.info.begin() + 40);
        setLE32(want, 20, c.sizeImage);
        EXPECT_EQ(Bytes(f.begin() + 14, f.begin() + 54), want) << c.name;
        EXPECT_TRUE(std::equal(f.begin() + 54, f.begin() + 54 + long(c.table), c.pic.info.begin() + 40)) << c.name;
        EXPECT_TRUE(std::equal(f.begin() + 54 + long(c.table), f.end(), c.pic.bits.begin())) << c.name;
    }
    EXPECT_EQ(dir.list(), std::vector<std::string>{"out.bmp"});
}

TEST(BitmapWriter, RefusesPicturesItCannotWrite)
{
    BmpTempDir dir;
    mkdir(dir.file("d.bmp").c_str(), 0777);
    struct Case {
        const char *name;
        std::string path;
        Picture pic;
        const char *msg;
    } cases[] = {
        {"no extension", dir.file("out"), picture(2, 2, 24, 0, 0, 0, 16), "bad extension"},
        {"gif", dir.file("out.gif"), picture(2, 2, 24, 0, 0, 0, 16), "bad extension"},
        {"dot in the directory", dir.file("d.bmp/out"), picture(2, 2, 24, 0, 0, 0, 16), "bad extension"},
        {"bmp inside the name", dir.file("out.bmp.txt"), picture(2, 2, 24, 0, 0, 0, 16), "bad extension"},
        {"8-bit as bm2", dir.file("out.bm2"), picture(2, 2, 8, 0, 8, 1024, 8),
         "cannot convert because of no full color data"},
        {"8-bit as imp", dir.file("out.IMP"), picture(2, 2, 8, 0, 8, 1024, 8),
         "cannot convert because of no full color data"},
        {"table beyond the info block", dir.file("out.bmp"), picture(2, 2, 8, 0, 8, 1020, 8), "cannot convert"},
        {"masks beyond the info block", dir.file("out.bmp"), picture(2, 2, 16, 0, 8, 8, 8, BI_BITFIELDS),
         "cannot convert"},
        {"rows beyond the pixel block", dir.file("out.bmp"), picture(5, 2, 24, 0, 0, 0, 31), "cannot convert"},
        {"size beyond the pixel block", dir.file("out.bmp"), picture(3, 2, 8, 0, 4096, 1024, 8), "cannot convert"},
        {"imp rows beyond the pixel block", dir.file("out.imp"), picture(5, 2, 24, 0, 0, 0, 31),
         "cannot convert"},
        {"negative width", dir.file("out.bmp"), picture(-5, 2, 24, 0, 0, 0, 32), "cannot convert"},
        {"size beyond a file", dir.file("out.bmp"), picture(0x40000000, 2, 24, 0, 0, 0, 32), "cannot convert"},
    };
    for (auto &c : cases) {
        Written w = write(c.pic, c.path);
        EXPECT_EQ(w.rc, 1) << c.name;
        EXPECT_EQ(w.err, c.path + ": " + c.msg + "\n") << c.name;
    }
    EXPECT_EQ(dir.list(), std::vector<std::string>{"d.bmp"});
}

TEST(BitmapWriter, TakesExtensionsInAnyCase)
{
    BmpTempDir dir;
    for (const char *name : {"OUT.BMP", "out.Bmp", "x.bMp"}) {
        Picture p = picture(2, 2, 24, 0, 0, 0, 16);
        Written w = write(p, dir.file(name));
        EXPECT_EQ(w.rc, 0) << name << " " << w.err;
        Bytes f = readBytes(dir.file(name));
        ASSERT_EQ(f.size(), 70u) << name;
        EXPECT_EQ(f[1], 'M');
    }
}

TEST(BitmapWriter, ReportsAnOutputItCannotCreate)
{
    BmpTempDir dir;
    Picture p = picture(2, 2, 24, 0, 0, 0, 16);
    std::string path = dir.file("none/out.bmp");
    Written w = write(p, path);
    EXPECT_EQ(w.rc, -1);
    EXPECT_EQ(w.err, path + ": cannot write\n");
}

TEST(BitmapWriter, ReplacesAnExistingOutputWhole)
{
    BmpTempDir dir;
    std::string path = dir.file("out.bmp");
    writeBytes(path, Bytes(5000, 'x'));
    Picture p = picture(2, 2, 24, 0, 0, 0, 16);
    Written w = write(p, path);
    ASSERT_EQ(w.rc, 0) << w.err;
    EXPECT_EQ(readBytes(path).size(), 70u);
    EXPECT_EQ(dir.list(), std::vector<std::string>{"out.bmp"});
}

namespace {

// Writes the picture in a child process whose files may not grow past
// limit bytes; the child's result and what it printed (through a pipe,
// which the limit does not touch).
Written writeLimited(Picture &p, const std::string &path, rlim_t limit)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {99, "no pipe"};
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 2);
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        int rc = writeBitmap(reinterpret_cast<BITMAPINFO *>(p.info.data()), p.bits.data(), path.c_str(),
                             long(p.info.size()), long(p.bits.size()));
        std::fflush(stderr);
        _exit(rc + 10);
    }
    close(fds[1]);
    Written w;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        w.err.append(buf, size_t(n));
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    w.rc = WIFEXITED(st) ? WEXITSTATUS(st) - 10 : 99;
    return w;
}

} // namespace

TEST(BitmapWriter, LeavesNoTraceOfAFailedWrite)
{
    // Small pictures fail when the stream is flushed at the close, large
    // ones while the rows are written.
    struct Case {
        const char *name;
        int width, height;
        rlim_t limit;
        bool existing;
    } cases[] = {
        {"fails at the close", 100, 10, 1000, false},
        {"fails at the close, old file kept", 100, 10, 1000, true},
        {"fails in the rows", 1000, 1000, 65536, false},
        {"fails in the rows, old file kept", 1000, 1000, 65536, true},
        {"fails in the header", 10, 10, 20, true},
    };
    for (const auto &c : cases) {
        BmpTempDir dir;
        std::string path = dir.file("out.bmp");
        Bytes old = randomBytes(600, 3);
        if (c.existing)
            writeBytes(path, old);
        Picture p = picture(c.width, c.height, 24, 0, 0, 0, size_t(bmpRowSize(c.width, 24) * c.height));
        Written w = writeLimited(p, path, c.limit);
        EXPECT_EQ(w.rc, -1) << c.name;
        EXPECT_EQ(w.err, path + ": writing error\n") << c.name;
        if (c.existing) {
            EXPECT_EQ(dir.list(), std::vector<std::string>{"out.bmp"}) << c.name;
            EXPECT_EQ(readBytes(path), old) << c.name;
        } else {
            EXPECT_EQ(dir.list(), std::vector<std::string>{}) << c.name;
        }
    }
}

TEST(OutputClose, ReportsACloseThatFails)
{
    // /dev/full takes the bytes into the buffer, then refuses them.
    FILE *fp = std::fopen("/dev/full", "wb");
    if (fp == nullptr)
        GTEST_SKIP() << "no /dev/full";
    // Captured first: capturing flushes every stream.
    testing::internal::CaptureStderr();
    std::fputs("picture", fp);
    int r = Fclose(fp, "out.bmp");
    EXPECT_NE(r, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(OutputClose, MeasuresTheFreeSpaceOfTheOutput)
{
    BmpTempDir dir;
    std::string path = dir.file("out.bmp");
    int free = getFreeSpace(path.c_str());
    EXPECT_GT(free, 0);
    EXPECT_GE(FreeDiskSpace, double(free));
    if (FreeDiskSpace > 2147483647.0) {
        EXPECT_EQ(free, 2147483647);
    }

    EXPECT_EQ(getFreeSpace("/no/such/dir/out.bmp"), -1);
    EXPECT_EQ(FreeDiskSpace, -1.0);

    FILE *fp = std::fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Fclose(fp, path.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(OutputClose, CountsAnUnmeasurableDriveAsFull)
{
    BmpTempDir dir;
    FILE *fp = std::fopen(dir.file("out.bmp").c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Fclose(fp, "/no/such/dir/out.bmp"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "no free disk space\n");
    // Without drive letters here, a colon is just a character of the name.
    fp = std::fopen(dir.file("out.bmp").c_str(), "wb");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Fclose(fp, "d:/no/such/dir/out.bmp"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "no free disk space\n");
}

// ---------------------------------------------------------------- round trips

TEST(BitmapWriter, WritesBackWhatTheReaderRead)
{
    // A file of the usual form comes back byte for byte.
    BmpTempDir dir;
    std::mt19937 rng(11);
    for (int bitCount : {1, 4, 8, 24}) {
        for (int round = 0; round < 6; round++) {
            int width = 1 + int(rng() % 37), height = 1 + int(rng() % 7);
            Bytes table = bitCount == 24 ? Bytes() : randomBytes(size_t(4) << bitCount, rng());
            Bytes data = randomBytes(size_t(bmpRowSize(width, bitCount) * height), rng());
            Bytes in = bmpFile(width, height, bitCount, table, data);
            writeBytes(dir.file("in.bmp"), in);
            HLOCAL info = nullptr, bits = nullptr;
            ASSERT_EQ(readBitmap(0, dir.file("in.bmp").c_str(), &info, &bits), 0);
            int rc = writeBitmap(static_cast<BITMAPINFO *>(getmemAdr(info)),
                                 static_cast<unsigned char *>(getmemAdr(bits)), dir.file("out.bmp").c_str(),
                                 getmemSize(info), getmemSize(bits));
            LocalFree(info);
            LocalFree(bits);
            ASSERT_EQ(rc, 0);
            EXPECT_EQ(readBytes(dir.file("out.bmp")), in) << bitCount << "-bit " << width << "x" << height;
        }
    }
}

namespace {

const Bytes kStream3 = {0xA0, 0x0A, 0x14, 0x1E, 0x2F, 0x0C, 0x80, 0x00, 0x50};
const Bytes kRows3 = {10, 20, 30, 12, 19, 30, 200, 0, 5, 0, 0, 0};

Picture picture3()
{
    Picture p = picture(3, 1, 24, 0, 0, 0, 12);
    p.bits = kRows3;
    return p;
}

} // namespace

TEST(BitmapWriter, WritesImpFiles)
{
    BmpTempDir dir;
    std::string path = dir.file("out.imp");
    Picture p = picture3();
    Written w = write(p, path);
    ASSERT_EQ(w.rc, 0) << w.err;
    Bytes f = readBytes(path);
    ASSERT_EQ(f.size(), 56u);
    EXPECT_EQ(f[0], 'I');
    EXPECT_EQ(f[1], 'M');
    EXPECT_EQ(getLE32At(f, 2), 56u);
    EXPECT_EQ(getLE32At(f, 6), 47u);
    EXPECT_EQ(getLE32At(f, 10), 3u);
    EXPECT_EQ(getLE32At(f, 14), 1u);
    EXPECT_EQ(f[18], 24);
    EXPECT_EQ(Bytes(f.begin() + 19, f.begin() + 47), Bytes(28, 0));
    EXPECT_EQ(Bytes(f.begin() + 47, f.end()), kStream3);
}

TEST(BitmapWriter, CarriesTheCommentOnlyWithItsPicture)
{
    BmpTempDir dir;
    std::string path = dir.file("out.imp");
    impInfoDataId = 1005;
    impInfoData = setstr("abc");
    Picture p = picture3();
    setLE32(p.info, 24, 1005);
    Written w = write(p, path);
    ASSERT_EQ(w.rc, 0) << w.err;
    Bytes f = readBytes(path);
    ASSERT_EQ(f.size(), 59u);
    EXPECT_EQ(getLE32At(f, 2), 59u);
    EXPECT_EQ(getLE32At(f, 6), 50u);
    EXPECT_EQ(std::string(f.begin() + 47, f.begin() + 50), "abc");
    EXPECT_EQ(Bytes(f.begin() + 50, f.end()), kStream3);

    // Another picture, while the comment is still held.
    setLE32(p.info, 24, 1004);
    w = write(p, path);
    ASSERT_EQ(w.rc, 0) << w.err;
    f = readBytes(path);
    EXPECT_EQ(getLE32At(f, 6), 47u);
    EXPECT_EQ(f.size(), 56u);
    freemem(impInfoData);
    impInfoData = nullptr;
}

TEST(BitmapWriter, WritesBm2Files)
{
    BmpTempDir dir;
    std::string path = dir.file("out.BM2");
    Picture p = picture3();
    setLE32(p.info, 20, 12);
    Written w = write(p, path);
    ASSERT_EQ(w.rc, 0) << w.err;
    Bytes f = readBytes(path);
    ASSERT_EQ(f.size(), 54u + 9u);
    EXPECT_EQ(f[0], 'B');
    EXPECT_EQ(f[1], '2');
    EXPECT_EQ(getLE32At(f, 2), 63u);
    EXPECT_EQ(getLE32At(f, 10), 54u);
    EXPECT_EQ(getLE32At(f, 34), 0u);
    EXPECT_EQ(Bytes(f.begin() + 54, f.end()), kStream3);
}

TEST(BitmapWriter, ConvertsBetweenAllThreeKindsUnchanged)
{
    // BMP -> IMP -> BM2 -> BMP on pictures of many sizes keeps every pixel.
    BmpTempDir dir;
    std::mt19937 rng(5);
    for (int round = 0; round < 12; round++) {
        int width = int(rng() % 23), height = int(rng() % 9);
        int64_t row = bmpRowSize(width, 24);
        Bytes data = randomBytes(size_t(row * height), rng());
        for (int y = 0; y < height; y++) // padding bytes are not pixels
            std::fill(data.begin() + y * row + 3 * width, data.begin() + (y + 1) * row, 0);
        writeBytes(dir.file("a.bmp"), bmpFile(width, height, 24, {}, data));
        const char *chain[][2] = {{"a.bmp", "b.imp"}, {"b.imp", "c.bm2"}, {"c.bm2", "d.bmp"}};
        for (auto &step : chain) {
            int type = std::strstr(step[0], ".bmp") ? 0 : std::strstr(step[0], ".bm2") ? 1 : 2;
            HLOCAL info = nullptr, bits = nullptr;
            testing::internal::CaptureStderr();
            int rc = readBitmap(type, dir.file(step[0]).c_str(), &info, &bits);
            std::string err = testing::internal::GetCapturedStderr();
            ASSERT_EQ(rc, 0) << step[0] << " " << width << "x" << height << " " << err;
            rc = writeBitmap(static_cast<BITMAPINFO *>(getmemAdr(info)), static_cast<unsigned char *>(getmemAdr(bits)),
                             dir.file(step[1]).c_str(), getmemSize(info), getmemSize(bits));
            LocalFree(info);
            LocalFree(bits);
            ASSERT_EQ(rc, 0) << step[1];
        }
        Bytes out = readBytes(dir.file("d.bmp"));
        ASSERT_EQ(out.size(), 54 + data.size());
        EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin() + 54)) << width << "x" << height;
    }
}
