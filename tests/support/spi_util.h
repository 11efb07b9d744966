// Helpers of the plug-in tests that call the exports themselves: a plug-in
// as built, loaded with its entry points, and a progress callback that logs
// its calls and can ask to stop.
#ifndef VEXEL_TESTS_SUPPORT_SPI_UTIL_H
#define VEXEL_TESTS_SUPPORT_SPI_UTIL_H

#include <string>
#include <utility>
#include <vector>

#include "platform/winapi.h"
#include "plugins/spi.h"

template <class Fn> Fn spiEntry(HMODULE h, const char *name)
{
    return h ? reinterpret_cast<Fn>(GetProcAddress(h, name)) : nullptr;
}

// A plug-in of the build's plug-in directory, e.g. SpiPlugin("ifgif.spi").
struct SpiPlugin {
    HMODULE h;
    GetPluginInfoFn info = spiEntry<GetPluginInfoFn>(h, "GetPluginInfo");
    IsSupportedFn supported = spiEntry<IsSupportedFn>(h, "IsSupported");
    GetPictureInfoFn pictureInfo = spiEntry<GetPictureInfoFn>(h, "GetPictureInfo");
    GetPictureFn picture = spiEntry<GetPictureFn>(h, "GetPicture");
    explicit SpiPlugin(const std::string &file) : h(LoadLibraryA((VEXEL_SPI_DIR "/" + file).c_str())) {}
    SpiPlugin(const SpiPlugin &) = delete;
    SpiPlugin &operator=(const SpiPlugin &) = delete;
    ~SpiPlugin()
    {
        if (h != nullptr)
            FreeLibrary(h);
    }
};

// Progress calls as (num, denom). With lData the address of such a log,
// spiProgressLog appends each call and asks to stop at the call whose
// number (from 0) the log's first entry holds.
using SpiCalls = std::vector<std::pair<int, int>>;
inline int spiProgressLog(int num, int denom, long lData)
{
    auto *log = reinterpret_cast<SpiCalls *>(lData);
    log->emplace_back(num, denom);
    return int(log->size()) - 2 == log->front().first;
}

#endif
