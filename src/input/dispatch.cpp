// Input dispatch: the extension of the input file alone chooses its reader,
// the native one for BMP, BM2 and IMP, else the first plug-in with that key.
#include <cstdint>
#include <cstring>

#include "imp/imp.h"
#include "input/input.h"
#include "plugins/registry.h"
#include "support/geom.h"
#include "support/mem.h"
#include "support/msg.h"
#include "support/text.h"

int vexel_msgout = 1;

namespace {

constexpr int TYPE_LEN = 20;

// A plug-in that reports success must still have handed over a pair the
// rest of the program can use: two live, separate blocks, an info block
// that holds a whole header and what it claims, and a pixel block that
// holds the rows that header describes. Anything less is broken data.
bool pairUsable(HLOCAL hInfo, HLOCAL hBits)
{
    if (hInfo == nullptr || hBits == nullptr || hInfo == hBits)
        return false;
    long infoLen = getmemSize(hInfo), bitsLen = getmemSize(hBits);
    if (infoLen < long(sizeof(BITMAPINFOHEADER)) || bitsLen <= 0)
        return false;
    DibLayout d;
    return dibLayout(static_cast<const BITMAPINFOHEADER *>(getmemAdr(hInfo)), infoLen, bitsLen, &d);
}

void pictureMessage(int result, const char *path)
{
    switch (result) {
    case SPI_NOT_SUPPORT:
        errmsg("%s: unknown format\n", path);
        break;
    case SPI_OUT_OF_ORDER:
        errmsg("%s: broken data file\n", path);
        break;
    case SPI_FILE_READ_ERROR:
        errmsg("%s: file not found\n", path);
        break;
    default:
        errmsg("%s: cannot convert\n", path);
        break;
    }
}

} // namespace

int getImage(const char *path, HLOCAL *info, HLOCAL *bits)
{
    const char *ext = findExt(path);
    if (ext == nullptr) {
        errmsg("%s: no file extention\n", path);
        return -1;
    }
    char type[TYPE_LEN + 1];
    size_t len = std::strlen(ext + 1);
    if (len > TYPE_LEN)
        len = TYPE_LEN;
    std::memcpy(type, ext + 1, len);
    type[len] = '\0';
    to_lower(type);
    if (std::strcmp(type, "jpeg") == 0 || std::strcmp(type, "jpe") == 0)
        std::strcpy(type, "jpg");
    else if (std::strcmp(type, "tiff") == 0)
        std::strcpy(type, "tif");

    if (impInfoData_setFlg)
        impInfoDataId++;

    if (StrCmp(type, "bmp") == 0)
        return readBitmap(0, path, info, bits);
    if (StrCmp(type, "bm2") == 0)
        return readBitmap(1, path, info, bits);
    if (StrCmp(type, "imp") == 0)
        return readBitmap(2, path, info, bits);

    for (PluginRecord *r = &PluginInfo; r != nullptr; r = r->next) {
        // Only records that hold a library can be asked; a record whose
        // load failed may still carry a key.
        if (r->type == nullptr || r->hLib == nullptr || r->GetPicture == nullptr)
            continue;
        if (std::strcmp(r->type, type) != 0)
            continue;
        // The pair reaches the caller only when it is complete.
        HLOCAL hInfo = nullptr, hBits = nullptr;
        int result = r->GetPicture(const_cast<char *>(path), 0, SPI_INPUT_FILE, &hInfo, &hBits, nullptr, 0);
        if (result == SPI_ALL_RIGHT && !pairUsable(hInfo, hBits)) {
            if (hInfo != nullptr)
                LocalFree(hInfo);
            if (hBits != nullptr && hBits != hInfo)
                LocalFree(hBits);
            result = SPI_OUT_OF_ORDER;
        }
        if (result != SPI_ALL_RIGHT) {
            if (vexel_msgout)
                pictureMessage(result, path);
            return -1;
        }
        *info = hInfo;
        *bits = hBits;
        return 0;
    }
    errmsg("%s: unknown format\n", path);
    return -1;
}
