// Whole-group kernels of the IMP coder for processors with vector
// instructions. They take over the groups that lie whole inside a row and
// give exactly the bytes of the portable code in imp.cpp.
#ifndef VEXEL_IMP_KERNELS_H
#define VEXEL_IMP_KERNELS_H

#include <cstddef>
#include <cstdint>

// Codes groups of eight pixels (three bytes each, blue first) at p into out
// from *pos on. With *odd set, out[*pos] already holds a nibble in its high
// half and zero in its low half, and without it zero. prev is the pixel
// before p. A group's stores reach 33 bytes from its start, so out must
// have that room; on return *pos and *odd stand behind the last group in
// the same way.
typedef void (*ImpEncFn)(unsigned char *out, size_t *pos, unsigned *odd, const unsigned char *p,
                         size_t groups, const unsigned char *prev);

// Decodes at most `groups` groups from in at nibble position *nib into
// 24-byte runs of pixels at o, stopping before a group that does not end by
// nibble `limit`. *pix is the pixel before, blue in the low byte. Loads go
// up to 48 bytes past limit / 2. Returns the groups decoded; *nib and *pix
// follow them.
typedef size_t (*ImpDecFn)(const unsigned char *in, uint64_t *nib, uint64_t limit,
                           unsigned char *o, uint32_t *pix, size_t groups);

struct ImpKernels {
    const char *name;
    ImpEncFn enc; // null: no kernels here
    ImpDecFn dec;
};

// The best kernels of each family this processor runs, or null ones.
ImpKernels impX86Kernels();
ImpKernels impNeonKernels();

// The kernels in use: "scalar" when there are none or imp_scalar is set.
const char *impKernelName();

// Non-zero: the coder keeps to its portable code (the tests compare the
// two paths).
extern int imp_scalar;

#endif
