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
    // No widths or length letters: "%5" is appended as it stands and the
    // argument waits for the next real conversion.
    EXPECT_EQ(edit("%5d|%d", 7), "%5d|7");
    EXPECT_EQ(edit("%ld|%s", "x"), "%ld|x");
    // A text argument is not expanded again.
    EXPECT_EQ(edit("%s: file not found\n", "a%d%s.gif"), "a%d%s.gif: file not found\n");
}

TEST(ErrEdit, LongTextsAreCut)
{
    // A text that would carry the message past 1024 is cut to end it at 768
    // characters; one that fits is taken whole, even past 768; after 800
    // characters nothing more of it comes.
    EXPECT_EQ(edit("%s: writing error\n", std::string(2000, 'n').c_str()), std::string(768, 'n') + ": writing error\n");
    EXPECT_EQ(edit("%s", std::string(1000, 'f').c_str()), std::string(1000, 'f'));
    std::string head(800, 'h');
    EXPECT_EQ(edit("%s%s|", head.c_str(), std::string(300, 'x').c_str()), head + "|");
    EXPECT_EQ(edit("%s%s", head.c_str(), std::string(224, 'x').c_str()).size(), 1024u);
    EXPECT_EQ(edit("%s%s", head.c_str(), std::string(225, 'x').c_str()).size(), 800u);
    // Literals stop at 1024, but one conversion more still fits whole.
    EXPECT_EQ(edit(std::string(1100, 'l').c_str()).size(), 1024u);
    EXPECT_EQ(edit((std::string(1023, 'l') + "%f").c_str(), 1e300).size(), 1023u + 301u + 7u);
}

TEST(ErrMsg, PrintsFormatWithoutPercentUnchanged)
{
    testing::internal::CaptureStderr();
    errmsg("plug-in directory not given\n");
    errmsg("%s: not found", "dir%d");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "plug-in directory not given\ndir%d: not found");
}
