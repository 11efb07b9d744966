#include "support/msg.h"

#include <cstdio>
#include <cstring>

#include "support/text.h"

namespace {

constexpr size_t kEditLimit = 1024;
// The text stops growing at kEditLimit characters, but one conversion other
// than %s is still appended whole; the longest is a %f of the largest
// double (about 320 characters).
char edit_buf[kEditLimit + 400];

} // namespace

const char *err_edit(const char *format, va_list args)
{
    size_t len = 0;
    edit_buf[0] = '\0';
    const char *f = format;
    while (*f != '\0' && len < kEditLimit) {
        if (*f != '%') {
            edit_buf[len++] = *f++;
            continue;
        }
        if (f[1] == '\0') {
            edit_buf[len++] = '%';
            break;
        }
        char conv = f[1];
        f += 2;
        char tmp[400];
        tmp[0] = '\0';
        switch (conv) {
        case 'c':
            tmp[0] = char(va_arg(args, int));
            tmp[1] = '\0';
            break;
        case 'd':
            std::snprintf(tmp, sizeof tmp, "%d", va_arg(args, int));
            break;
        case 'x':
            std::snprintf(tmp, sizeof tmp, "%x", va_arg(args, unsigned));
            break;
        case 'f':
            std::snprintf(tmp, sizeof tmp, "%f", va_arg(args, double));
            break;
        case 's': {
            const char *s = va_arg(args, const char *);
            if (s == nullptr)
                s = "(null)";
            size_t n = std::strlen(s);
            // A text that would carry the message past the limit is cut so
            // that the message ends at 768 characters, leaving room for
            // what the format says after it.
            if (len + n > kEditLimit)
                n = len >= 768 ? 0 : 768 - len;
            std::memcpy(edit_buf + len, s, n);
            len += n;
            continue;
        }
        default:
            std::snprintf(tmp, sizeof tmp, "%%%c", conv);
            break;
        }
        size_t n = conv == 'c' ? 1 : std::strlen(tmp);
        std::memcpy(edit_buf + len, tmp, n);
        len += n;
    }
    edit_buf[len] = '\0';
    return edit_buf;
}

void errmsg(const char *format, ...)
{
    const char *text = format;
    if (Strchr(format, '%') != nullptr) {
        va_list args;
        va_start(args, format);
        text = err_edit(format, args);
        va_end(args);
    }
    std::fprintf(stderr, "%s", text);
    std::fflush(stderr);
}
