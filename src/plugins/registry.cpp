// Placeholder until the plug-in host is built: no plug-in loads.
#include "plugins/registry.h"

#include "support/msg.h"

PluginRecord PluginInfo;
int plugin_map = 0;

int readPlugin(int, const char *, const char *)
{
    errmsg("plug-in host not built yet\n");
    return 1;
}

void freePlugin()
{
}

int isValidImageType(const char *)
{
    return 0;
}
