#include "tests/support/Subprocess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tfxtest {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tfxtest-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void KillAndReap(pid_t *pid)
{
    if (*pid <= 0)
        return;
    (void)kill(*pid, SIGKILL);
    (void)waitpid(*pid, nullptr, 0);
    *pid = -1;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WaitForPath(const std::string &path, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

static void RedirectOrDie(const std::string &path, int fd, int flags)
{
    int file = open(path.c_str(), flags, 0600);
    if (file < 0 || dup2(file, fd) < 0)
        _exit(127);
    close(file);
}

Process::Process(const std::vector<std::string> &argv, const ProcessOptions &options)
{
    std::string stdinPath = dir_.Path() + "/stdin";
    {
        std::ofstream in(stdinPath, std::ios::binary);
        in << options.Stdin;
    }
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        for (const auto &[name, value] : options.Env)
            setenv(name.c_str(), value.c_str(), 1);
        RedirectOrDie(stdinPath, STDIN_FILENO, O_RDONLY);
        RedirectOrDie(dir_.Path() + "/stdout", STDOUT_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
        RedirectOrDie(dir_.Path() + "/stderr", STDERR_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
        execv(args[0], args.data());
        _exit(127);
    }
}

Process::~Process()
{
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
}

void Process::Signal(int signal) const
{
    if (!reaped_)
        kill(pid_, signal);
}

bool Process::Running()
{
    if (reaped_)
        return false;
    pid_t done = waitpid(pid_, &status_, WNOHANG);
    if (done == pid_)
        reaped_ = true;
    return !reaped_;
}

ProcessResult Process::Wait(std::chrono::milliseconds timeout)
{
    ProcessResult result;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            result.TimedOut = true;
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
            reaped_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status_))
        result.ExitCode = WEXITSTATUS(status_);
    if (WIFSIGNALED(status_))
        result.Signal = WTERMSIG(status_);
    result.Stdout = StdoutSoFar();
    result.Stderr = StderrSoFar();
    return result;
}

std::string Process::StdoutSoFar() const
{
    return ReadFile(dir_.Path() + "/stdout");
}

std::string Process::StderrSoFar() const
{
    return ReadFile(dir_.Path() + "/stderr");
}

bool Process::WaitForStdout(const std::string &text, std::chrono::milliseconds timeout) const
{
    return WaitForText("/stdout", text, timeout);
}

bool Process::WaitForStderr(const std::string &text, std::chrono::milliseconds timeout) const
{
    return WaitForText("/stderr", text, timeout);
}

bool Process::WaitForText(const char *file, const std::string &text,
                          std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ReadFile(dir_.Path() + file).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

ProcessResult RunProcess(const std::vector<std::string> &argv, const ProcessOptions &options)
{
    Process process(argv, options);
    return process.Wait(options.Timeout);
}

} // namespace tfxtest
