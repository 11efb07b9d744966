// Image output: a DIB pair written as a BMP, BM2 or IMP file.
#ifndef VEXEL_OUTPUT_OUTPUT_H
#define VEXEL_OUTPUT_OUTPUT_H

#include <cstdio>

#include "platform/platform.h"

// When set, the writer asks before it overwrites (never set by the program).
extern int write_chk;
// Free bytes left beside the last output closed, or -1.0 when unknown.
extern double FreeDiskSpace;

// Writes the picture to path, its kind chosen by the extension. infoLen and
// bitsLen are the sizes of the two blocks (-1 when not known), so that the
// writer never reads past what it was given. 0 written; 1 this picture
// cannot be written; -1 the output failed and the batch must stop.
int writeBitmap(BITMAPINFO *info, unsigned char *bits, const char *path, long infoLen = -1,
                long bitsLen = -1);
// The 54-byte BMP (flag 0) or BM2 (flag 1) header, in a static buffer.
unsigned char *convHeader(const BITMAPINFOHEADER *bih, int flag);
// The 47-byte IMP header, in a static buffer.
unsigned char *convHeader2(const BITMAPINFOHEADER *bih);

// Closes an output and checks that its file system still has free space;
// path is the output's name for the message. 0 when both hold.
int Fclose(OutFile &out, const char *path);

#endif
