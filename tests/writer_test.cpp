// The bitmap writer: the file it makes of each picture, the pictures it
// refuses, and failed writes that must leave no trace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <tuple>

#include "output/output.h"
#include "support/bmp_util.h"

// A picture as the driver holds it: the info block (40-byte header with
// biSizeImage as given, then table bytes) and the pixel block.
struct Pic { Bytes info, bits; };

static Pic pic(int32_t width, int32_t height, int bits, uint32_t used, uint32_t sizeImage, size_t table,
               size_t pixels, uint32_t compression = 0)
{
    Bytes px = randomBytes(pixels, 78);
    Bytes file = bmpFile(width, height, bits, randomBytes(table, 77), px, compression, used);
    return {part(with(file, 34, sizeImage), 14, 40 + table), px};
}

// The file a picture should give: a 40-byte info header, `colors` table
// entries (or the masks), image bytes of rows, biSizeImage their length.
static Bytes fileOf(const Pic &p, size_t tableBytes, size_t image, uint32_t colors)
{
    return bmpFile(int32_t(getLE32(&p.info[4])), int32_t(getLE32(&p.info[8])), getLE16(&p.info[14]),
                   part(p.info, 40, tableBytes), part(p.bits, 0, image), getLE32(&p.info[16]), colors);
}

static int write(Pic &p, const std::string &path)
{
    return writeBitmap(reinterpret_cast<BITMAPINFO *>(p.info.data()), p.bits.data(), path.c_str(),
                       long(p.info.size()), long(p.bits.size()));
}

TEST(BitmapWriter, WritesOrRefusesEachPicture)
{
    Pic rgb = pic(5, 2, 24, 0, 0, 0, 32), own = pic(5, 2, 24, 0, 40, 0, 40), v5 = rgb;
    v5.info[0] = 124;
    Pic unpadded = pic(3, 2, 8, 0, 6, 1024, 8), huge = pic(33, 3, 1, 0, 0x7EEEEEEE, 8, 24);
    Pic over = pic(3, 2, 8, 257, 8, 1028, 8), used16 = pic(3, 2, 8, 16, 8, 64, 8);
    Pic m565 = pic(2, 2, 16, 0, 0, 12, 8, BI_BITFIELDS), rgba = pic(2, -2, 32, 0, 0, 0, 16);
    struct Case { const char *name; Pic p; const char *msg; Bytes want; } cases[] = {
        // The header states the file written: 40 bytes of info header, the
        // rows by the picture's own width, at most the entries the pixels index.
        {"OUT.BMP", rgb, nullptr, fileOf(rgb, 0, 32, 0)},
        {"own size ignored.Bmp", own, nullptr, fileOf(own, 0, 32, 0)},
        {"version 5 header.bmp", v5, nullptr, fileOf(rgb, 0, 32, 0)},
        {"8-bit, size of unpadded rows.bmp", unpadded, nullptr, fileOf(unpadded, 1024, 8, 256)},
        {"1-bit, size beyond the rows.bmp", huge, nullptr, fileOf(huge, 8, 24, 2)},
        {"8-bit, 16 colours.bmp", used16, nullptr, fileOf(used16, 64, 8, 16)},
        {"8-bit, 257 colours.bmp", over, nullptr, fileOf(over, 1024, 8, 256)},
        {"16-bit masks.bmp", m565, nullptr, fileOf(m565, 12, 8, 0)},
        {"32-bit top-down.bmp", rgba, nullptr, fileOf(rgba, 0, 16, 0)},
        {"out.bmp.txt", rgb, "bad extension", {}},
        {"8-bit.IMP", pic(2, 2, 8, 0, 8, 1024, 8), "cannot convert because of no full color data", {}},
        // Everything the file takes must be in the blocks, its sizes within 31 bits.
        {"table beyond the info block.bmp", pic(2, 2, 8, 0, 8, 1020, 8), "cannot convert", {}},
        {"masks beyond the info block.bmp", pic(2, 2, 16, 0, 8, 8, 8, BI_BITFIELDS), "cannot convert", {}},
        {"rows beyond the pixel block.bmp", pic(5, 2, 24, 0, 0, 0, 31), "cannot convert", {}},
        {"rows beyond the pixel block.imp", pic(5, 2, 24, 0, 0, 0, 31), "cannot convert", {}},
        {"run-length rows.bmp", pic(2, 2, 8, 0, 8, 1024, 8, BI_RLE8), "cannot convert", {}},
        {"no pixel.bmp", pic(0, 2, 24, 0, 0, 0, 8), "cannot convert", {}},
        {"negative width.bmp", pic(-5, 2, 24, 0, 0, 0, 32), "cannot convert", {}},
        {"size beyond a file.bmp", pic(0x40000000, 2, 24, 0, 0, 0, 32), "cannot convert", {}},
        {"none/out.bmp", rgb, "cannot write", {}},
    };
    BmpTempDir dir;
    for (auto &c : cases) {
        testing::internal::CaptureStderr();
        int rc = write(c.p, dir.file(c.name));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.msg ? dir.file(c.name) + ": " + c.msg + "\n" : "");
        EXPECT_EQ(rc, !c.msg ? 0 : c.msg == std::string("cannot write") ? -1 : 1) << c.name;
        EXPECT_EQ(readBytes(dir.file(c.name)), c.want) << c.name;
    }
    EXPECT_EQ(dir.count(), 9); // the nine written, no temporary file
}

