#include "qlx/StatsFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qlx/ErrorRecord.h"
#include "qlx/Errors.h"

namespace qlx {

StatsFile::~StatsFile()
{
    if (file_ != nullptr)
        (void)fclose(file_);
}

bool StatsFile::Open()
{
    const char *path = getenv("QLX_STATS_FILE");
    if (path == nullptr || path[0] == '\0')
        return true;
    path_ = path;
    file_ = fopen(path, "a");
    if (file_ != nullptr)
        return true;
    DetailErrno(path, errno);
    return Fail(QLXRC_BAD_SETTING,
                "QLX_STATS_FILE=%s cannot be written: give a file that can, or unset it", path);
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
