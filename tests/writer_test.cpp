// The bitmap writer and the output close: header fields, refusals, failed
// writes that must leave no trace, and pictures that come back unchanged.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <tuple>

#include "imp/imp.h"
#include "input/input.h"
#include "output/output.h"
#include "support/bmp_util.h"
#include "support/mem.h"

namespace {

// A DIB pair as the driver holds it: info block and pixel block.
struct Picture {
    Bytes info, bits;
};

Picture picture(int32_t width, int32_t height, int bitCount, uint32_t clrUsed, uint32_t sizeImage, size_t tableBytes,
                size_t bitsBytes, uint32_t compression = 0)
{
    Bytes h = bmpFile(width, height, bitCount, randomBytes(tableBytes, 77), {}, compression, clrUsed);
    h = with(with(h, 34, sizeImage), 50, 7);
    return {Bytes(h.begin() + 14, h.end()), randomBytes(bitsBytes, 78)};
}

struct Written {
    int rc;
    std::string err;
};

Written write(Picture &p, const std::string &path)
{
    testing::internal::CaptureStderr();
    int rc = writeBitmap(reinterpret_cast<BITMAPINFO *>(p.info.data()), p.bits.data(), path.c_str(),
                         long(p.info.size()), long(p.bits.size()));
    return {rc, testing::internal::GetCapturedStderr()};
}

} // namespace

TEST(BitmapWriter, BuildsTheHeaderFields)
{
    struct Case {
        const char *name;
        Picture pic;
        uint32_t offBits, sizeImage;
        size_t table, pixels; // bytes of each in the file
    } cases[] = {
        {"OUT.BMP", picture(5, 2, 24, 0, 0, 0, 32), 54, 32, 0, 32},
        {"own size kept.Bmp", picture(5, 2, 24, 0, 40, 0, 40), 54, 40, 0, 32},
        {"24-bit with a table.bmp", picture(5, 2, 24, 0, 0, 1024, 32), 54, 32, 0, 32},
        {"8-bit.bmp", picture(3, 2, 8, 0, 8, 1024, 8), 1078, 8, 1024, 8},
        {"8-bit, 16 colours.bmp", picture(3, 2, 8, 16, 8, 64, 8), 118, 8, 64, 8},
        {"8-bit, no size.bmp", picture(5, 3, 8, 0, 0, 1024, 24), 1078, 24, 1024, 24},
        {"4-bit.bmp", picture(9, 2, 4, 0, 16, 64, 16), 118, 16, 64, 16},
        {"1-bit.bmp", picture(33, 3, 1, 0, 24, 8, 24), 62, 24, 8, 24},
        {"1-bit, no size.bmp", picture(33, 3, 1, 2, 0, 8, 24), 62, 24, 8, 24},
        {"32-bit.bmp", picture(2, 2, 32, 0, 0, 0, 16), 54, 16, 0, 16},
        {"16-bit masks.bmp", picture(2, 2, 16, 0, 0, 12, 8, BI_BITFIELDS), 66, 8, 12, 8},
        {"16-bit, 2 colours.bmp", picture(2, 2, 16, 2, 0, 8, 8), 62, 8, 8, 8},
    };
    BmpTempDir dir;
    for (auto &c : cases) {
        Written w = write(c.pic, dir.file(c.name));
        ASSERT_EQ(w.rc, 0) << c.name << " " << w.err;
        Bytes f = readBytes(dir.file(c.name));
        ASSERT_EQ(f.size(), 54 + c.table + c.pixels) << c.name;
        Bytes want = with(c.pic.info, 20, c.sizeImage);
        want.resize(40);
        EXPECT_EQ(Bytes(f.begin() + 14, f.begin() + 54), want) << c.name; // the rest is copied
        EXPECT_EQ(Bytes(f.begin(), f.begin() + 14),
                  with(with(with(Bytes(14), 0, 'B' | 'M' << 8, 2), 2, uint32_t(f.size())), 10, c.offBits))
            << c.name;
        EXPECT_TRUE(std::equal(f.begin() + 54, f.begin() + 54 + long(c.table), c.pic.info.begin() + 40)) << c.name;
        EXPECT_TRUE(std::equal(f.begin() + 54 + long(c.table), f.end(), c.pic.bits.begin())) << c.name;
    }
    EXPECT_EQ(dir.list().size(), std::size(cases)); // no temporary file left
}

