#include "qlx/LockFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/Errors.h"

namespace qlx {

int TakeServiceLock(const std::string &path, const std::string &name)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        DetailErrno(path.c_str(), errno);
        Fail(QLXRC_ENDPOINT, "lock file of service element %s cannot be opened", name.c_str());
        return -1;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0)
        return fd;
    int error = errno;
    (void)close(fd);
    if (error == EAGAIN || error == EACCES) {
        Detail(0, "lock file %s is held", path.c_str());
        Fail(QLXRC_ALREADY_SERVED, "service element %s is already served by a live process",
             name.c_str());
        return -1;
    }
    DetailErrno(path.c_str(), error);
    Fail(QLXRC_ENDPOINT, "lock file of service element %s cannot be locked", name.c_str());
    return -1;
}

bool ServiceLockHeld(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
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
