// IMP: the program's own lossless format for 24-bit pictures, and the pixel
// stream shared with BM2 files.
#ifndef VEXEL_IMP_IMP_H
#define VEXEL_IMP_IMP_H

#include <cstdio>

#include "platform/winapi.h"

// The comment carried from an IMP input to the IMP file written from it.
extern char *impInfoData;
extern int impInfoDataId;
extern int impInfoData_setFlg;

// Appends the pixel stream of the picture to fp and patches the first six
// bytes of the file (magic and file size). header is the 54-byte working
// header (width at 18, height at 22); a negative height means the rows lie
// top-down in bits, and the stream is that of the picture stored bottom-up.
// 0, or -1 when a write fails.
int write_data(FILE *fp, const char *name, unsigned char *header, const unsigned char *bits,
               const BITMAPINFO *info, int bitCount);
// Packs 8, 12 or 24 bits of data into the stream; 0 ends the stream and
// returns its length. -1 when a write fails.
int write_bits(FILE *fp, const unsigned char *data, int bits);
// The same stream from 32-bit pixels, rows taken from the last in memory.
int write_data2(FILE *fp, const char *name, unsigned char *header, const unsigned char *bits);
// Reads len stream bytes from fp and decodes width x height pixels (from
// the 54-byte header) into bits, which holds bitsLen bytes. 0, or -1 when
// the stream is short or broken.
int read_data(FILE *fp, unsigned char *bits, const unsigned char *header, long len, long bitsLen);

#endif
