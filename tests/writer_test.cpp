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

// A picture as the driver holds it (info block, pixel block) and its BMP
// file, with biSizeImage the pixels' length whatever the info block says.
struct Pic { Bytes info, bits, file; };

static Pic pic(int32_t width, int32_t height, int bits, uint32_t used, uint32_t sizeImage, size_t table,
               size_t pixels, uint32_t compression = 0)
{
    Bytes px = randomBytes(pixels, 78);
    Bytes file = with(bmpFile(width, height, bits, randomBytes(table, 77), px, compression, used), 50, 7);
    return {part(with(file, 34, sizeImage), 14, 40 + table), px, file};
}

static int write(Pic &p, const std::string &path)
{
    return writeBitmap(reinterpret_cast<BITMAPINFO *>(p.info.data()), p.bits.data(), path.c_str(),
                       long(p.info.size()), long(p.bits.size()));
}

TEST(BitmapWriter, WritesOrRefusesEachPicture)
{
    Pic own = pic(5, 2, 24, 0, 40, 0, 40), rgb = pic(2, 2, 24, 0, 0, 0, 16);
    struct Case { const char *name; Pic p; const char *msg; Bytes want; } cases[] = {
        // Written: biSizeImage filled in when 0; a 24-bit picture's rows by its width.
        {"OUT.BMP", pic(5, 2, 24, 0, 0, 0, 32), nullptr, {}},
        {"own size kept.Bmp", own, nullptr, with(part(own.file, 0, 54 + 32), 2, 54 + 32)},
        {"8-bit.bmp", pic(3, 2, 8, 0, 0, 1024, 8), nullptr, {}},
        {"8-bit, 16 colours.bmp", pic(3, 2, 8, 16, 8, 64, 8), nullptr, {}},
        {"1-bit.bmp", pic(33, 3, 1, 0, 24, 8, 24), nullptr, {}},
        {"out.bmp.txt", rgb, "bad extension", {}},
        {"8-bit.IMP", pic(2, 2, 8, 0, 8, 1024, 8), "cannot convert because of no full color data", {}},
        // Everything the file takes must be in the blocks, its sizes within 31 bits.
        {"table beyond the info block.bmp", pic(2, 2, 8, 0, 8, 1020, 8), "cannot convert", {}},
        {"masks beyond the info block.bmp", pic(2, 2, 16, 0, 8, 8, 8, BI_BITFIELDS), "cannot convert", {}},
        {"rows beyond the pixel block.bmp", pic(5, 2, 24, 0, 0, 0, 31), "cannot convert", {}},
        {"rows beyond the pixel block.imp", pic(5, 2, 24, 0, 0, 0, 31), "cannot convert", {}},
        {"size beyond the pixel block.bmp", pic(3, 2, 8, 0, 4096, 1024, 8), "cannot convert", {}},
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
        EXPECT_EQ(readBytes(dir.file(c.name)), c.msg ? Bytes() : c.want.empty() ? c.p.file : c.want) << c.name;
    }
    EXPECT_EQ(dir.count(), 5); // the five written, no temporary file
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
    // A close after which the free space cannot be told fails too (without
    // drive letters here, the colon is part of the name).
    testing::internal::CaptureStderr();
    EXPECT_EQ(Fclose(std::tmpfile(), "d:/no/such/dir/out.bmp"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "no free disk space\n");
}
