// The message editor.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "support/msg.h"

namespace {

std::string edit(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string s = err_edit(format, args);
    va_end(args);
    return s;
}

} // namespace

TEST(ErrEdit, Conversions)
{
    EXPECT_EQ(edit("%s: not found", "out"), "out: not found");
    EXPECT_EQ(edit("%c drive: no free disk space\n", 67), "C drive: no free disk space\n");
    EXPECT_EQ(edit("%d|%x|%f", -12, 255, 1.5), "-12|ff|1.500000");
    EXPECT_EQ(edit("100%%"), "100%%");
    EXPECT_EQ(edit("%q%s", "a"), "%qa");
    EXPECT_EQ(edit("end%"), "end%");
    EXPECT_EQ(edit(""), "");
}

TEST(ErrEdit, WidthsAndLengthLettersPassThrough)
{
    // No widths or length letters: "%5" is appended as it stands and the
    // argument waits for the next real conversion.
    EXPECT_EQ(edit("%5d|%d", 7), "%5d|7");
    EXPECT_EQ(edit("%ld|%s", "x"), "%ld|x");
}

TEST(ErrEdit, TextArgumentIsNotExpandedAgain)
{
    EXPECT_EQ(edit("%s: file not found\n", "a%d%s.gif"), "a%d%s.gif: file not found\n");
}

TEST(ErrEdit, LongTextIsCutAt768)
{
    std::string name(2000, 'n');
    std::string out = edit("%s: writing error\n", name.c_str());
    EXPECT_EQ(out, std::string(768, 'n') + ": writing error\n");

    // A text that fits within 1024 is taken whole, even past 768.
    std::string fits(1000, 'f');
    EXPECT_EQ(edit("%s", fits.c_str()), fits);
    // One that would pass 1024 after 800 characters gives nothing more.
    std::string head(800, 'h');
    EXPECT_EQ(edit("%s%s|", head.c_str(), std::string(300, 'x').c_str()), head + "|");
    // Limit at N and N+1: a text ending exactly at 1024 stays whole.
    EXPECT_EQ(edit("%s%s", head.c_str(), std::string(224, 'x').c_str()).size(), 1024u);
    EXPECT_EQ(edit("%s%s", head.c_str(), std::string(225, 'x').c_str()).size(), 800u);
}

TEST(ErrEdit, LiteralsStopAt1024ButOneConversionFits)
{
    std::string lit(1100, 'l');
    EXPECT_EQ(edit(lit.c_str()).size(), 1024u);
    std::string fmt = std::string(1023, 'l') + "%f";
    std::string out = edit(fmt.c_str(), 1e300);
    EXPECT_EQ(out.size(), 1023u + 301u + 7u);
}

TEST(ErrMsg, PrintsFormatWithoutPercentUnchanged)
{
    testing::internal::CaptureStderr();
    errmsg("plug-in directory not given\n");
    errmsg("%s: not found", "dir%d");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "plug-in directory not given\ndir%d: not found");
}
