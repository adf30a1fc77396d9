#include "qlx/zmq/IpcTrust.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"

namespace qlx {

/* The name of user id, or its number when it has none. */
static std::string UserName(uid_t id)
{
    passwd entry{};
    passwd *found = nullptr;
    char buffer[1024];
    if (getpwuid_r(id, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return std::to_string(id);
    return found->pw_name;
}

/* User id for texts, e.g. "user nobody (65534)". */
static std::string UserText(uid_t id)
{
    std::string name = UserName(id);
    std::string number = std::to_string(id);
    return name == number ? "uid " + number : "user " + name + " (" + number + ")";
}

/* The user QLX_SERVICE_OWNER names, by name or number; false, with the error
 * recorded, when it names none. */
static bool ServiceOwner(bool *set, uid_t *owner)
{
    const char *value = getenv("QLX_SERVICE_OWNER");
    *set = value != nullptr && value[0] != '\0';
    if (!*set)
        return true;
    passwd entry{};
    passwd *found = nullptr;
    char buffer[1024];
    if (getpwnam_r(value, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        *owner = found->pw_uid;
        return true;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long number = strtoul(value, &end, 10);
    if (errno == 0 && end != value && *end == '\0' && value[0] != '-' &&
        number < static_cast<unsigned long>(static_cast<uid_t>(-1))) {
        *owner = static_cast<uid_t>(number);
        return true;
    }
    return Fail(QLXRC_BAD_SETTING,
                "QLX_SERVICE_OWNER=%s names no user: give a user name or a number", value);
}

static int FailForeign(const std::string &what, const std::string &path, uid_t owner)
{
    Detail(0, "if that user runs the service, set QLX_SERVICE_OWNER=%s to trust it",
           UserName(owner).c_str());
    return Fail(QLXRC_ENDPOINT,
                "%s %s belongs to %s, who could pose as the service: this client connects only to "
                "sockets of its own user or root",
                what.c_str(), path.c_str(), UserText(owner).c_str());
}

static int FailReplaceable(const std::string &dir, const std::string &socket, mode_t mode)
{
    Detail(0, "use a socket in a directory that only its owner can write");
    return Fail(QLXRC_ENDPOINT,
                "directory %s is writable by others (mode %04o), so another user could replace "
                "socket %s",
                dir.c_str(), static_cast<unsigned>(mode & 07777), socket.c_str());
}

/* The directory that holds path ("/" for "/x"), or empty for "/". */
static std::string Parent(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || path == "/")
        return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

/* Checks the entry at path (no link followed) and every directory above it,
 * as TrustIpcSocket promises; *link tells whether the entry is a link. */
template <typename Trusted>
static bool TrustChain(const std::string &path, Trusted trusted, bool *link)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return true;
    *link = S_ISLNK(info.st_mode);
    if (!trusted(info.st_uid))
        return FailForeign("socket", path, info.st_uid);
    for (std::string dir = Parent(path); !dir.empty(); dir = Parent(dir)) {
        if (lstat(dir.c_str(), &info) != 0) {
            DetailErrno(dir.c_str(), errno);
            return Fail(QLXRC_ENDPOINT, "directory %s above socket %s cannot be examined",
                        dir.c_str(), path.c_str());
        }
        if (!trusted(info.st_uid))
            return FailForeign("directory", dir, info.st_uid);
        if ((info.st_mode & 022) != 0 && (info.st_mode & S_ISVTX) == 0)
            return FailReplaceable(dir, path, info.st_mode);
    }
    return true;
}

/* path with the links of its directories resolved, the last name kept. */
static std::string ResolvedDirectories(const std::string &path)
{
    std::string parent = Parent(path);
    char *resolved = realpath(parent.empty() ? "/" : parent.c_str(), nullptr);
    if (resolved == nullptr)
        return path;
    std::string dir = resolved;
    free(resolved);
    return (dir == "/" ? "" : dir) + "/" + path.substr(path.find_last_of('/') + 1);
}

bool TrustIpcSocket(const std::string &path)
{
    bool ownerSet = false;
    uid_t serviceOwner = 0;
    if (!ServiceOwner(&ownerSet, &serviceOwner))
        return false;
    auto trusted = [&](uid_t id) {
        return id == geteuid() || id == 0 || (ownerSet && id == serviceOwner);
    };
    bool link = false;
    if (!TrustChain(ResolvedDirectories(path), trusted, &link))
        return false;
    if (!link)
        return true;
    /* A link is trusted as far as it goes: what it points to is checked too. */
    char *target = realpath(path.c_str(), nullptr);
    if (target == nullptr)
        return true;
    std::string resolved = target;
    free(target);
    return TrustChain(resolved, trusted, &link);
}

} // namespace qlx
