// Helpers for the plug-in host tests: scratch directories, copies of the
// test plug-ins under chosen names, and running the built program.
#ifndef VEXEL_TESTS_HOST_UTIL_H
#define VEXEL_TESTS_HOST_UTIL_H

#include <string>
#include <vector>

#include "plugins/registry.h"

// A fresh directory, removed with everything in it at the end of scope.
struct HostTempDir {
    std::string path;
    HostTempDir();
    ~HostTempDir();
    std::string operator/(const std::string &name) const;
};

// Path of a test plug-in as built, e.g. hostSpi("ifprobe").
std::string hostSpi(const char *name);
// Copies the test plug-in name into dir under the file name as.
void hostCopySpi(const char *name, const std::string &dir, const std::string &as);
void hostWriteFile(const std::string &path, const std::string &text);
bool hostFileExists(const std::string &path);

// Number of GetPicture calls a probe plug-in has seen, and the arguments
// of the last one; -1 when the record holds no probe.
struct ProbeCall {
    long len;
    unsigned int flag;
    int progress;
    long lData;
};
int hostProbeCalls(const PluginRecord *r, ProbeCall *last = nullptr);

// The records of the list in order, PluginInfo first.
std::vector<const PluginRecord *> hostRecords();

// Runs the program with args; its standard error goes to *err. Returns the
// exit status, or -1 when it did not exit normally.
int hostRunVexel(const std::vector<std::string> &args, std::string *err);

#endif
