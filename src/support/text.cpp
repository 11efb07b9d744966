#include "support/text.h"

#include <cstring>

#include "platform/platform.h"

int text_rules = PLATFORM_TEXT_SJIS ? TEXT_SJIS : TEXT_UTF8;

namespace {

typedef unsigned char uchar;

// Shift_JIS lead byte: the first byte of a two-byte character.
bool isLead(uchar c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

bool isKana(uchar c)
{
    return c >= 0xA1 && c <= 0xDF;
}

// Under UTF-8 every byte of a multi-byte character is 0x80 or above, so an
// ASCII byte is always a character of its own and the walk goes byte by
// byte; a Shift_JIS walk would swallow the '/' behind a UTF-8 character
// whose last byte happens to look like a lead byte.
bool twoByte(uchar c)
{
    return text_rules == TEXT_SJIS && isLead(c);
}

} // namespace

char *Strchr(const char *text, int c)
{
    const uchar *p = reinterpret_cast<const uchar *>(text);
    uchar want = uchar(c);
    while (*p != 0) {
        if (*p == want)
            return const_cast<char *>(reinterpret_cast<const char *>(p));
        p += (twoByte(*p) && p[1] != 0) ? 2 : 1;
    }
    return nullptr;
}

char *Strrchr(const char *text, int c)
{
    const uchar *p = reinterpret_cast<const uchar *>(text);
    const uchar *last = nullptr;
    uchar want = uchar(c);
    while (*p != 0) {
        if (*p == want)
            last = p;
        p += (twoByte(*p) && p[1] != 0) ? 2 : 1;
    }
    return const_cast<char *>(reinterpret_cast<const char *>(last));
}

char *findExt(const char *path)
{
    const char *sep = Strrchr(path, PATH_SEP);
    const char *last = sep ? sep + 1 : path;
    // A "." is never the second byte of a two-byte character.
    return const_cast<char *>(std::strrchr(last, '.'));
}

int StrnCmp(const char *a, const char *b, int n)
{
    const uchar *x = reinterpret_cast<const uchar *>(a);
    const uchar *y = reinterpret_cast<const uchar *>(b);
    auto step = [&]() {
        x++;
        y++;
        if (n > 0)
            n--;
    };
    while (n != 0 && *x != 0 && *y != 0) {
        if (*x >= 0x80) {
            if (text_rules == TEXT_UTF8) {
                // Bytes of multi-byte characters match exactly.
                if (*x != *y)
                    return *x < *y ? -1 : 1;
                step();
                continue;
            }
            bool kx = isKana(*x), ky = isKana(*y);
            if (kx != ky)
                return kx ? -1 : 1;
            if (*x < *y)
                return -1;
            if (*x > *y)
                return 1;
            if (kx) {
                step();
                continue;
            }
            step(); // to the second byte
            if (*x < *y)
                return -1;
            if (*x > *y)
                return 1;
            if (*x == 0)
                return 0;
            step();
            continue;
        }
        if (*y >= 0x80)
            return -1;
        uchar fx = (*x >= 'A' && *x <= 'Z') ? uchar(*x + 0x20) : *x;
        uchar fy = (*y >= 'A' && *y <= 'Z') ? uchar(*y + 0x20) : *y;
        if (fx == fy) {
            step();
            continue;
        }
        if (fx == '\\')
            return -1;
        if (fy == '\\')
            return 1;
        return fx < fy ? -1 : 1;
    }
    if (n == 0)
        return 0;
    if (*x != 0)
        return 1;
    if (*y != 0)
        return -1;
    return 0;
}

int StrCmp(const char *a, const char *b)
{
    return StrnCmp(a, b, -1);
}

int to_lower(char *text)
{
    uchar *p = reinterpret_cast<uchar *>(text);
    while (*p != 0) {
        if (*p >= 0x80) {
            if (text_rules == TEXT_UTF8 || isKana(*p)) {
                p++;
                continue;
            }
            if (p[1] == 0)
                break;
            p += 2;
            continue;
        }
        if (*p >= 'A' && *p <= 'Z')
            *p = uchar(*p + 0x20);
        p++;
    }
    return 0;
}