TEST(BitmapWriter, RefusesPicturesItCannotWrite)
{
    BmpTempDir dir;
    mkdir(dir.file("d.bmp").c_str(), 0777);
    const char *const full = "cannot convert because of no full color data";
    struct Case {
        const char *name;
        Picture pic;
        const char *msg;
        int rc;
    } cases[] = {
        {"out", picture(2, 2, 24, 0, 0, 0, 16), "bad extension", 1},
        {"out.gif", picture(2, 2, 24, 0, 0, 0, 16), "bad extension", 1},
        {"d.bmp/out", picture(2, 2, 24, 0, 0, 0, 16), "bad extension", 1},
        {"out.bmp.txt", picture(2, 2, 24, 0, 0, 0, 16), "bad extension", 1},
        {"8-bit.bm2", picture(2, 2, 8, 0, 8, 1024, 8), full, 1},
        {"8-bit.IMP", picture(2, 2, 8, 0, 8, 1024, 8), full, 1},
        {"table beyond the info block.bmp", picture(2, 2, 8, 0, 8, 1020, 8), "cannot convert", 1},
        {"masks beyond the info block.bmp", picture(2, 2, 16, 0, 8, 8, 8, BI_BITFIELDS), "cannot convert", 1},
        {"rows beyond the pixel block.bmp", picture(5, 2, 24, 0, 0, 0, 31), "cannot convert", 1},
        {"size beyond the pixel block.bmp", picture(3, 2, 8, 0, 4096, 1024, 8), "cannot convert", 1},
        {"rows beyond the pixel block.imp", picture(5, 2, 24, 0, 0, 0, 31), "cannot convert", 1},
        {"negative width.bmp", picture(-5, 2, 24, 0, 0, 0, 32), "cannot convert", 1},
        {"size beyond a file.bmp", picture(0x40000000, 2, 24, 0, 0, 0, 32), "cannot convert", 1},
        {"none/out.bmp", picture(2, 2, 24, 0, 0, 0, 16), "cannot write", -1},
    };
    for (auto &c : cases) {
        Written w = write(c.pic, dir.file(c.name));
        EXPECT_EQ(w.rc, c.rc) << c.name;
        EXPECT_EQ(w.err, dir.file(c.name) + ": " + c.msg + "\n") << c.name;
    }
    EXPECT_EQ(dir.list(), std::vector<std::string>{"d.bmp"});
}

TEST(BitmapWriter, LeavesNoTraceOfAFailedWrite)
{
    // Writing in a child whose files may not grow past the limit: small
    // pictures fail when the stream is flushed at the close, large ones
    // while the rows go out. Messages come back through a pipe, which the
    // limit does not touch.
    struct Case {
        int width, height;
        rlim_t limit;
        bool existing;
    } cases[] = {{10, 10, 20, true}, {100, 10, 1000, false}, {100, 10, 1000, true},
                 {1000, 1000, 65536, false}, {1000, 1000, 65536, true}};
    for (const auto &c : cases) {
        BmpTempDir dir;
        std::string path = dir.file("out.bmp");
        Bytes old = randomBytes(600, 3);
        if (c.existing)
            writeBytes(path, old);
        Picture p = picture(c.width, c.height, 24, 0, 0, 0, size_t(bmpRow(c.width, 24) * c.height));
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], 2);
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit rl = {c.limit, c.limit};
            setrlimit(RLIMIT_FSIZE, &rl);
            _exit(10 + writeBitmap(reinterpret_cast<BITMAPINFO *>(p.info.data()), p.bits.data(), path.c_str(),
                                   long(p.info.size()), long(p.bits.size())));
        }
        close(fds[1]);
        std::string err;
        char buf[512];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
            err.append(buf, size_t(n));
        close(fds[0]);
        int st = 0;
        waitpid(pid, &st, 0);
        std::string name = std::to_string(c.width) + "x" + std::to_string(c.height);
        EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) - 10 : 99, -1) << name;
        EXPECT_EQ(err, path + ": writing error\n") << name;
        EXPECT_EQ(dir.list(), c.existing ? std::vector<std::string>{"out.bmp"} : std::vector<std::string>{}) << name;
        if (c.existing) {
            EXPECT_EQ(readBytes(path), old) << name;
        }
    }
}

