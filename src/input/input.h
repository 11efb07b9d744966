// Image input: one input file becomes a DIB pair, through the native reader
// (BMP, BM2, IMP) or the plug-in chosen by the file's extension.
#ifndef VEXEL_INPUT_INPUT_H
#define VEXEL_INPUT_INPUT_H

#include "platform/winapi.h"

// While set, the readers' optional diagnostics are printed.
extern int vexel_msgout;

// Reads path into *info and *bits; 0, or -1 after a message.
int getImage(const char *path, HLOCAL *info, HLOCAL *bits);

// type 0 BMP, 1 BM2, 2 IMP. 0 with both handles stored, or -1.
int readBitmap(int type, const char *path, HLOCAL *info, HLOCAL *bits);
// The info block: the info header from bytes 14..53 of header54, followed
// by tableLen bytes of colour table.
HLOCAL makeBitmapInfo(const unsigned char *header54, const unsigned char *table, int tableLen, int type);

// Run-length decoding of 8-bit and 4-bit BMP pixel data into the zero-filled
// rows out[0..outLen), bottom-up, width pixels a row.
int decodeRle8(const unsigned char *src, int srcLen, unsigned char *out, int outLen, int width);
int decodeRle4(const unsigned char *src, int srcLen, unsigned char *out, int outLen, int width);

#endif
