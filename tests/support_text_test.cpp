// Text routines under both sets of character rules.
#include <gtest/gtest.h>

#include <string>

#include "support/text.h"

namespace {

const int kBoth = -1;

// Runs a row under one set of rules and puts the platform's back.
struct Rules {
    explicit Rules(int r) : saved(text_rules) { text_rules = r; }
    ~Rules() { text_rules = saved; }
    int saved;
};

char *ext(const char *path, int) { return findExt(path); }

// U+30C9 is E3 83 89 in UTF-8; its last byte is a Shift_JIS lead byte, so a
// Shift_JIS walk swallows the '/' behind it and the folder's "." is taken
// for the extension.
const char kDo[] = "\xE3\x83\x89.d\xE3\x83\x89/c";

} // namespace

TEST(Text, FindsWholeCharacters)
{
    // where the routine finds c in the text, or -1
    const struct { int rules; char *(*fn)(const char *, int); const char *text; int c; long at; } rows[] = {
        {kBoth, ext, "abc.jpg", 0, 3},     {kBoth, ext, "dir.x/file", 0, -1}, {kBoth, ext, "dir/.hidden", 0, 4},
        {kBoth, ext, "a.b.gif", 0, 3},     {kBoth, ext, "name.", 0, 4},
        // 0x95 0x5C is one character whose second byte looks like a backslash
        {TEXT_SJIS, Strrchr, "dir\x95\x5C" "file.txt", '\\', -1}, {TEXT_SJIS, Strchr, "dir\x95\x5C" "file.txt", '\\', -1},
        {TEXT_SJIS, Strrchr, "a\\dir\x95\x5C\\x.gif", '\\', 7},  {TEXT_SJIS, Strchr, "a\\dir\x95\x5C\\x.gif", '\\', 1},
        // a lead byte right before the terminator ends the walk cleanly; the terminator is not found
        {TEXT_SJIS, Strchr, "ab\x95", 'z', -1}, {TEXT_SJIS, Strchr, "x%d", '%', 1}, {TEXT_SJIS, Strchr, "x%d", 0, -1},
        {TEXT_UTF8, Strrchr, kDo, '/', 8}, {TEXT_UTF8, ext, kDo, 0, -1},
        {TEXT_SJIS, Strrchr, kDo, '/', -1}, {TEXT_SJIS, ext, kDo, 0, 3},
    };
    for (const auto &r : rows)
        for (int rules : {TEXT_SJIS, TEXT_UTF8}) {
            if (r.rules != kBoth && r.rules != rules)
                continue;
            Rules set(rules);
            const char *found = r.fn(r.text, r.c);
            EXPECT_EQ(found ? found - r.text : -1, r.at) << r.text << ", rules " << rules;
        }
}

TEST(Text, ComparesAndLowersOnlyOneByteAscii)
{
    // StrnCmp's result, n -1 for StrCmp
    const struct { int rules; const char *a, *b; int n, want; } compares[] = {
        {kBoth, "BMP", "bmp", -1, 0}, {kBoth, "bmp", "bm2", -1, 1}, {kBoth, "bmp", "bmpx", -1, -1},
        {kBoth, "bmpx", "bmp", -1, 1}, {kBoth, "bmpx", "BMPY", 3, 0}, {kBoth, "bmpx", "BMPY", 4, -1},
        {kBoth, "", "", -1, 0}, {TEXT_UTF8, "\xC3\xA9", "\xC3\x89", -1, 1}, // U+00E9 and U+00C9 match exactly
        // full-width A and a: no folding, and a second byte 'A' (0x41) must match exactly
        {TEXT_SJIS, "\x82\x60", "\x82\x81", -1, -1}, {TEXT_SJIS, "\x83\x41", "\x83\x61", -1, -1},
        {TEXT_SJIS, "\x83\x41z", "\x83\x41Z", -1, 0},
        // half-width katakana are one-byte characters that match exactly; the letter after them still folds
        {TEXT_SJIS, "\xB1\xB2X", "\xB1\xB2x", -1, 0}, {TEXT_SJIS, "\xB1", "\xB2", -1, -1},
        {TEXT_SJIS, "\xB1", "\x82\x60", -1, -1}, {TEXT_SJIS, "a", "\x82\x60", -1, -1},
    };
    for (const auto &r : compares)
        for (int rules : {TEXT_SJIS, TEXT_UTF8}) {
            if (r.rules != kBoth && r.rules != rules)
                continue;
            Rules set(rules);
            EXPECT_EQ(r.n < 0 ? StrCmp(r.a, r.b) : StrnCmp(r.a, r.b, r.n), r.want) << r.a << " " << r.b << ", rules " << rules;
        }
    // under UTF-8 every ASCII byte is a character of its own
    const struct { int rules; std::string text, want; } lowers[] = {
        {TEXT_SJIS, "JPEG", "jpeg"}, {TEXT_SJIS, "\x83\x41X", "\x83\x41x"}, {TEXT_SJIS, "\xB1X", "\xB1x"},
        {TEXT_SJIS, "A\x83", "a\x83"}, {TEXT_UTF8, "\xE3\x83\x89X.GIF", "\xE3\x83\x89x.gif"},
    };
    for (auto r : lowers) {
        Rules set(r.rules);
        to_lower(&r.text[0]);
        EXPECT_EQ(r.text, r.want);
    }
}
