// The plug-in registry: default and all-plug-ins loading, the loader's
// failure messages, the state freePlugin leaves, and the program's stop on
// a missing default plug-in.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "plugins/registry.h"
#include "support/host_util.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::vector<std::string> keysOf(const std::vector<const PluginRecord *> &list)
{
    std::vector<std::string> keys;
    for (const PluginRecord *r : list)
        keys.push_back(r->type ? r->type : "(null)");
    return keys;
}

// The last record of a list is the empty one the next load would fill.
void expectEmptyTail(const std::vector<const PluginRecord *> &list)
{
    ASSERT_FALSE(list.empty());
    const PluginRecord *tail = list.back();
    EXPECT_EQ(tail->hLib, nullptr);
    EXPECT_EQ(tail->type, nullptr);
}

} // namespace

TEST(PluginRegistry, DefaultModeLoadsAllThreeAndModeOneAppends)
{
    HostTempDir dir;
    for (const char *f : {"ifgif.spi", "ifjpeg.spi", "iftiff.spi"})
        hostCopySpi("ifprobe", dir.path, f);
    CaptureStderr();
    int r = readPlugin(0, dir.path.c_str(), "");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(r, 0);
    auto list = hostRecords();
    EXPECT_EQ(keysOf(list), (std::vector<std::string>{"gif", "jpg", "tif", "(null)"}));
    for (size_t i = 0; i < 3; i++) {
        EXPECT_NE(list[i]->hLib, nullptr);
        EXPECT_NE(list[i]->GetPicture, nullptr);
        EXPECT_NE(list[i]->GetPictureInfo, nullptr);
    }
    expectEmptyTail(list);
    EXPECT_EQ(plugin_map, 7);
    EXPECT_EQ(isValidImageType("JPEG"), 1);
    EXPECT_EQ(isValidImageType("Tiff"), 1);
    EXPECT_EQ(isValidImageType("bmp"), 1);
    EXPECT_EQ(isValidImageType("imp"), 1);
    EXPECT_EQ(isValidImageType("mag"), 0);

    // Mode 1 appends behind the list, into the empty record.
    EXPECT_EQ(readPlugin(1, hostSpi("ifprobe").c_str(), "mag"), 0);
    EXPECT_EQ(keysOf(hostRecords()), (std::vector<std::string>{"gif", "jpg", "tif", "mag", "(null)"}));
    EXPECT_EQ(isValidImageType("MAG"), 1);
    CaptureStderr();
    EXPECT_EQ(readPlugin(1, (dir / "ifmissing.spi").c_str(), "pi"), 1);
    EXPECT_EQ(GetCapturedStderr(), "ifmissing.spi: Plug-in not loaded\n");
    EXPECT_EQ(hostRecords().size(), 5u);
    freePlugin();
}

TEST(PluginRegistry, DefaultModeReportsMissingTiff)
{
    HostTempDir dir;
    hostCopySpi("ifprobe", dir.path, "ifgif.spi");
    hostCopySpi("ifprobe", dir.path, "ifjpeg.spi");
    CaptureStderr();
    int r = readPlugin(0, dir.path.c_str(), "");
    EXPECT_EQ(GetCapturedStderr(), "iftiff.spi: Plug-in not loaded\n");
    EXPECT_EQ(r, 1);
    auto list = hostRecords();
    EXPECT_EQ(keysOf(list), (std::vector<std::string>{"gif", "jpg", "(null)"}));
    expectEmptyTail(list);
    EXPECT_EQ(plugin_map, 3);
    freePlugin();
}

// Each way a load can fail, tried on ifgif.spi: the message, and the
// plug-ins behind it still load, ifjpeg.spi into the first record.
struct LoadFailure {
    const char *what;
    const char *spi; // test plug-in copied as ifgif.spi; null: a text file
    std::string message; // "@" stands for the directory
};

void PrintTo(const LoadFailure &c, std::ostream *os)
{
    *os << c.what;
}

class PluginLoadFailure : public testing::TestWithParam<LoadFailure> {};

