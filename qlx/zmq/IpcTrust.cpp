#include "qlx/zmq/IpcTrust.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"
#include "qlx/core/PathWalk.h"

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

std::string UserText(uid_t id)
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

enum { LinkLimit = 8 }; /* links followed at the socket's name, one after another */

/* Records why the walk to the socket at shown stopped; returns 0. */
static int FailWalk(const PathWalkStop &stop, const std::string &shown)
{
    if (stop.Link) {
        Detail(0, "give the socket's path without links among its directories");
        return Fail(QLXRC_ENDPOINT,
                    "directory %s above socket %s is a symbolic link, which this client does not "
                    "follow",
                    stop.Directory.c_str(), shown.c_str());
    }
    DetailErrno(stop.Directory.c_str(), stop.Error);
    return Fail(QLXRC_ENDPOINT, "directory %s above socket %s cannot be examined",
                stop.Directory.c_str(), shown.c_str());
}

/* What the link at name in dir points to, as a path from where the walk
 * that found it started: relative targets are taken from dirPath. */
static bool LinkTarget(int dir, const std::string &name, const std::string &dirPath,
                       std::string *target)
{
    char buffer[PATH_MAX];
    ssize_t length = readlinkat(dir, name.c_str(), buffer, sizeof buffer - 1);
    if (length < 0)
        return false;
    *target = std::string(buffer, static_cast<size_t>(length));
    if ((*target)[0] != '/')
        *target = dirPath + *target;
    return true;
}

/* Checks the socket at path and every directory on the way to it, walked as
 * given (TrustIpcSocket); a link at the last name is trusted as far as it
 * goes, and what it points to is checked in turn, up to links more. */
template <typename Trusted>
static bool TrustChain(const std::string &path, Trusted trusted, int links)
{
    const std::string shown = ShownPath(path);
    auto visit = [&](const std::string &dir, const struct stat &info) {
        if (!trusted(info.st_uid)) {
            FailForeign("directory", dir, info.st_uid);
            return false;
        }
        if ((info.st_mode & 022) != 0 && (info.st_mode & S_ISVTX) == 0) {
            FailReplaceable(dir, shown, info.st_mode);
            return false;
        }
        return true;
    };
    std::string last;
    PathWalkStop stop;
    int dir = OpenDirectoryOf(path, visit, &last, &stop);
    if (dir < 0 && (stop.Error == 0 || (stop.Error == ENOENT && !stop.Link)))
        return stop.Error != 0; /* visit refused, or no socket: reported as not served */
    if (dir < 0)
        return FailWalk(stop, shown);
    struct stat info {};
    bool present = fstatat(dir, last.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    std::string target;
    bool link = present && S_ISLNK(info.st_mode) &&
                LinkTarget(dir, last, path.substr(0, path.size() - last.size()), &target);
    (void)close(dir);
    if (!present)
        return true;
    if (!trusted(info.st_uid))
        return FailForeign("socket", shown, info.st_uid);
    if (!link)
        return true;
    if (links == 0)
        return Fail(QLXRC_ENDPOINT, "socket %s is reached through more than %d links",
                    shown.c_str(), LinkLimit);
    return TrustChain(target, trusted, links - 1);
}

/* Sets *trusted to the rule of the users a client trusts: its own, root,
 * and the one QLX_SERVICE_OWNER names; false, with the error recorded, when
 * that setting names no user. */
static bool TrustedUsers(std::function<bool(uid_t)> *trusted)
{
    bool ownerSet = false;
    uid_t serviceOwner = 0;
    if (!ServiceOwner(&ownerSet, &serviceOwner))
        return false;
    *trusted = [=](uid_t id) {
        return id == geteuid() || id == 0 || (ownerSet && id == serviceOwner);
    };
    return true;
}

bool TrustIpcSocket(const std::string &path)
{
    std::function<bool(uid_t)> trusted;
    return TrustedUsers(&trusted) && TrustChain(path, trusted, LinkLimit);
}

int FailUntrustedPeer(uid_t peer, const std::string &path)
{
    Detail(0, "if that user runs the service, set QLX_SERVICE_OWNER=%s to trust it",
           UserName(peer).c_str());
    return Fail(QLXRC_ENDPOINT,
                "socket %s is served by a process of %s, who could pose as the service: this "
                "client talks only to services of its own user or root",
                ShownPath(path).c_str(), UserText(peer).c_str());
}

PeerTrust TrustIpcPeer(int fd, const std::string &path, uid_t *peer)
{
    std::function<bool(uid_t)> trusted;
    if (!TrustedUsers(&trusted))
        return PeerTrust::Refused;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return PeerTrust::Gone;
    *peer = credentials.uid;
    if (trusted(credentials.uid))
        return PeerTrust::Trusted;
    FailUntrustedPeer(credentials.uid, path);
    return PeerTrust::Refused;
}

} // namespace qlx
