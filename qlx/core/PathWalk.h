/* Walking a path that another user may reach, as it is given: every
 * directory on the way opened without following a link, so that a check
 * of the directories answers for the very ones the last name is in. */
#ifndef TFX_QLX_PATHWALK_H
#define TFX_QLX_PATHWALK_H

#include <functional>
#include <string>
#include <sys/stat.h>

namespace qlx {

/* Why a walk stopped short of the last name's directory. */
struct PathWalkStop {
    std::string Directory; /* the component that stopped it, as texts show it */
    int Error = 0;         /* its errno; 0 when the visitor stopped the walk */
    bool Link = false;     /* the component is a symbolic link */
};

/* Called for each directory on the way with its name as texts show it and
 * its status; returns false (having recorded why) to stop the walk. */
using DirectoryVisit = std::function<bool(const std::string &shown, const struct stat &info)>;

/* Opens the directory that holds the last name of path, starting from "/"
 * for an absolute path and from the working directory for a relative one
 * (where ZeroMQ and open(2) start), and going through every component with
 * openat(O_PATH | O_DIRECTORY | O_NOFOLLOW). visit sees the starting
 * directory and each one after it. Returns the directory's descriptor, with
 * *last set to the last name (empty when path ends in '/'), or -1 with
 * *stop saying why. Texts show a relative path behind the working
 * directory's name. */
int OpenDirectoryOf(const std::string &path, const DirectoryVisit &visit, std::string *last,
                    PathWalkStop *stop);

/* path as texts show it: a relative path behind the working directory. */
std::string ShownPath(const std::string &path);

} // namespace qlx

#endif
