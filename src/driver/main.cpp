// vexel: converts picture files into Windows bitmaps.
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "imp/imp.h"
#include "input/input.h"
#include "output/output.h"
#include "platform/platform.h"
#include "plugins/registry.h"
#include "support/mem.h"
#include "support/msg.h"

static void printUsage(int first, int last)
{
    for (int i = first; i <= last && usage[i] != nullptr; i++)
        std::printf("%s\n", usage[i]);
}

static void shortUsage()
{
    printUsage(2, 4);
}

int main(int argc, char **argv)
{
    int pluginMode = 0;
    int outType = 0;
    int status = 0;
    int state = 1;
    HLOCAL info = nullptr, bits = nullptr;
    static char outPath[OUTPATH_SIZE];
    platformInit();

    if (argc < 2) {
        shortUsage();
        return 1;
    }
    if (std::strcmp(argv[1], "-usage") == 0) {
        printUsage(0, USAGE_LINES - 1);
        return 0;
    }
    const char *pluginDir = getEnvNoCase("windir");

    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (std::strcmp(argv[i], "-d") == 0 && i + 1 < argc) {
            pluginDir = argv[++i];
        } else if (std::strcmp(argv[i], "-a") == 0) {
            pluginMode = 2;
        } else if (std::strcmp(argv[i], "-imp") == 0) {
            outType = 2;
        } else {
            errmsg("%s: unknown option\n", argv[i]);
            return 1;
        }
    }
    if (argc - i < 2) {
        shortUsage();
        return 1;
    }
    if (pluginDir == nullptr)
        pluginDir = defaultPluginDir();
    if (pluginDir == nullptr) {
        errmsg("plug-in directory not given\n");
        return 1;
    }

    bool form1 = argc - i == 2;
    char *out = argv[argc - 1];
    bool isDir = false;
    if (!form1) {
        if (statPath(out, &isDir) != 0) {
            errmsg("%s: not found", out);
            return 1;
        }
        if (!isDir) {
            errmsg("%s: not a directory\n", out);
            return 1;
        }
    }

    if (readPlugin(pluginMode, pluginDir, "") != 0) {
        freePlugin();
        return 1;
    }

    for (; i < argc - 1; i++) {
        char *in = argv[i];
        FILE *fp = std::fopen(in, "rb");
        if (fp == nullptr) {
            errmsg("%s: file not found\n", in);
            status = 1;
            continue;
        }
        std::fclose(fp);

        if (getImage(in, &info, &bits) != 0) {
            status = 1;
            continue;
        }

        int skip = SKIP_NONE;
        if (form1) {
            if (statPath(out, &isDir) == 0 && isDir)
                state = checkWrite(1, outType, out, in, outPath, &skip);
            else
                state = checkWrite(1, 0, nullptr, out, outPath, &skip);
        } else {
            state = checkWrite(state, outType, out, in, outPath, &skip);
            if (state != 0 && skip == SKIP_NONE)
                std::printf("%s ....\n", outPath);
        }
        if (skip == SKIP_FAILED)
            status = 1;

        if (state != 0 && skip == SKIP_NONE) {
            std::fflush(stdout);
            auto *bi = static_cast<BITMAPINFO *>(getmemAdr(info));
            auto *px = static_cast<unsigned char *>(getmemAdr(bits));
            int r = writeBitmap(bi, px, outPath, getmemSize(info), getmemSize(bits));
            if (r == -1) {
                status = 1;
                imageFree(&info, &bits);
                break;
            }
            if (r != 0)
                status = 1;
        }
        imageFree(&info, &bits);
    }

    freePlugin();
    if (impInfoData != nullptr) {
        freemem(impInfoData);
        impInfoData = nullptr;
    }
    return status;
}
