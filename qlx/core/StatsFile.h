/* QLX_STATS_FILE: the file a closing service appends one line of its
 * counters to, for tests and operators. It is opened with the service, so a
 * file that cannot be written stops the service from opening rather than
 * losing the line at the end. */
#ifndef TFX_QLX_STATSFILE_H
#define TFX_QLX_STATSFILE_H

#include <cstdio>
#include <string>

#include "qlx/ClientRecords.h"

namespace qlx {

class StatsFile {
  public:
    StatsFile() = default;
    ~StatsFile();
    StatsFile(const StatsFile &) = delete;
    StatsFile &operator=(const StatsFile &) = delete;

    /* Opens $QLX_STATS_FILE for appending when it is set. False, with the
     * error recorded, when it cannot be. */
    bool Open();
    /* Appends the counters of the service element name, when a file is open;
     * says so on standard error when they cannot be written. */
    void Write(const std::string &name, const QLXSTATS &stats);

  private:
    FILE *file_ = nullptr;
    std::string path_;
};

} // namespace qlx

#endif