TEST_P(PluginLoadFailure, ReportsAndGoesOn)
{
    const LoadFailure &c = GetParam();
    HostTempDir dir;
    if (c.spi != nullptr)
        hostCopySpi(c.spi, dir.path, "ifgif.spi");
    else
        hostWriteFile(dir / "ifgif.spi", "not a library\n");
    hostCopySpi("ifprobe", dir.path, "ifjpeg.spi");
    hostCopySpi("ifprobe", dir.path, "iftiff.spi");
    std::string want = c.message;
    if (want[0] == '@')
        want = dir.path + want.substr(1);

    CaptureStderr();
    int r = readPlugin(0, dir.path.c_str(), "");
    EXPECT_EQ(GetCapturedStderr(), want);
    EXPECT_EQ(r, 1);
    auto list = hostRecords();
    EXPECT_EQ(keysOf(list), (std::vector<std::string>{"jpg", "tif", "(null)"}));
    EXPECT_NE(PluginInfo.hLib, nullptr);
    EXPECT_EQ(hostProbeCalls(&PluginInfo), 0);
    EXPECT_EQ(plugin_map, 5);
    EXPECT_EQ(isValidImageType("gif"), 0);
    freePlugin();
}

INSTANTIATE_TEST_SUITE_P(
    Loader, PluginLoadFailure,
    testing::Values(LoadFailure{"NotALibrary", nullptr, "ifgif.spi: Plug-in not loaded\n"},
                    LoadFailure{"NoIsSupported", "ifnoexport", "@/ifgif.spi: Plug-in error\n"},
                    LoadFailure{"WrongVersion", "ifbadver", "00AM: The version of Plug-in is not \"nnIx\" type.\n"},
                    LoadFailure{"ZeroResult", "ifzerover", "00IN: The version of Plug-in is not \"nnIx\" type.\n"},
                    LoadFailure{"Unterminated", "iflongver",
                                "0123456789: The version of Plug-in is not \"nnIx\" type.\n"}),
    [](const testing::TestParamInfo<LoadFailure> &i) { return std::string(i.param.what); });

TEST(PluginRegistry, AllModeKeysFromFileNames)
{
    HostTempDir dir;
    const char *names[] = {"ifgif.spi", "IFJPEG.SPI", "iftiff.spi", "ifpic2.spi", "ifpi.x.spi", "if.spi",
                           "axzip.spi", "ifasad.spi", "iflhasd.spi", "ifjpe.spi", "ifnodotspi", ".ifhid.spi"};
    for (const char *n : names)
        hostCopySpi("ifprobe", dir.path, n);
    // Neither a directory nor a name of another ending is a candidate.
    std::filesystem::create_directory(dir / "ifdir.spi");
    hostWriteFile(dir / "ifgif.txt", "");

    CaptureStderr();
    int r = readPlugin(2, dir.path.c_str(), "");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(r, 0);
    // In byte order of the names: IFJPEG.SPI, if.spi, ifgif, ifjpe, iflhasd,
    // ifpi.x, ifpic2, iftiff.
    auto list = hostRecords();
    EXPECT_EQ(keysOf(list),
              (std::vector<std::string>{"jpg", "", "gif", "jpe", "lhasd", "pi", "pic2", "tif", "(null)"}));
    expectEmptyTail(list);
    EXPECT_EQ(plugin_map, 7);
    freePlugin();
}

TEST(PluginRegistry, AllModeWithNothingToLoadFailsQuietly)
{
    HostTempDir empty, skipped, other;
    hostCopySpi("ifprobe", skipped.path, "axzip.spi");
    hostCopySpi("ifprobe", skipped.path, "IFASAD.SPI");
    hostCopySpi("ifprobe", skipped.path, "ifnodotspi");
    hostWriteFile(other / "readme.txt", "");
    for (const std::string &d : {empty.path, skipped.path, other.path, empty / "absent"}) {
        CaptureStderr();
        EXPECT_EQ(readPlugin(2, d.c_str(), ""), 1) << d;
        EXPECT_EQ(GetCapturedStderr(), "") << d;
        EXPECT_EQ(PluginInfo.hLib, nullptr);
        EXPECT_EQ(PluginInfo.next, nullptr);
        freePlugin();
    }
}

