// The registry of loaded Susie plug-ins, one record per plug-in, each tied
// to the image type key (the extension) it serves.
#ifndef VEXEL_PLUGINS_REGISTRY_H
#define VEXEL_PLUGINS_REGISTRY_H

#include "platform/winapi.h"
#include "plugins/spi.h"

struct PluginRecord {
    HMODULE hLib;      // null when the record holds no library
    const char *type;  // owned copy of the key; null in an empty record, "" once unloaded
    GetPluginInfoFn GetPluginInfo;
    IsSupportedFn IsSupported;
    GetPictureFn GetPicture;
    GetPictureInfoFn GetPictureInfo;
    PluginRecord *next;
};

// First record of the list; the others are allocated and linked behind it.
extern PluginRecord PluginInfo;
// Standard types with a loaded plug-in: 1 "jpg", 2 "gif", 4 "tif".
extern int plugin_map;

// mode 0: the default plug-ins in dir; 1: the one plug-in file dir with
// the key key; any other: every *spi file in dir. 0 when all loaded.
int readPlugin(int mode, const char *dir, const char *key);
void freePlugin();
int isValidImageType(const char *name);

#endif