TEST(BitmapWriter, LeavesNoTraceOfAFailedWriteOrClose)
{
    // In a child whose files may not grow past the limit: a small picture
    // fails at the close, a large one while its rows go out. The message,
    // shorter than the limit, goes to a file of its own.
    for (auto [width, limit, existing] : {std::tuple{10, 100, true}, {1000, 65536, false}, {1000, 65536, true}}) {
        BmpTempDir dir, errDir;
        std::string path = dir.file("out.bmp"), err = errDir.file("err");
        if (existing)
            writeBytes(path, Bytes(600, 7));
        Pic p = pic(width, width, 24, 0, 0, 0, size_t((width * 3 + 3) / 4 * 4 * width));
        std::fflush(nullptr);
        if (fork() == 0) {
            dup2(open(err.c_str(), O_WRONLY | O_CREAT, 0600), 2);
            signal(SIGXFSZ, SIG_IGN);
            rlimit rl = {rlim_t(limit), rlim_t(limit)};
            setrlimit(RLIMIT_FSIZE, &rl);
            _exit(10 + write(p, path));
        }
        int st = 0;
        wait(&st);
        EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : 0, 9) << width;
        EXPECT_EQ(readBytes<std::string>(err), path + ": writing error\n") << width;
        EXPECT_EQ(dir.count(), existing ? 1 : 0) << width; // no temporary file, no part of a file
        EXPECT_EQ(readBytes(path), existing ? Bytes(600, 7) : Bytes()) << width;
    }
}

TEST(BitmapWriter, CodesTopDownPicturesBottomUp)
{
    // A plug-in's top-down rows: the IMP and BM2 files hold the bottom-up
    // picture, with a positive height, and read back as such.
    Pic p = pic(3, -2, 24, 0, 0, 0, 24);
    Bytes bottomUp = join(part(p.bits, 12, 12), part(p.bits, 0, 12));
    BmpTempDir dir;
    for (auto [name, type] : {std::pair{"t.imp", 2}, {"t.bm2", 1}}) {
        ASSERT_EQ(write(p, dir.file(name)), 0) << name;
        DibRead r = readDib(type, dir.file(name));
        ASSERT_EQ(r.rc, 0) << name << r.err;
        EXPECT_EQ(int32_t(getLE32(&r.info[8])), 2) << name;
        for (size_t row : {0, 12}) // padding aside
            EXPECT_EQ(part(r.bits, row, 9), part(bottomUp, row, 9)) << name;
    }
}
