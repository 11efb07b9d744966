// Message output: every diagnostic and console question goes to standard
// error through errmsg, expanded by the program's own small format editor.
#ifndef VEXEL_SUPPORT_MSG_H
#define VEXEL_SUPPORT_MSG_H

#include <cstdarg>

void errmsg(const char *format, ...);
// Expands format with the conversions %c %d %x %f %s (no flags, widths or
// length letters) into a static buffer that the next call overwrites.
const char *err_edit(const char *format, va_list args);

#endif
