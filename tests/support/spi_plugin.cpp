#include "support/spi_plugin.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

SpiPlugin::SpiPlugin(const std::string &file)
{
    std::string path = std::string(VEXEL_SPI_DIR) + "/" + file;
    h = LoadLibraryA(path.c_str());
    if (h == nullptr)
        return;
    info = reinterpret_cast<GetPluginInfoFn>(GetProcAddress(h, "GetPluginInfo"));
    supported = reinterpret_cast<IsSupportedFn>(GetProcAddress(h, "IsSupported"));
    pictureInfo = reinterpret_cast<GetPictureInfoFn>(GetProcAddress(h, "GetPictureInfo"));
    picture = reinterpret_cast<GetPictureFn>(GetProcAddress(h, "GetPicture"));
}

SpiPlugin::~SpiPlugin()
{
    if (h != nullptr)
        FreeLibrary(h);
}

SpiTempFile::SpiTempFile(const std::vector<uint8_t> &bytes)
{
    char name[] = "/tmp/vexel-spi-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        return;
    path = name;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    close(fd);
}

SpiTempFile::~SpiTempFile()
{
    if (!path.empty())
        unlink(path.c_str());
}

namespace {

// Copies the pair out and checks it against the rules of its form.
void takePair(HLOCAL hInfo, HLOCAL hBm, SpiPicture *pic)
{
    std::string &fault = pic->fault;
    auto *info = static_cast<const uint8_t *>(LocalLock(hInfo));
    auto *bits = static_cast<const uint8_t *>(LocalLock(hBm));
    size_t infoSize = LocalSize(hInfo), bitsSize = LocalSize(hBm);
    if (info == nullptr || bits == nullptr || infoSize < sizeof(BITMAPINFOHEADER)) {
        fault = "pair not lockable or info block too small";
    } else {
        BITMAPINFOHEADER bi;
        std::memcpy(&bi, info, sizeof bi);
        pic->width = bi.biWidth;
        pic->height = bi.biHeight;
        pic->bitCount = bi.biBitCount;
        pic->xppm = bi.biXPelsPerMeter;
        pic->yppm = bi.biYPelsPerMeter;
        size_t colors = bi.biBitCount <= 8 ? bi.biClrUsed : 0;
        size_t stride = (size_t(bi.biWidth) * bi.biBitCount + 31) / 32 * 4;
        if (bi.biSize != 40 || bi.biPlanes != 1 || bi.biCompression != BI_RGB)
            fault = "header fields";
        else if (bi.biWidth <= 0 || bi.biHeight <= 0)
            fault = "size not positive";
        else if (bi.biBitCount != 8 && bi.biBitCount != 24)
            fault = "bit count " + std::to_string(bi.biBitCount);
        else if (bi.biBitCount == 8 && (colors < 1 || colors > 256))
            fault = "biClrUsed " + std::to_string(colors);
        else if (infoSize < sizeof bi + colors * 4)
            fault = "table past the info block";
        else if (bitsSize < stride * size_t(bi.biHeight))
            fault = "bits block smaller than the rows";
        else if (bi.biSizeImage != 0 && bi.biSizeImage != stride * size_t(bi.biHeight))
            fault = "biSizeImage";
        if (fault.empty()) {
            pic->table.resize(colors);
            if (colors > 0)
                std::memcpy(pic->table.data(), info + sizeof bi, colors * 4);
            size_t rowBytes = size_t(bi.biWidth) * (bi.biBitCount / 8);
            pic->pixels.resize(rowBytes * size_t(bi.biHeight));
            for (int y = 0; y < bi.biHeight; y++)
                std::memcpy(pic->pixels.data() + size_t(y) * rowBytes,
                            bits + size_t(bi.biHeight - 1 - y) * stride, rowBytes);
            if (bi.biBitCount == 24) {
                // BGR in the DIB, RGB here
                for (size_t i = 0; i + 2 < pic->pixels.size(); i += 3)
                    std::swap(pic->pixels[i], pic->pixels[i + 2]);
            } else {
                for (uint8_t v : pic->pixels) {
                    if (v >= colors) {
                        fault = "index " + std::to_string(v) + " past the table";
                        break;
                    }
                }
            }
        }
    }
    if (info)
        LocalUnlock(hInfo);
    if (bits)
        LocalUnlock(hBm);
    if (LocalFree(hInfo) != nullptr || LocalFree(hBm) != nullptr)
        fault += " (not local memory)";
}

} // namespace

SpiPicture spiDecode(const SpiPlugin &p, const std::vector<uint8_t> &file, unsigned flag, SPI_PROGRESS progress,
                     long lData, long offset)
{
    SpiPicture pic;
    HLOCAL hInfo = nullptr, hBm = nullptr;
    if (flag == SPI_INPUT_MEMORY) {
        // a copy of exactly the file's size, so reads past it are caught
        std::vector<uint8_t> copy(file);
        pic.rc = p.picture(reinterpret_cast<char *>(copy.data()), long(copy.size()), flag, &hInfo, &hBm, progress,
                           lData);
    } else {
        std::vector<uint8_t> padded(size_t(offset), 0x5A);
        padded.insert(padded.end(), file.begin(), file.end());
        SpiTempFile tmp(padded);
        pic.rc = p.picture(&tmp.path[0], offset, flag, &hInfo, &hBm, progress, lData);
    }
    if (pic.rc == 0)
        takePair(hInfo, hBm, &pic);
    return pic;
}

std::vector<uint8_t> SpiPicture::rgb() const
{
    if (bitCount == 24)
        return pixels;
    std::vector<uint8_t> out;
    out.reserve(pixels.size() * 3);
    for (uint8_t v : pixels) {
        RGBQUAD q = v < table.size() ? table[v] : RGBQUAD{0, 0, 0, 0};
        out.push_back(q.rgbRed);
        out.push_back(q.rgbGreen);
        out.push_back(q.rgbBlue);
    }
    return out;
}

std::string spiFirstDifference(const std::vector<uint8_t> &want, const std::vector<uint8_t> &got, int width)
{
    if (want.size() != got.size())
        return "sizes " + std::to_string(want.size()) + " and " + std::to_string(got.size());
    for (size_t i = 0; i < want.size(); i++) {
        if (want[i] != got[i]) {
            size_t px = i / 3;
            char buf[160];
            std::snprintf(buf, sizeof buf, "pixel (%zu,%zu) channel %zu: want %u got %u", px % size_t(width),
                          px / size_t(width), i % 3, want[i], got[i]);
            return buf;
        }
    }
    return "";
}
