// Helpers for the plug-in host tests: the test plug-ins as built, reading
// an image, and the probe plug-in's call count.
#ifndef VEXEL_TESTS_HOST_UTIL_H
#define VEXEL_TESTS_HOST_UTIL_H

#include <fstream>
#include <string>

#include "plugins/registry.h"
#include "support/bmp_util.h"

// Path of a test plug-in as built, e.g. hostSpi("ifprobe").
inline std::string hostSpi(const char *name) { return std::string(VEXEL_TEST_SPI_DIR) + "/" + name + ".spi"; }

// getImage on a file holding text (where path can be a file): its result
// and what it printed. The pair reaches the caller whole or not at all.
inline int hostRead(const std::string &path, const char *text, std::string *err)
{
    std::ofstream(path, std::ios::binary) << text;
    HLOCAL info = nullptr, bits = nullptr;
    testing::internal::CaptureStderr();
    int r = getImage(path.c_str(), &info, &bits);
    *err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(info != nullptr && bits != nullptr, r == 0) << path;
    if (r == 0) {
        LocalFree(info);
        LocalFree(bits);
    }
    return r;
}

// GetPicture calls the probe plug-in of record r has seen; -1 with none.
inline int hostProbeCalls(const PluginRecord *r)
{
    if (r == nullptr || r->hLib == nullptr)
        return -1;
    auto fn = reinterpret_cast<int (*)()>(reinterpret_cast<void (*)()>(GetProcAddress(r->hLib, "probeCalls")));
    return fn != nullptr ? fn() : -1;
}

#endif