TEST(PluginRegistry, AllModeFailsOnAFaultyEntryButLoadsTheRest)
{
    HostTempDir dir;
    hostWriteFile(dir / "ifbad.spi", "text, not a library\n");
    hostCopySpi("ifprobe", dir.path, "ifgif.spi");
    hostCopySpi("ifbadver", dir.path, "ifmag.spi");
    hostCopySpi("ifprobe", dir.path, "ifpi.spi");
    CaptureStderr();
    int r = readPlugin(2, dir.path.c_str(), "");
    EXPECT_EQ(GetCapturedStderr(),
              "ifbad.spi: Plug-in not loaded\n00AM: The version of Plug-in is not \"nnIx\" type.\n");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(keysOf(hostRecords()), (std::vector<std::string>{"gif", "pi", "(null)"}));
    freePlugin();
}

TEST(PluginRegistry, PathsAtTheBufferLimit)
{
    // With this directory ifgif.spi makes a path of exactly 1023
    // characters, ifjpeg.spi and iftiff.spi one more.
    std::string dir = "/nonexistent/" + std::string(1000, 'd');
    ASSERT_EQ(dir.size() + 1 + std::strlen("ifgif.spi"), 1023u);
    CaptureStderr();
    int r = readPlugin(0, dir.c_str(), "");
    std::string err = GetCapturedStderr();
    EXPECT_EQ(r, 1);
    EXPECT_EQ(err.rfind("ifgif.spi: Plug-in not loaded\n", 0), 0u) << err;
    // The message editor cuts a line that long; the directory leads it.
    std::string rest = err.substr(std::strlen("ifgif.spi: Plug-in not loaded\n"));
    EXPECT_EQ(rest.rfind(dir + ": path", 0), 0u);
    EXPECT_NE(rest.find(dir + ": path", 1), std::string::npos);
    EXPECT_EQ(PluginInfo.hLib, nullptr);
    EXPECT_EQ(PluginInfo.next, nullptr);
    freePlugin();
}

TEST(PluginRegistry, FreePluginUnloadsEveryRecord)
{
    HostTempDir dir;
    for (const char *f : {"ifgif.spi", "ifjpeg.spi", "iftiff.spi", "ifmag.spi"})
        hostCopySpi("ifprobe", dir.path, f);
    hostCopySpi("ifnoexport", dir.path, "ifzz.spi");
    CaptureStderr();
    ASSERT_EQ(readPlugin(2, dir.path.c_str(), ""), 1);
    GetCapturedStderr();
    auto list = hostRecords();
    ASSERT_EQ(list.size(), 5u); // four loaded, the refused one as current

    freePlugin();
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(list[i]->hLib, nullptr) << i;
        ASSERT_NE(list[i]->type, nullptr) << i;
        EXPECT_STREQ(list[i]->type, "") << i;
    }
    // The refused record never held a library and keeps its key.
    EXPECT_EQ(list[4]->hLib, nullptr);
    EXPECT_STREQ(list[4]->type, "zz");
    EXPECT_EQ(plugin_map, 0);
    EXPECT_EQ(isValidImageType("gif"), 0);
    EXPECT_EQ(isValidImageType(""), 0);
}

TEST(VexelProgram, MissingDefaultPluginStopsBeforeAnyFile)
{
    HostTempDir dir, work;
    hostCopySpi("ifprobe", dir.path, "ifgif.spi");
    hostCopySpi("ifprobe", dir.path, "ifjpeg.spi");
    hostWriteFile(work / "a.gif", "0\n");
    std::string err;
    int status = hostRunVexel({"-d", dir.path, work / "a.gif", work / "out.bmp"}, &err);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "iftiff.spi: Plug-in not loaded\n");
    EXPECT_FALSE(hostFileExists(work / "out.bmp"));
}
