#include "qlx/zmq/LockFile.h"

#include <cerrno>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"
#include "qlx/zmq/IpcTrust.h"

namespace qlx {

/* A closing service removes its lock file while it still holds the lock; a
 * starting one that opened the file just before may get the lock once it is
 * dropped, on a file that is gone. It then tries again on the new one. */
enum { LockAttempts = 8 };

static int FailToOpen(const std::string &path, const std::string &subject, int error)
{
    DetailErrno(path.c_str(), error);
    if (error == ENOENT) {
        std::string dir = path;
        Fail(QLXRC_ENDPOINT,
             "%s cannot be served: directory %s does not exist; create it, or give a socket "
             "path in a directory that does",
             subject.c_str(), dirname(dir.data()));
        return -1;
    }
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0 && info.st_uid != geteuid()) {
        Detail(0, "ask that user to remove it, or serve a socket in a directory of your own");
        Fail(QLXRC_ENDPOINT, "lock file %s belongs to %s, so %s cannot be served there",
             path.c_str(), UserText(info.st_uid).c_str(), subject.c_str());
        return -1;
    }
    Fail(QLXRC_ENDPOINT, "lock file of %s cannot be opened", subject.c_str());
    return -1;
}

/* Whether fd is still the file that path names. */
static bool StillNamedBy(int fd, const std::string &path)
{
    struct stat held {};
    struct stat named {};
    return fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

int TakeServiceLock(const std::string &path, const std::string &subject)
{
    for (int attempt = 0; attempt < LockAttempts; ++attempt) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return FailToOpen(path, subject, errno);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        int locked = fcntl(fd, F_OFD_SETLK, &lock);
        int error = errno;
        if (locked == 0 && StillNamedBy(fd, path))
            return fd;
        (void)close(fd);
        if (locked == 0)
            continue;
        if (error == EAGAIN || error == EACCES) {
            Detail(0, "lock file %s is held", path.c_str());
            Fail(QLXRC_ALREADY_SERVED, "%s is already served by a live process", subject.c_str());
            return -1;
        }
        DetailErrno(path.c_str(), error);
        Fail(QLXRC_ENDPOINT, "lock file of %s cannot be locked", subject.c_str());
        return -1;
    }
    Detail(0, "lock file %s was replaced %d times while it was taken", path.c_str(), LockAttempts);
    Fail(QLXRC_ENDPOINT, "lock file of %s cannot be locked", subject.c_str());
    return -1;
}

bool ServiceLockHeld(const std::string &path, int *openError)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (openError != nullptr)
        *openError = fd < 0 ? errno : 0;
    if (fd < 0)
        return false;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    int tested = fcntl(fd, F_OFD_GETLK, &lock);
    (void)close(fd);
    return tested == 0 && lock.l_type != F_UNLCK;
}

} // namespace qlx
