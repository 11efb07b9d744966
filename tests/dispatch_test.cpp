// Input dispatch: extension folding, the choice between the native reader
// and a plug-in, the GetPicture result messages and the image serial.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "imp/imp.h"
#include "input/input.h"
#include "plugins/registry.h"
#include "support/host_util.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// Loads the probe plug-in under each key, in order.
void loadProbe(std::initializer_list<const char *> keys)
{
    for (const char *k : keys)
        ASSERT_EQ(readPlugin(1, hostSpi("ifprobe").c_str(), k), 0) << k;
}

void release(HLOCAL *info, HLOCAL *bits)
{
    if (*info != nullptr)
        LocalFree(*info);
    if (*bits != nullptr)
        LocalFree(*bits);
    *info = *bits = nullptr;
}

// getImage on a file holding text; its result and what it printed.
int readWith(const std::string &path, const std::string &text, std::string *err, HLOCAL *info, HLOCAL *bits)
{
    hostWriteFile(path, text);
    CaptureStderr();
    int r = getImage(path.c_str(), info, bits);
    *err = GetCapturedStderr();
    return r;
}

} // namespace

TEST(InputDispatch, ExtensionsAreFoldedBeforeTheKeyIsLookedUp)
{
    loadProbe({"jpg", "tif", "gif", "", "abcdefghijklmnopqrst"});
    HostTempDir dir;
    struct Case {
        const char *name;
        int result;
    } cases[] = {
        {"photo.JPEG", 0}, {"photo.jpe", 0}, {"photo.Jpg", 0}, {"scan.TIFF", 0}, {"scan.tif", 0},
        {"a.b.GIF", 0}, {"name.", 0},
        // Only the first 20 characters of an extension count.
        {"x.abcdefghijklmnopqrst", 0}, {"x.ABCDEFGHIJKLMNOPQRSTUVWXYZ", 0}, {"x.abcdefghijklmnopqrs", -1},
        {"photo.jpeg2", -1}, {"scan.tiff.bak", -1}, {"image.mag", -1}, {"photo.JPGE", -1},
    };
    int calls = 0;
    for (const Case &c : cases) {
        std::string path = dir / c.name;
        HLOCAL info = nullptr, bits = nullptr;
        std::string err;
        int r = readWith(path, "0\n", &err, &info, &bits);
        EXPECT_EQ(r, c.result) << c.name;
        if (c.result == 0) {
            calls++;
            EXPECT_EQ(err, "") << c.name;
            EXPECT_NE(info, nullptr);
            EXPECT_NE(bits, nullptr);
        } else {
            EXPECT_EQ(err, path + ": unknown format\n") << c.name;
        }
        release(&info, &bits);
    }
    EXPECT_EQ(hostProbeCalls(&PluginInfo), calls);
    freePlugin();
}

TEST(InputDispatch, PluginGetsThePathAsAFile)
{
    loadProbe({"gif"});
    HostTempDir dir;
    HLOCAL info = nullptr, bits = nullptr;
    std::string err;
    ASSERT_EQ(readWith(dir / "p.gif", "0\n", &err, &info, &bits), 0);
    ProbeCall last{};
    EXPECT_EQ(hostProbeCalls(&PluginInfo, &last), 1);
    EXPECT_EQ(last.len, 0);
    EXPECT_EQ(last.flag, 0u);
    EXPECT_EQ(last.progress, 0);
    EXPECT_EQ(last.lData, 0);
    ASSERT_GE(LocalSize(info), sizeof(BITMAPINFOHEADER));
    auto *bh = static_cast<BITMAPINFOHEADER *>(LocalLock(info));
    EXPECT_EQ(bh->biWidth, 2);
    EXPECT_EQ(bh->biHeight, 2);
    EXPECT_EQ(bh->biBitCount, 24);
    LocalUnlock(info);
    EXPECT_EQ(LocalSize(bits), 16u);
    release(&info, &bits);
    freePlugin();
}

TEST(InputDispatch, NativeTypesNeverReachAPlugin)
{
    loadProbe({"bmp", "bm2", "imp"});
    HostTempDir dir;
    for (const char *name : {"picture.BMP", "picture.Bm2", "picture.imp"}) {
        HLOCAL info = nullptr, bits = nullptr;
        std::string err;
        // Not a bitmap: the native reader refuses it.
        EXPECT_EQ(readWith(dir / name, "0\n", &err, &info, &bits), -1) << name;
    }
    EXPECT_EQ(hostProbeCalls(&PluginInfo), 0);
    freePlugin();
}

TEST(InputDispatch, NoExtension)
{
    loadProbe({"c", ""});
    int id = impInfoDataId;
    for (const char *path : {"a.b/c", "noext", "dir.d/"}) {
        HLOCAL info = nullptr, bits = nullptr;
        CaptureStderr();
        EXPECT_EQ(getImage(path, &info, &bits), -1);
        EXPECT_EQ(GetCapturedStderr(), std::string(path) + ": no file extention\n");
    }
    EXPECT_EQ(impInfoDataId, id);
    EXPECT_EQ(hostProbeCalls(&PluginInfo), 0);
    freePlugin();
}

// A failed GetPicture: its message, printed only while vexel_msgout is
// set, and a pair that never reaches the caller.
struct PictureFailure {
    const char *input;
    const char *message;
};

void PrintTo(const PictureFailure &c, std::ostream *os)
{
    *os << '"' << c.input << '"';
}

class InputDispatchFailure : public testing::TestWithParam<PictureFailure> {};