TEST(OutputClose, ChecksTheCloseAndTheFreeSpace)
{
    BmpTempDir dir;
    std::string path = dir.file("out.bmp");
    int free = getFreeSpace(path.c_str());
    EXPECT_GT(free, 0);
    EXPECT_GE(FreeDiskSpace, double(free));
    EXPECT_TRUE(free == 2147483647 || FreeDiskSpace <= 2147483647.0);
    EXPECT_EQ(getFreeSpace("/no/such/dir/out.bmp"), -1);
    EXPECT_EQ(FreeDiskSpace, -1.0);

    // Captured first: capturing flushes every stream.
    testing::internal::CaptureStderr();
    EXPECT_EQ(Fclose(std::fopen(path.c_str(), "wb"), path.c_str()), 0);
    // Without drive letters here, a colon is a character of the name.
    EXPECT_EQ(Fclose(std::fopen(path.c_str(), "wb"), "d:/no/such/dir/out.bmp"), -1);
    // /dev/full takes the bytes into the buffer, then refuses them.
    FILE *full = std::fopen("/dev/full", "wb");
    std::fputs("picture", full);
    EXPECT_NE(Fclose(full, path.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "no free disk space\n");
}

TEST(BitmapWriter, WritesBackWhatTheReaderRead)
{
    // Files of the usual form come back byte for byte, also through BM2
    // and IMP for 24-bit pictures (whose row padding is zero here).
    BmpTempDir dir;
    std::mt19937 rng(11);
    auto convert = [&](int type, const char *from, const char *to) {
        HLOCAL info = nullptr, bits = nullptr;
        EXPECT_EQ(readBitmap(type, dir.file(from).c_str(), &info, &bits), 0) << from;
        int rc = writeBitmap(static_cast<BITMAPINFO *>(getmemAdr(info)), static_cast<unsigned char *>(getmemAdr(bits)),
                             dir.file(to).c_str(), getmemSize(info), getmemSize(bits));
        LocalFree(info);
        LocalFree(bits);
        EXPECT_EQ(rc, 0) << to;
    };
    for (int bitCount : {1, 4, 8, 24}) {
        for (int round = 0; round < 8; round++) {
            int width = int(rng() % 37), height = int(rng() % 7);
            Bytes data = randomBytes(size_t(bmpRow(width, bitCount) * height), rng());
            for (int y = 0; y < height && bitCount == 24; y++)
                std::fill(data.begin() + y * bmpRow(width, 24) + 3 * width, data.begin() + (y + 1) * bmpRow(width, 24), 0);
            Bytes in = bmpFile(width, height, bitCount, randomBytes(bitCount == 24 ? 0 : 4 << bitCount, rng()), data);
            writeBytes(dir.file("a.bmp"), in);
            std::string name = std::to_string(bitCount) + "-bit " + std::to_string(width) + "x" + std::to_string(height);
            convert(0, "a.bmp", "b.bmp");
            EXPECT_EQ(readBytes(dir.file("b.bmp")), in) << name;
            if (bitCount == 24) {
                // IMP keeps the pixels, not the resolution fields.
                convert(0, "b.bmp", "c.imp");
                convert(2, "c.imp", "d.bm2");
                convert(1, "d.bm2", "e.bmp");
                Bytes out = readBytes(dir.file("e.bmp"));
                EXPECT_EQ(Bytes(out.begin(), out.begin() + 38), Bytes(in.begin(), in.begin() + 38)) << name;
                EXPECT_EQ(Bytes(out.begin() + 54, out.end()), data) << name;
            }
        }
    }
}

TEST(BitmapWriter, WritesImpAndBm2Files)
{
    // The 3x1 picture: stream of 9 bytes; a comment goes only with the
    // picture that carries the current mark.
    BmpTempDir dir;
    impInfoDataId = 1005;
    impInfoData = setstr("abc");
    Picture p = picture(3, 1, 24, 0, 12, 0, 0);
    p.bits = kImpRows3;
    Bytes imp = impFile(3, 1, "abc", kImpStream3);
    Bytes impBare = impFile(3, 1, "", kImpStream3);
    Bytes bm2 = with(with(bmpFile(3, 1, 24, {}, kImpStream3, 0, 0, "B2"), 34, 0), 50, 7);
    for (auto [name, mark, want] : {std::tuple{"marked.imp", 1005, imp}, {"unmarked.imp", 1004, impBare},
                                    {"x.BM2", 1005, with(bm2, 38, 1005)}}) {
        p.info = with(p.info, 24, uint32_t(mark));
        Written w = write(p, dir.file(name));
        ASSERT_EQ(w.rc, 0) << name << " " << w.err;
        EXPECT_EQ(readBytes(dir.file(name)), want) << name;
    }
    freemem(impInfoData);
    impInfoData = nullptr;
}
