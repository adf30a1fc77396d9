/* Running the built programs as a user would: as processes, with their
 * standard streams captured whole. */
#ifndef TFX_TESTS_SUPPORT_SUBPROCESS_H
#define TFX_TESTS_SUPPORT_SUBPROCESS_H

#include <chrono>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace tfxtest {

/* A temporary directory, removed with everything in it at the end of scope. */
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &Path() const { return path_; }

  private:
    std::string path_;
};

struct ProcessResult {
    int ExitCode = -1; /* exit status, or -1 when ended by a signal */
    int Signal = 0;    /* the signal that ended the process, or 0 */
    bool TimedOut = false;
    std::string Stdout;
    std::string Stderr;
};

struct ProcessOptions {
    std::string Stdin; /* written to standard input, then closed */
    /* Variables added to (or replacing in) the environment. */
    std::vector<std::pair<std::string, std::string>> Env;
    std::chrono::milliseconds Timeout{std::chrono::seconds(60)};
};

/* A started process whose standard output and error go to files. */
class Process {
  public:
    Process(const std::vector<std::string> &argv, const ProcessOptions &options = {});
    ~Process(); /* kills the process if it still runs */
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t Pid() const { return pid_; }
    void Signal(int signal) const;
    /* Waits for the end, up to the timeout (then kills it). */
    ProcessResult Wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    /* What the process has written to standard output so far. */
    std::string StdoutSoFar() const;
    std::string StderrSoFar() const;
    /* Waits until standard output (error) holds text, up to the timeout. */
    bool WaitForStdout(const std::string &text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    bool WaitForStderr(const std::string &text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    bool Running();

  private:
    bool WaitForText(const char *file, const std::string &text,
                     std::chrono::milliseconds timeout) const;

    TempDir dir_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

/* Runs argv to its end and returns what it did. */
ProcessResult RunProcess(const std::vector<std::string> &argv, const ProcessOptions &options = {});

/* The whole content of a file; empty when it cannot be read. */
std::string ReadFile(const std::string &path);

/* Ends the child *pid as kill -9 does and reaps it; then *pid is -1. Does
 * nothing when *pid is not a child's. */
void KillAndReap(pid_t *pid);

/* Waits until path exists, up to the timeout. */
bool WaitForPath(const std::string &path,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30));

} // namespace tfxtest

#endif