TEST_P(InputDispatchFailure, MessageFollowsMsgout)
{
    const PictureFailure &c = GetParam();
    loadProbe({"gif"});
    HostTempDir dir;
    std::string path = dir / "p.gif";
    for (int msgout : {1, 0}) {
        vexel_msgout = msgout;
        HLOCAL info = nullptr, bits = nullptr;
        std::string err;
        EXPECT_EQ(readWith(path, c.input, &err, &info, &bits), -1);
        EXPECT_EQ(err, msgout ? path + c.message : "") << "msgout " << msgout;
        EXPECT_EQ(info, nullptr);
        EXPECT_EQ(bits, nullptr);
    }
    vexel_msgout = 1;
    EXPECT_EQ(hostProbeCalls(&PluginInfo), 2);
    freePlugin();
}

INSTANTIATE_TEST_SUITE_P(
    Results, InputDispatchFailure,
    testing::Values(PictureFailure{"2", ": unknown format\n"}, PictureFailure{"3", ": broken data file\n"},
                    PictureFailure{"6", ": file not found\n"}, PictureFailure{"1", ": cannot convert\n"},
                    PictureFailure{"4", ": cannot convert\n"}, PictureFailure{"8", ": cannot convert\n"},
                    PictureFailure{"-1", ": cannot convert\n"},
                    // Success claimed with a pair the program cannot use.
                    PictureFailure{"noinfo", ": broken data file\n"},
                    PictureFailure{"nobits", ": broken data file\n"},
                    PictureFailure{"shortinfo", ": broken data file\n"},
                    PictureFailure{"shortbits", ": broken data file\n"},
                    PictureFailure{"hugebits", ": broken data file\n"},
                    PictureFailure{"same", ": broken data file\n"}),
    [](const testing::TestParamInfo<PictureFailure> &i) {
        std::string name = "result_";
        for (const char *p = i.param.input; *p; p++)
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : 'm';
        return name;
    });

TEST(InputDispatch, UnknownTypeIsReportedWhateverMsgout)
{
    loadProbe({"gif", "jpg", "tif"});
    HostTempDir dir;
    for (int msgout : {1, 0}) {
        vexel_msgout = msgout;
        HLOCAL info = nullptr, bits = nullptr;
        std::string err;
        EXPECT_EQ(readWith(dir / "image.mag", "0\n", &err, &info, &bits), -1);
        EXPECT_EQ(err, dir / "image.mag: unknown format\n");
    }
    vexel_msgout = 1;
    freePlugin();
}

TEST(InputDispatch, ImageSerialCountsEveryFileWithAnExtension)
{
    loadProbe({"gif"});
    HostTempDir dir;
    int id = impInfoDataId;
    HLOCAL info = nullptr, bits = nullptr;
    std::string err;
    ASSERT_EQ(readWith(dir / "a.gif", "0\n", &err, &info, &bits), 0);
    release(&info, &bits);
    EXPECT_EQ(readWith(dir / "b.gif", "3\n", &err, &info, &bits), -1);
    EXPECT_EQ(readWith(dir / "c.mag", "0\n", &err, &info, &bits), -1);
    EXPECT_EQ(readWith(dir / "d.bmp", "0\n", &err, &info, &bits), -1);
    EXPECT_EQ(impInfoDataId, id + 4);

    impInfoData_setFlg = 0;
    ASSERT_EQ(readWith(dir / "e.gif", "0\n", &err, &info, &bits), 0);
    release(&info, &bits);
    EXPECT_EQ(readWith(dir / "f.gif", "2\n", &err, &info, &bits), -1);
    impInfoData_setFlg = 1;
    EXPECT_EQ(impInfoDataId, id + 4);
    freePlugin();
}

TEST(InputDispatch, FirstPluginOfAKeyIsTheOnlyOneAsked)
{
    HostTempDir spis, dir;
    hostCopySpi("ifprobe", spis.path, "ifgif.spi");
    hostCopySpi("ifprobe", spis.path, "xxgif.spi");
    ASSERT_EQ(readPlugin(2, spis.path.c_str(), ""), 0);
    const PluginRecord *first = &PluginInfo, *second = PluginInfo.next;
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(second->type, "gif");

    HLOCAL info = nullptr, bits = nullptr;
    std::string err;
    ASSERT_EQ(readWith(dir / "a.gif", "0\n", &err, &info, &bits), 0);
    release(&info, &bits);
    // A failure of the first is final.
    EXPECT_EQ(readWith(dir / "b.gif", "3\n", &err, &info, &bits), -1);
    EXPECT_EQ(hostProbeCalls(first), 2);
    EXPECT_EQ(hostProbeCalls(second), 0);
    freePlugin();
}

TEST(InputDispatch, RecordsWithoutALibraryAreNotAsked)
{
    // A plug-in refused by the version test is released but leaves its key
    // in the record; an unloaded one leaves the empty key. Neither may be
    // called.
    CaptureStderr();
    EXPECT_EQ(readPlugin(1, hostSpi("ifbadver").c_str(), "gif"), 1);
    GetCapturedStderr();
    EXPECT_EQ(PluginInfo.hLib, nullptr);
    EXPECT_STREQ(PluginInfo.type, "gif");
    EXPECT_EQ(PluginInfo.next, nullptr);
    HostTempDir dir;
    HLOCAL info = nullptr, bits = nullptr;
    std::string err;
    EXPECT_EQ(readWith(dir / "a.gif", "0\n", &err, &info, &bits), -1);
    EXPECT_EQ(err, dir / "a.gif: unknown format\n");

    loadProbe({""});
    freePlugin();
    EXPECT_EQ(readWith(dir / "name.", "0\n", &err, &info, &bits), -1);
    EXPECT_EQ(err, dir / "name.: unknown format\n");
}
