#include "support/host_util.h"

#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

HostTempDir::HostTempDir()
{
    std::string tmpl = (fs::temp_directory_path() / "vexel-host-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp failed";
    path = buf.data();
}

HostTempDir::~HostTempDir()
{
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::string HostTempDir::operator/(const std::string &name) const
{
    return path + "/" + name;
}

std::string hostSpi(const char *name)
{
    return std::string(VEXEL_TEST_SPI_DIR) + "/" + name + ".spi";
}

void hostCopySpi(const char *name, const std::string &dir, const std::string &as)
{
    std::error_code ec;
    fs::copy_file(hostSpi(name), dir + "/" + as, fs::copy_options::overwrite_existing, ec);
    if (ec)
        ADD_FAILURE() << "cannot copy " << name << ": " << ec.message();
}

void hostWriteFile(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
    if (!f)
        ADD_FAILURE() << "cannot write " << path;
}

bool hostFileExists(const std::string &path)
{
    std::error_code ec;
    return fs::exists(path, ec);
}

int hostProbeCalls(const PluginRecord *r, ProbeCall *last)
{
    typedef int (*ProbeFn)(long *, unsigned int *, int *, long *);
    if (r == nullptr || r->hLib == nullptr)
        return -1;
    auto fn = reinterpret_cast<ProbeFn>(GetProcAddress(r->hLib, "probeCalls"));
    if (fn == nullptr)
        return -1;
    ProbeCall c;
    int n = fn(&c.len, &c.flag, &c.progress, &c.lData);
    if (last != nullptr)
        *last = c;
    return n;
}

std::vector<const PluginRecord *> hostRecords()
{
    std::vector<const PluginRecord *> list;
    for (const PluginRecord *r = &PluginInfo; r != nullptr; r = r->next)
        list.push_back(r);
    return list;
}

int hostRunVexel(const std::vector<std::string> &args, std::string *err)
{
    HostTempDir tmp;
    std::string errPath = tmp / "stderr";
    std::vector<char *> argv;
    std::string bin = VEXEL_BIN;
    argv.push_back(bin.data());
    std::vector<std::string> copy = args;
    for (std::string &a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int nul = open("/dev/null", O_RDWR);
        if (fd < 0 || nul < 0)
            _exit(127);
        dup2(fd, 2);
        dup2(nul, 0);
        dup2(nul, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    std::ifstream f(errPath, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    *err = ss.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
