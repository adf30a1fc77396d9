#include "qlx/core/StatsFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qlx/ErrorRecord.h"
#include "qlx/core/Errors.h"
#include "qlx/core/PathWalk.h"

namespace qlx {

StatsFile::~StatsFile()
{
    if (file_ != nullptr)
        (void)fclose(file_);
}

/* Records why the opened fd of path is not a file the service may append
 * to: it must be a regular file of the user running the service, so that
 * another user cannot have the counters written into a file of theirs or
 * into a device. Returns 0. */
static int FailForeignFile(const char *path, const struct stat &info)
{
    if (!S_ISREG(info.st_mode))
        return Fail(QLXRC_BAD_SETTING,
                    "QLX_STATS_FILE=%s is not a regular file: give one that is, or unset it", path);
    Detail(0, "%s belongs to user %u", path, static_cast<unsigned>(info.st_uid));
    return Fail(QLXRC_BAD_SETTING,
                "QLX_STATS_FILE=%s belongs to another user than the service's (%u): give a file "
                "of your own, or unset it",
                path, static_cast<unsigned>(geteuid()));
}

/* Opens the directory of path without following a link on the way, as
 * OpenDirectoryOf does; -1 with the error recorded when it cannot be. */
static int OpenDirectory(const char *path, std::string *last)
{
    PathWalkStop stop;
    int dir = OpenDirectoryOf(
        path, [](const std::string &, const struct stat &) { return true; }, last, &stop);
    if (dir >= 0)
        return dir;
    if (stop.Link) {
        Detail(0, "directory %s is a symbolic link", stop.Directory.c_str());
        Fail(QLXRC_BAD_SETTING,
             "QLX_STATS_FILE=%s passes through a symbolic link, which the service does not "
             "follow: give a path without links, or unset it",
             path);
        return -1;
    }
    DetailErrno(stop.Directory.c_str(), stop.Error);
    Fail(QLXRC_BAD_SETTING,
         "QLX_STATS_FILE=%s cannot be written: give a file that can, or unset it", path);
    return -1;
}

bool StatsFile::Open()
{
    const char *path = getenv("QLX_STATS_FILE");
    if (path == nullptr || path[0] == '\0')
        return true;
    path_ = path;
    std::string last;
    int dir = OpenDirectory(path, &last);
    if (dir < 0)
        return false;
    /* Non-blocking, so a FIFO without a reader is refused, not waited on. */
    int fd = openat(dir, last.c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    int error = errno;
    (void)close(dir);
    if (fd < 0) {
        DetailErrno(path, error);
        if (error == ELOOP)
            return Fail(QLXRC_BAD_SETTING,
                        "QLX_STATS_FILE=%s is a symbolic link, which the service does not follow: "
                        "give the file itself, or unset it",
                        path);
        return Fail(QLXRC_BAD_SETTING,
                    "QLX_STATS_FILE=%s cannot be written: give a file that can, or unset it", path);
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        (void)close(fd);
        return FailForeignFile(path, info);
    }
    file_ = fdopen(fd, "a");
    if (file_ != nullptr)
        return true;
    DetailErrno(path, errno);
    (void)close(fd);
    return Fail(QLXRC_NO_MEMORY, "QLX_STATS_FILE=%s cannot be opened as a stream", path);
}

typedef unsigned long long Ull;

void StatsFile::Write(const std::string &name, const QLXSTATS &s)
{
    if (file_ == nullptr)
        return;
    int written = fprintf(file_,
                          "qlx-stats element=%s transactions=%llu datagrams=%llu "
                          "stop_requests=%llu malformed=%llu refused=%llu datagrams_dropped=%llu "
                          "replies_sent=%llu replies_dropped=%llu buffers_handed=%llu "
                          "buffers_released=%llu transport_dropped=%llu keys_refused=%llu\n",
                          name.c_str(), Ull{s.Transactions}, Ull{s.Datagrams}, Ull{s.StopRequests},
                          Ull{s.Malformed}, Ull{s.Refused}, Ull{s.DatagramsDropped},
                          Ull{s.RepliesSent}, Ull{s.RepliesDropped}, Ull{s.BuffersHanded},
                          Ull{s.BuffersReleased}, Ull{s.TransportDropped}, Ull{s.KeysRefused});
    int error = errno;
    int closed = fclose(file_);
    file_ = nullptr;
    if (written > 0 && closed == 0)
        return;
    fprintf(stderr,
            "qlx: QLX_STATS_FILE=%s: the counters of service element %s cannot be written (%s)\n",
            path_.c_str(), name.c_str(), strerror(closed != 0 ? errno : error));
}

} // namespace qlx
