#include "qlx/core/PathWalk.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>

namespace qlx {

/* Joins a shown directory and a name. */
static std::string Below(const std::string &dir, const std::string &name)
{
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

static std::string WorkingDirectory()
{
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
}

std::string ShownPath(const std::string &path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    return Below(WorkingDirectory(), path);
}

/* Opens name in dir as a directory, never through a link; -1 with *stop
 * filled otherwise. */
static int OpenStep(int dir, const std::string &name, const std::string &shown, PathWalkStop *stop)
{
    int fd = openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        return fd;
    stop->Directory = shown;
    stop->Error = errno;
    struct stat info {};
    stop->Link =
        fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
    return -1;
}

/* Checks the directory fd, shown as shown, with visit; closes it when
 * visit stops the walk. */
static bool Visit(int fd, const std::string &shown, const DirectoryVisit &visit, PathWalkStop *stop)
{
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        stop->Directory = shown;
        stop->Error = errno;
        (void)close(fd);
        return false;
    }
    if (visit(shown, info))
        return true;
    stop->Directory = shown;
    (void)close(fd);
    return false;
}

int OpenDirectoryOf(const std::string &path, const DirectoryVisit &visit, std::string *last,
                    PathWalkStop *stop)
{
    bool absolute = !path.empty() && path[0] == '/';
    std::string shown = absolute ? "/" : WorkingDirectory();
    int dir = OpenStep(AT_FDCWD, absolute ? "/" : ".", shown, stop);
    if (dir < 0 || !Visit(dir, shown, visit, stop))
        return -1;
    size_t start = 0;
    for (size_t slash = path.find('/'); slash != std::string::npos;
         start = slash + 1, slash = path.find('/', start)) {
        std::string name = path.substr(start, slash - start);
        if (name.empty() || name == ".")
            continue;
        shown = Below(shown, name);
        int next = OpenStep(dir, name, shown, stop);
        (void)close(dir);
        if (next < 0 || !Visit(next, shown, visit, stop))
            return -1;
        dir = next;
    }
    *last = path.substr(start);
    return dir;
}

} // namespace qlx
