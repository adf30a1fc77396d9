#include "client/results/OutputFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

OutputFile::~OutputFile()
{
    Discard();
}

void OutputFile::Discard()
{
    if (fd_ >= 0)
        (void)close(fd_);
    fd_ = -1;
    if (!temporary_.empty())
        (void)unlink(temporary_.c_str());
    temporary_.clear();
}

static std::string CannotText(const std::string &path, const char *why)
{
    return path + ": cannot be written (" + why + ")";
}

bool OutputFile::Prepare(const std::string &path, std::string *error)
{
    Discard();
    path_ = path;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name_ = path.substr(slash == std::string::npos ? 0 : slash + 1);
    struct stat info {};
    if (name_.empty() || (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))) {
        *error = CannotText(path, "it is a directory");
        return false;
    }
    std::string temporary = path + ".XXXXXX";
    fd_ = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd_ >= 0)
        temporary_ = temporary;
    if (fd_ < 0 || stat(dir.c_str(), &info) != 0) {
        *error = CannotText(path, strerror(errno));
        Discard();
        return false;
    }
    dirDevice_ = info.st_dev;
    dirInode_ = info.st_ino;
    return true;
}

bool OutputFile::SamePlace(const OutputFile &other) const
{
    return !temporary_.empty() && !other.temporary_.empty() && dirDevice_ == other.dirDevice_ &&
           dirInode_ == other.dirInode_ && name_ == other.name_;
}

bool OutputFile::Commit(const std::string &text, std::string *error)
{
    if (temporary_.empty()) {
        *error = CannotText(path_, "no temporary file was made for it");
        return false;
    }
    mode_t mask = umask(0);
    (void)umask(mask);
    (void)fchmod(fd_, 0666 & ~mask);
    FILE *file = fdopen(fd_, "w");
    bool written = file != nullptr && fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file != nullptr) {
        fd_ = -1;
        written = fclose(file) == 0 && written;
    }
    if (written && rename(temporary_.c_str(), path_.c_str()) == 0) {
        temporary_.clear();
        return true;
    }
    *error = CannotText(path_, strerror(errno));
    Discard();
    return false;
}
