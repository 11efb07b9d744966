// The plug-in registry: the loader's failure messages in default mode, the
// keys all-plug-ins mode takes from file names, and the state freePlugin
// leaves.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#include "support/host_util.h"

namespace fs = std::filesystem;

namespace {

// Keys of the records in list order, "null" for none: "gif,jpg,null" is
// two plug-ins and the empty record the next load would fill.
std::string keys()
{
    std::string k;
    for (const PluginRecord *r = &PluginInfo; r != nullptr; r = r->next)
        k += std::string(r->type != nullptr ? r->type : "null") + ",";
    k.pop_back();
    return k;
}

int load(int mode, const std::string &dir, std::string *err)
{
    testing::internal::CaptureStderr();
    int r = readPlugin(mode, dir.c_str(), "");
    *err = testing::internal::GetCapturedStderr();
    return r;
}

} // namespace

// One default plug-in fails to load: spi is the test plug-in put in its
// place, or none, or a text file. The others still load, ifjpeg.spi
// into PluginInfo itself when ifgif.spi fails. "@" in the message stands
// for the directory.
class DefaultLoad : public testing::TestWithParam<std::tuple<std::string, std::string, std::string, std::string>> {};

TEST_P(DefaultLoad, ReportsAndGoesOn)
{
    auto [file, spi, list, message] = GetParam();
    BmpTempDir dir;
    for (const char *f : {"ifgif.spi", "ifjpeg.spi", "iftiff.spi"})
        if (f != file)
            fs::copy_file(hostSpi("ifprobe"), dir.file(f));
    if (spi == "text")
        std::ofstream(dir.file(file)) << "not a library\n";
    else if (spi != "none")
        fs::copy_file(hostSpi(spi.c_str()), dir.file(file));
    std::string err;
    EXPECT_EQ(load(0, dir.path, &err), 1);
    EXPECT_EQ(err, message[0] == '@' ? dir.path + message.substr(1) : message);
    EXPECT_EQ(keys(), list);
    freePlugin();
}

INSTANTIATE_TEST_SUITE_P(
    Loader, DefaultLoad,
    testing::Values(
        std::tuple{"iftiff.spi", "none", "gif,jpg,null", "iftiff.spi: Plug-in not loaded\n"},
        std::tuple{"ifgif.spi", "text", "jpg,tif,null", "ifgif.spi: Plug-in not loaded\n"},
        std::tuple{"ifgif.spi", "ifnoexport", "jpg,tif,null", "@/ifgif.spi: Plug-in error\n"},
        std::tuple{"ifgif.spi", "ifbadver", "jpg,tif,null", "00AM: The version of Plug-in is not \"nnIx\" type.\n"},
        std::tuple{"ifgif.spi", "ifzerover", "jpg,tif,null", "00IN: The version of Plug-in is not \"nnIx\" type.\n"},
        std::tuple{"ifgif.spi", "iflongver", "jpg,tif,null",
                   "0123456789: The version of Plug-in is not \"nnIx\" type.\n"}));

TEST(PluginRegistry, PathTooLongIsRefused)
{
    // ifgif.spi makes a path of exactly 1023 characters, the others 1024;
    // the message editor cuts those lines.
    std::string dir = "/nonexistent/" + std::string(1000, 'd'), err;
    EXPECT_EQ(load(0, dir, &err), 1);
    EXPECT_EQ(err, "ifgif.spi: Plug-in not loaded\n" + dir + ": path too " + dir + ": path too ");
    EXPECT_EQ(keys(), "null");
}

// The key all-plug-ins mode takes from a file name. A name passed over
// leaves nothing loaded, which fails without a message, as an empty
// directory ("") does.
class AllModeKey : public testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(AllModeKey, FromFileName)
{
    auto [file, list] = GetParam();
    BmpTempDir dir;
    if (!file.empty())
        fs::copy_file(hostSpi("ifprobe"), dir.file(file));
    std::string err;
    EXPECT_EQ(load(2, dir.path, &err), list == "null");
    EXPECT_EQ(err, "");
    EXPECT_EQ(keys(), list);
    freePlugin();
}

INSTANTIATE_TEST_SUITE_P(Names, AllModeKey,
                         testing::Values(std::pair{"IFJPEG.SPI", "jpg,null"}, std::pair{"iftiff.spi", "tif,null"},
                                         std::pair{"ifjpe.spi", "jpe,null"}, std::pair{"ifpi.x.spi", "pi,null"},
                                         std::pair{"if.spi", ",null"}, std::pair{"ifasad.spi", "null"},
                                         std::pair{"axzip.spi", "null"}, std::pair{"ifnodotspi", "null"},
                                         std::pair{"", "null"}));

TEST(PluginRegistry, FirstOfAKeyIsAskedAndFreePluginLeavesNothingToCall)
{
    BmpTempDir dir;
    fs::copy_file(hostSpi("ifprobe"), dir.file("ifgif.spi"));
    fs::copy_file(hostSpi("ifprobe"), dir.file("xxgif.spi"));
    fs::copy_file(hostSpi("ifnoexport"), dir.file("zzbad.spi"));
    std::string err;
    EXPECT_EQ(load(2, dir.path, &err), 1);
    ASSERT_EQ(keys(), "gif,gif,bad");
    // Only the first plug-in of a key is asked, and its failure is final.
    EXPECT_EQ(hostRead(dir.file("a.gif"), "3", &err), -1);
    EXPECT_EQ(hostProbeCalls(&PluginInfo), 1);
    EXPECT_EQ(hostProbeCalls(PluginInfo.next), 0);

    // Unloaded records keep an empty key; the refused one, never holding a
    // library, keeps its own. Neither may be asked.
    freePlugin();
    EXPECT_EQ(keys(), ",,bad");
    EXPECT_EQ(plugin_map, 0);
    EXPECT_EQ(isValidImageType("gif"), 0);
    for (const char *name : {"a.gif", "a.bad"}) {
        EXPECT_EQ(hostRead(dir.file(name), "0", &err), -1);
        EXPECT_EQ(err, dir.file(name) + ": unknown format\n");
    }
}
