#include "qlx/zmq/ServiceReach.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <libgen.h>
#include <sys/stat.h>
#include <vector>

#include "qlx/ErrorRecord.h"
#include "qlx/core/ElementName.h"
#include "qlx/core/Errors.h"
#include "qlx/zmq/LockFile.h"
#include "qlx/zmq/LockName.h"

namespace qlx {

enum : size_t { ServedListLimit = 150 }; /* bytes of names in a sub result of 216 */

static bool IsSet(const char *variable)
{
    const char *value = getenv(variable);
    return value != nullptr && value[0] != '\0';
}

/* The runtime directory, and the setting that chose it. */
static std::string DirectoryText()
{
    std::string dir = RuntimeDirectoryPath();
    if (IsSet("QLX_DIR"))
        return dir + " (QLX_DIR)";
    if (IsSet("XDG_RUNTIME_DIR"))
        return dir + " (XDG_RUNTIME_DIR/qlx)";
    return dir + " (the default: QLX_DIR is not set)";
}

/* The element name as a shell word. */
static std::string ShellWord(const std::string &name)
{
    if (!name.empty() &&
        name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                               "0123456789._-/") == std::string::npos)
        return name;
    std::string quoted = "'";
    for (char ch : name)
        quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return quoted + "'";
}

int FailNotServed(const std::string &name, const std::string &seen)
{
    Detail(0, "%s", seen.c_str());
    std::string start = "start its service there first, e.g. tfxsrvr " + ShellWord(name);
    if (const char *address = ExplicitEndpoint())
        return Fail(
            QLXRC_NOT_SERVED,
            "service element %s is not served at QLX_ENDPOINT=%s: %s with the same QLX_ENDPOINT",
            name.c_str(), address, start.c_str());
    return Fail(QLXRC_NOT_SERVED, "service element %s is not served in %s: %s", name.c_str(),
                DirectoryText().c_str(), start.c_str());
}

/* The element name of the lock file at path as a user gives it, or the
 * file's stem when the file does not carry it. */
static std::string ServedName(const std::string &path, const std::string &stem)
{
    std::string name = ReadLockName(path, stem);
    return name.empty() ? stem : ShellWord(PrintableName(name.data(), name.size()));
}

/* The names whose lock a live process holds in dir, in order. */
static std::vector<std::string> ServedNames(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *listing = opendir(dir.c_str());
    if (listing == nullptr)
        return names;
    const std::string suffix = ".lock";
    while (const dirent *entry = readdir(listing)) {
        std::string file = entry->d_name;
        if (file.size() <= suffix.size() ||
            file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        if (ServiceLockHeld(dir + "/" + file))
            names.push_back(
                ServedName(dir + "/" + file, file.substr(0, file.size() - suffix.size())));
    }
    (void)closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

/* "served there now: E2, E3", as many names as fit. */
static std::string ServedText(const std::string &dir)
{
    std::vector<std::string> names = ServedNames(dir);
    if (names.empty())
        return "nothing is served there now";
    std::string text;
    size_t shown = 0;
    for (; shown < names.size() && text.size() + names[shown].size() < ServedListLimit; ++shown)
        text += (shown == 0 ? "" : ", ") + names[shown];
    if (shown < names.size())
        text += ", ... (" + std::to_string(names.size()) + " in all)";
    return "served there now: " + text;
}

bool RuntimeDirectoryPresent(const std::string &name)
{
    struct stat info {};
    if (ExplicitEndpoint() != nullptr || lstat(RuntimeDirectoryPath().c_str(), &info) == 0)
        return true;
    return FailNotServed(name, "the directory does not exist: nothing is served there");
}

static bool IsSocket(const std::string &path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

/* Why an ipc:// socket named by QLX_ENDPOINT has no service. */
static std::string MissingSocketText(const std::string &path)
{
    std::string copy = path;
    std::string dir = dirname(copy.data());
    struct stat info {};
    if (lstat(dir.c_str(), &info) != 0)
        return "directory " + dir + " does not exist";
    return "there is no socket " + path;
}

static Reach NotServed(const std::string &name, const std::string &seen)
{
    FailNotServed(name, seen);
    return Reach::None;
}

/* A service of this library holds the lock beside its ipc:// socket while it
 * lives. A socket with no lock file beside it is another program's QLX/1
 * service, which only its answer shows to be live, as a tcp:// one. */
Reach CheckReach(const std::string &name, const Endpoint &endpoint)
{
    if (endpoint.LockPath.empty())
        return Reach::Unknown;
    bool explicitEndpoint = ExplicitEndpoint() != nullptr;
    struct stat info {};
    if (lstat(endpoint.LockPath.c_str(), &info) == 0) {
        int openError = 0;
        if (ServiceLockHeld(endpoint.LockPath, &openError))
            return Reach::Live;
        if (OutOfDescriptors(openError)) {
            FailOutOfDescriptors(("lock file " + endpoint.LockPath).c_str(), openError);
            return Reach::None;
        }
        if (explicitEndpoint)
            return NotServed(name, "no live process holds " + endpoint.LockPath);
        return NotServed(name, ServedText(RuntimeDirectoryPath()));
    }
    if (IsSocket(endpoint.SocketPath))
        return Reach::Unknown;
    if (explicitEndpoint)
        return NotServed(name, MissingSocketText(endpoint.SocketPath));
    return NotServed(name, ServedText(RuntimeDirectoryPath()));
}

} // namespace qlx
