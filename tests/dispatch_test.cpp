// Input dispatch: extension folding, the native reader or a plug-in, the
// GetPicture result messages under vexel_msgout, and the image serial.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>

#include "imp/imp.h"
#include "support/host_util.h"

TEST(InputDispatch, TypeFromTheExtension)
{
    for (const char *k : {"jpg", "tif", "gif", "", "abcdefghijklmnopqrst", "bmp", "bm2", "imp", "c"})
        ASSERT_EQ(readPlugin(1, hostSpi("ifprobe").c_str(), k), 0) << k;
    BmpTempDir dir;
    // The message behind the path; "" when the probe plug-in read the file.
    const struct { const char *name, *message; } cases[] = {
        {"photo.JPEG", ""}, {"photo.jpe", ""}, {"photo.Jpg", ""}, {"scan.TIFF", ""}, {"a.b.GIF", ""}, {"name.", ""},
        // Only the first 20 characters of an extension count.
        {"x.abcdefghijklmnopqrst", ""}, {"x.ABCDEFGHIJKLMNOPQRSTUVWXYZ", ""},
        {"x.abcdefghijklmnopqrs", ": unknown format\n"}, {"photo.jpeg2", ": unknown format\n"},
        {"scan.tiff.bak", ": unknown format\n"}, {"image.mag", ": unknown format\n"},
        // Native types go to the bitmap reader, which refuses the text.
        {"picture.BMP", ": failed to read header\n"}, {"picture.Bm2", ": failed to read header\n"},
        {"picture.imp", ": failed to read header\n"},
        {"noext", ": no file extention\n"}, {"a.b/c", ": no file extention\n"}, {"dir.d/", ": no file extention\n"},
    };
    int id = impInfoDataId, calls = 0, counted = 0;
    for (const auto &c : cases) {
        std::string path = dir.file(c.name), err;
        EXPECT_EQ(hostRead(path, "0", &err), *c.message ? -1 : 0) << c.name;
        EXPECT_EQ(err, *c.message ? path + c.message : "") << c.name;
        calls += *c.message == '\0';
        counted += std::strstr(c.message, "extention") == nullptr;
    }
    EXPECT_EQ(hostProbeCalls(&PluginInfo), calls);
    // Every file with an extension takes the next serial, while that is on.
    EXPECT_EQ(impInfoDataId, id + counted);
    impInfoData_setFlg = 0;
    std::string err;
    EXPECT_EQ(hostRead(dir.file("a.gif"), "0", &err), 0);
    EXPECT_EQ(impInfoDataId, id + counted);
    impInfoData_setFlg = 1;
    freePlugin();
}

// A failed GetPicture: its message, printed only while vexel_msgout is
// set. A success with a pair the program cannot use is broken data, and
// that pair is released, once.
TEST(InputDispatch, PictureResultsFollowMsgout)
{
    ASSERT_EQ(readPlugin(1, hostSpi("ifprobe").c_str(), "gif"), 0);
    BmpTempDir dir;
    const struct { const char *input, *message; } cases[] = {
        {"2", ": unknown format\n"},       {"3", ": broken data file\n"},      {"6", ": file not found\n"},
        {"1", ": cannot convert\n"},       {"4", ": cannot convert\n"},        {"8", ": cannot convert\n"},
        {"-1", ": cannot convert\n"},      {"noinfo", ": broken data file\n"}, {"nobits", ": broken data file\n"},
        {"shortinfo", ": broken data file\n"}, {"shortbits", ": broken data file\n"},
        {"hugebits", ": broken data file\n"},  {"same", ": broken data file\n"},
        {"stray", ": broken data file\n"},
    };
    std::string gif = dir.file("p.gif"), mag = dir.file("p.mag"), err;
    for (int msgout : {1, 0}) {
        vexel_msgout = msgout;
        for (const auto &c : cases) {
            EXPECT_EQ(hostRead(gif, c.input, &err), -1) << c.input;
            EXPECT_EQ(err, msgout ? gif + c.message : "") << c.input << " msgout " << msgout;
        }
        // No plug-in for the type: reported whatever vexel_msgout says.
        EXPECT_EQ(hostRead(mag, "0", &err), -1);
        EXPECT_EQ(err, mag + ": unknown format\n");
    }
    vexel_msgout = 1;
    EXPECT_EQ(hostProbeCalls(&PluginInfo), 2 * int(std::size(cases)));
    freePlugin();
}
