// Text and path routines that walk file names character by character, so
// that the second byte of a two-byte character is never taken for a path
// separator, a searched character or a letter to be folded.
#ifndef VEXEL_SUPPORT_TEXT_H
#define VEXEL_SUPPORT_TEXT_H

// The character rules of file names: Shift_JIS (code page 932) or UTF-8.
// Starts as the platform's own; tests switch it to try both.
enum { TEXT_UTF8 = 0, TEXT_SJIS = 1 };
extern int text_rules;

char *Strchr(const char *text, int c);
char *Strrchr(const char *text, int c);
// The "." that begins the extension of the path's last component, or null.
char *findExt(const char *path);
int StrCmp(const char *a, const char *b);
int StrnCmp(const char *a, const char *b, int n);
int to_lower(char *text);

#endif
