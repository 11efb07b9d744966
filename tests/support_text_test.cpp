// Text routines under both sets of character rules.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support/text.h"

namespace {

// Runs a test body under one set of rules and puts the platform's back.
struct Rules {
    explicit Rules(int r) : saved(text_rules) { text_rules = r; }
    ~Rules() { text_rules = saved; }
    int saved;
};

std::string lowered(const char *s)
{
    std::string t = s;
    to_lower(&t[0]);
    return t;
}

} // namespace

TEST(Text, FindExtTakesLastDotOfLastComponent)
{
    std::string sep(1, PATH_SEP);
    for (int r : {TEXT_SJIS, TEXT_UTF8}) {
        Rules rules(r);
        const char *p = "abc.jpg";
        EXPECT_EQ(findExt(p), p + 3);
        std::string q = "dir.x" + sep + "file";
        EXPECT_EQ(findExt(q.c_str()), nullptr);
        std::string h = "dir" + sep + ".hidden";
        EXPECT_EQ(findExt(h.c_str()), h.c_str() + 4);
        const char *m = "a.b.gif";
        EXPECT_EQ(findExt(m), m + 3);
        EXPECT_STREQ(findExt("name."), ".");
    }
}

TEST(Text, SjisSecondByteIsNeverASeparator)
{
    Rules rules(TEXT_SJIS);
    // 0x95 0x5C is one character whose second byte looks like a backslash.
    const char *p = "dir\x95\x5C" "file.txt";
    EXPECT_EQ(Strrchr(p, '\\'), nullptr);
    EXPECT_EQ(Strchr(p, '\\'), nullptr);
    const char *q = "a\\dir\x95\x5C\\x.gif";
    EXPECT_EQ(Strrchr(q, '\\'), q + 7);
    EXPECT_EQ(Strchr(q, '\\'), q + 1);
    // A lead byte right before the terminator ends the walk cleanly.
    EXPECT_EQ(Strchr("ab\x95", 'z'), nullptr);
    const char *pc = "x%d";
    EXPECT_EQ(Strchr(pc, '%'), pc + 1);
    EXPECT_EQ(Strchr(pc, 0), nullptr);
}

TEST(Text, Utf8FolderBeforeSlashKeepsThePath)
{
    // U+30C9 is E3 83 89 in UTF-8; its last byte is a Shift_JIS lead byte,
    // so a Shift_JIS walk swallows the '/' behind it and the folder's "."
    // is taken for the extension.
    const char *p = "\xE3\x83\x89.d\xE3\x83\x89/c";
    {
        Rules rules(TEXT_UTF8);
        EXPECT_EQ(Strrchr(p, '/'), p + 8);
        if (PATH_SEP == '/') {
            EXPECT_EQ(findExt(p), nullptr);
        }
    }
    {
        Rules rules(TEXT_SJIS);
        EXPECT_EQ(Strrchr(p, '/'), nullptr);
        if (PATH_SEP == '/') {
            EXPECT_EQ(findExt(p), p + 3);
        }
    }
}

TEST(Text, CompareFoldsOnlyOneByteAscii)
{
    for (int r : {TEXT_SJIS, TEXT_UTF8}) {
        Rules rules(r);
        EXPECT_EQ(StrCmp("BMP", "bmp"), 0);
        EXPECT_NE(StrCmp("bmp", "bm2"), 0);
        EXPECT_EQ(StrCmp("bmp", "bmpx"), -1);
        EXPECT_EQ(StrCmp("bmpx", "bmp"), 1);
        EXPECT_EQ(StrnCmp("bmpx", "BMPY", 3), 0);
        EXPECT_NE(StrnCmp("bmpx", "BMPY", 4), 0);
        EXPECT_EQ(StrCmp("", ""), 0);
    }
    Rules rules(TEXT_SJIS);
    // 0x82 0x60 is full-width A, 0x82 0x81 full-width a: no folding, and a
    // second byte 'A' (0x41) must match exactly.
    EXPECT_NE(StrCmp("\x82\x60", "\x82\x81"), 0);
    EXPECT_NE(StrCmp("\x83\x41", "\x83\x61"), 0);
    EXPECT_EQ(StrCmp("\x83\x41z", "\x83\x41Z"), 0);
    // Half-width katakana are one-byte characters that match exactly; the
    // letter after them still folds.
    EXPECT_EQ(StrCmp("\xB1\xB2X", "\xB1\xB2x"), 0);
    EXPECT_NE(StrCmp("\xB1", "\xB2"), 0);
    EXPECT_EQ(StrCmp("\xB1", "\x82\x60"), -1);
    EXPECT_EQ(StrCmp("a", "\x82\x60"), -1);
}

TEST(Text, ToLowerLeavesTwoByteCharactersAlone)
{
    {
        Rules rules(TEXT_SJIS);
        EXPECT_EQ(lowered("JPEG"), "jpeg");
        EXPECT_EQ(lowered("\x83\x41X"), "\x83\x41x");  // second byte 0x41 stays
        EXPECT_EQ(lowered("\xB1X"), "\xB1x");          // katakana is one byte
        EXPECT_EQ(lowered("A\x83"), "a\x83");          // lead byte at the end
    }
    {
        Rules rules(TEXT_UTF8);
        // Under UTF-8 every ASCII byte is a character of its own.
        EXPECT_EQ(lowered("\xE3\x83\x89X.GIF"), "\xE3\x83\x89x.gif");
    }
}
