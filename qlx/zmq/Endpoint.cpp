#include "qlx/zmq/Endpoint.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/ElementName.h"
#include "qlx/core/Errors.h"
#include "qlx/core/Settings.h"

namespace qlx {

static void FillPaths(const std::string &dir, const std::string &file, Endpoint *endpoint)
{
    endpoint->SocketPath = dir + "/" + file + ".sock";
    endpoint->LockPath = dir + "/" + file + ".lock";
    endpoint->Address = "ipc://" + endpoint->SocketPath;
}

bool MapNameInDirectory(const std::string &dir, const char *name, size_t length, Endpoint *endpoint)
{
    FillPaths(dir, FileNameFor(name, length), endpoint);
    if (endpoint->SocketPath.size() <= SocketPathLimit)
        return true;
    FillPaths(dir, HashedFileNameFor(name, length), endpoint);
    return endpoint->SocketPath.size() <= SocketPathLimit;
}

const char *ExplicitEndpoint()
{
    return SettingText("QLX_ENDPOINT");
}

std::string RuntimeDirectoryPath()
{
    if (const char *dir = SettingText("QLX_DIR"))
        return dir;
    if (const char *xdg = SettingText("XDG_RUNTIME_DIR"))
        return std::string(xdg) + "/qlx";
    return "/tmp/qlx-" + std::to_string(geteuid());
}

bool CheckRuntimeDirectory(const std::string &dir, bool create)
{
    if (create && mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        DetailErrno("mkdir", errno);
        return Fail(QLXRC_RUNTIME_DIR, "runtime directory %s cannot be created", dir.c_str());
    }
    struct stat info {};
    if (lstat(dir.c_str(), &info) != 0) {
        DetailErrno("lstat", errno);
        return Fail(QLXRC_RUNTIME_DIR, "runtime directory %s does not exist", dir.c_str());
    }
    if (S_ISLNK(info.st_mode)) {
        Detail(0, "set QLX_DIR to the directory itself, not to a link");
        return Fail(QLXRC_RUNTIME_DIR, "runtime directory %s is a symbolic link", dir.c_str());
    }
    if (!S_ISDIR(info.st_mode)) {
        Detail(0, "set QLX_DIR to a directory");
        return Fail(QLXRC_RUNTIME_DIR, "runtime directory %s is not a directory", dir.c_str());
    }
    if (info.st_uid != geteuid()) {
        Detail(0, "set QLX_DIR to a directory of your own");
        return Fail(QLXRC_RUNTIME_DIR, "runtime directory %s is owned by uid %u, not by uid %u",
                    dir.c_str(), static_cast<unsigned>(info.st_uid),
                    static_cast<unsigned>(geteuid()));
    }
    if ((info.st_mode & 022) != 0) {
        Detail(0, "make it private (chmod 700 %s), or set QLX_DIR to a private directory",
               dir.c_str());
        return Fail(QLXRC_RUNTIME_DIR, "runtime directory %s is open to others (mode %04o)",
                    dir.c_str(), static_cast<unsigned>(info.st_mode & 07777));
    }
    return true;
}

/* A tcp:// endpoint names its port, 1 to 65535: ZeroMQ would cut a larger
 * one to 16 bits, and bind port 0 or '*' to a port that no client is told. */
static bool CheckTcpPort(const char *address)
{
    const char *colon = strrchr(address + 6, ':');
    const char *port = colon != nullptr ? colon + 1 : "";
    if (strcmp(port, "0") == 0 || strcmp(port, "*") == 0)
        return Fail(QLXRC_ENDPOINT,
                    "QLX_ENDPOINT=%s asks for a port of the system's choosing, which no client "
                    "would know: give a port from 1 to 65535",
                    address);
    if (port[0] == '\0')
        return Fail(QLXRC_ENDPOINT, "QLX_ENDPOINT=%s names no port: give tcp://host:port", address);
    size_t digits = strspn(port, "0123456789");
    if (digits != strlen(port) || digits > 5 || atoi(port) > 65535 || atoi(port) == 0)
        return Fail(QLXRC_ENDPOINT, "QLX_ENDPOINT=%s: port %s is not a number from 1 to 65535",
                    address, port);
    return true;
}

static bool UseExplicitEndpoint(const char *address, Endpoint *endpoint)
{
    endpoint->Address = address;
    endpoint->SocketPath.clear();
    endpoint->LockPath.clear();
    if (strncmp(address, "tcp://", 6) == 0)
        return CheckTcpPort(address);
    if (strcmp(address, "ipc://") == 0)
        return Fail(QLXRC_ENDPOINT,
                    "QLX_ENDPOINT=ipc:// names no socket file: give its path, as in "
                    "ipc:///tmp/e1.sock");
    if (strncmp(address, "ipc://", 6) == 0) {
        endpoint->SocketPath = address + 6;
        endpoint->LockPath = endpoint->SocketPath + ".lock";
        return true;
    }
    return Fail(QLXRC_ENDPOINT,
                "QLX_ENDPOINT=%s is not an endpoint the library takes: give ipc:///path, "
                "tcp://host:port, nats://host:port or tls://host:port",
                address);
}

bool ResolveEndpoint(const char *nameField, size_t fieldSize, bool create, Endpoint *endpoint)
{
    if (const char *address = ExplicitEndpoint())
        return UseExplicitEndpoint(address, endpoint);
    std::string dir = RuntimeDirectoryPath();
    if (!CheckRuntimeDirectory(dir, create))
        return false;
    size_t length = strnlen(nameField, fieldSize);
    if (MapNameInDirectory(dir, nameField, length, endpoint))
        return true;
    return Fail(QLXRC_ENDPOINT,
                "runtime directory %s is too long for a socket path: set QLX_DIR to a shorter one",
                dir.c_str());
}

} // namespace qlx
