// The plug-in registry: finds, loads, checks and unloads the Susie image
// plug-ins, and keeps one record per loaded plug-in with its type key.
#include "plugins/registry.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/mem.h"
#include "support/msg.h"
#include "support/text.h"

PluginRecord PluginInfo;
int plugin_map = 0;

static int pluginInit_flg = 0;
static int pluginError_flg = 0;

namespace {

constexpr int PATH_BUF = 1024;
constexpr int KEY_BUF = 256;

// Key of a record whose library has been unloaded.
const char kUnloaded[] = "";

struct DefaultPlugin {
    const char *file;
    const char *key;
};

const DefaultPlugin kDefaults[] = {
    {"ifgif.spi", "gif"},
    {"ifjpeg.spi", "jpg"},
    {"iftiff.spi", "tif"},
};

// Gives up the record's own copy of its key, if it holds one.
void dropKey(PluginRecord *record)
{
    if (record->type != nullptr && record->type != kUnloaded)
        freemem(const_cast<char *>(record->type));
    record->type = nullptr;
}

// dir, the separator and name into path; a path that does not fit is
// refused with a message, and that load counts as failed.
bool composePath(char *path, const char *dir, const char *name)
{
    int n = std::snprintf(path, PATH_BUF, "%s%c%s", dir, PATH_SEP, name);
    if (n < 0 || n >= PATH_BUF) {
        errmsg("%s: path too long\n", dir);
        return false;
    }
    return true;
}

// An entry point of the library as the function type it has.
template <typename Fn> Fn entryPoint(HMODULE lib, const char *name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(GetProcAddress(lib, name)));
}

int loadPlugin(const char *path, const char *key, PluginRecord *record)
{
    record->hLib = LoadLibraryA(path);
    if (record->hLib == nullptr) {
        const char *sep = Strrchr(path, PATH_SEP);
        errmsg("%s: Plug-in not loaded\n", sep ? sep + 1 : path);
        return -1;
    }
    // A failed load leaves its key behind; the next load into this record
    // replaces it.
    dropKey(record);
    size_t len = std::strlen(key);
    auto *dup = static_cast<char *>(getmem(int(len + 1)));
    std::memcpy(dup, key, len + 1);
    record->type = dup;

    record->GetPluginInfo = entryPoint<GetPluginInfoFn>(record->hLib, "GetPluginInfo");
    record->IsSupported = entryPoint<IsSupportedFn>(record->hLib, "IsSupported");
    record->GetPicture = entryPoint<GetPictureFn>(record->hLib, "GetPicture");
    record->GetPictureInfo = entryPoint<GetPictureInfoFn>(record->hLib, "GetPictureInfo");
    if (record->GetPluginInfo == nullptr || record->IsSupported == nullptr || record->GetPicture == nullptr) {
        errmsg("%s: Plug-in error\n", path);
        FreeLibrary(record->hLib);
        record->hLib = nullptr;
        return -1;
    }

    // Two bytes of slack behind the 10 the plug-in may write, and a
    // terminator forced at 10 for one that fills them all.
    char version[12] = {0};
    int r = record->GetPluginInfo(0, version, 10);
    version[10] = '\0';
    if (r != 0 && version[2] == 'I')
        return 0;
    errmsg("%s: The version of Plug-in is not \"nnIx\" type.\n", version);
    // Nothing of this library is ever called; let it go before the record
    // takes the next load.
    FreeLibrary(record->hLib);
    record->hLib = nullptr;
    return -1;
}

PluginRecord *appendPlugin(const char *path, const char *key, PluginRecord *record)
{
    if (loadPlugin(path, key, record) != 0) {
        pluginError_flg = 1;
        return record;
    }
    auto *next = static_cast<PluginRecord *>(getmem(sizeof(PluginRecord)));
    next->hLib = nullptr;
    next->type = nullptr;
    next->next = nullptr;
    record->next = next;
    if (std::strcmp(key, "jpg") == 0)
        plugin_map |= 1;
    if (std::strcmp(key, "tif") == 0)
        plugin_map |= 4;
    if (std::strcmp(key, "gif") == 0)
        plugin_map |= 2;
    return next;
}

// Every *spi file of dir, each under the key taken from its name.
int readAllPlugins(const char *dir)
{
    PluginRecord *current = &PluginInfo;
    std::vector<std::string> names;
    findFiles(dir, "spi", names);
    int count = 0;
    int failed = 0;
    for (const std::string &name : names) {
        // The first two characters (normally "if") are not part of the key;
        // a name without a "." behind them has no key and is passed over.
        const char *rest = name.c_str() + (name.size() < 2 ? name.size() : 2);
        const char *dot = std::strchr(rest, '.');
        if (dot == nullptr)
            continue;
        char key[KEY_BUF];
        size_t len = size_t(dot - rest);
        if (len > sizeof key - 1)
            len = sizeof key - 1;
        std::memcpy(key, rest, len);
        key[len] = '\0';
        to_lower(key);
        if (std::strcmp(key, "jpeg") == 0)
            std::strcpy(key, "jpg");
        else if (std::strcmp(key, "tiff") == 0)
            std::strcpy(key, "tif");
        else if (std::strcmp(key, "asad") == 0 || std::strcmp(key, "zip") == 0)
            continue;

        char path[PATH_BUF];
        pluginError_flg = 0;
        if (composePath(path, dir, name.c_str()))
            current = appendPlugin(path, key, current);
        else
            pluginError_flg = 1;
        if (pluginError_flg)
            failed = 1;
        else
            count++;
    }
    if (count == 0)
        failed = 1;
    pluginError_flg = failed;
    return pluginError_flg;
}

} // namespace

int readPlugin(int mode, const char *dir, const char *key)
{
    if (pluginInit_flg == 0) {
        PluginInfo.hLib = nullptr;
        dropKey(&PluginInfo);
        PluginInfo.next = nullptr;
        pluginInit_flg = 1;
    }
    pluginError_flg = 0;

    if (mode == 0) {
        // The list always starts at the first record, also on a second call.
        PluginRecord *current = &PluginInfo;
        for (const DefaultPlugin &d : kDefaults) {
            char path[PATH_BUF];
            if (composePath(path, dir, d.file))
                current = appendPlugin(path, d.key, current);
            else
                pluginError_flg = 1;
        }
        return pluginError_flg;
    }
    if (mode == 1) {
        PluginRecord *last = &PluginInfo;
        while (last->next != nullptr)
            last = last->next;
        appendPlugin(dir, key, last);
        return pluginError_flg;
    }
    return readAllPlugins(dir);
}

void freePlugin()
{
    for (PluginRecord *r = &PluginInfo; r != nullptr; r = r->next) {
        if (r->hLib == nullptr)
            continue;
        FreeLibrary(r->hLib);
        r->hLib = nullptr;
        dropKey(r);
        r->type = kUnloaded;
    }
    plugin_map = 0;
    pluginInit_flg = 0;
}

int isValidImageType(const char *name)
{
    char type[16];
    std::strncpy(type, name, 15);
    type[15] = '\0';
    to_lower(type);
    if (std::strcmp(type, "jpeg") == 0)
        std::strcpy(type, "jpg");
    else if (std::strcmp(type, "tiff") == 0)
        std::strcpy(type, "tif");
    if (std::strcmp(type, "bmp") == 0 || std::strcmp(type, "imp") == 0)
        return 1;
    for (const PluginRecord *r = &PluginInfo; r != nullptr; r = r->next) {
        if (r->hLib != nullptr && r->type != nullptr && std::strcmp(r->type, type) == 0)
            return 1;
    }
    return 0;
}
