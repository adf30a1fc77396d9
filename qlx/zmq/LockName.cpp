#include "qlx/zmq/LockName.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qlx/core/ElementName.h"

namespace qlx {

enum : size_t { NameLimit = 256 }; /* more than any name field holds */

bool WriteLockName(int fd, const std::string &name)
{
    return ftruncate(fd, 0) == 0 &&
           pwrite(fd, name.data(), name.size(), 0) == static_cast<ssize_t>(name.size());
}

std::string ReadLockName(const std::string &path, const std::string &stem)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return "";
    struct stat info {};
    char bytes[NameLimit];
    ssize_t got = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid()
                      ? pread(fd, bytes, sizeof bytes, 0)
                      : -1;
    (void)close(fd);
    if (got <= 0 || static_cast<size_t>(got) == sizeof bytes)
        return "";
    std::string name(bytes, static_cast<size_t>(got));
    bool maps = FileNameFor(name.data(), name.size()) == stem ||
                HashedFileNameFor(name.data(), name.size()) == stem;
    return maps ? name : "";
}

} // namespace qlx
