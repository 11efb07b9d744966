// IMP kernels for ARM processors with NEON.
#include "imp/kernels.h"

ImpKernels impNeonKernels()
{
    return {"scalar", nullptr, nullptr};
}
