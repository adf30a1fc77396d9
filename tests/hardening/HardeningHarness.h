/* What the hardening tests share: the real server started as a process in a
 * runtime directory of its own, a well-behaved client that runs beside it at
 * a steady rate, and the server's figures read back from its summary, its
 * statistics line and /proc. */
#ifndef TFX_TESTS_HARDENING_HARDENINGHARNESS_H
#define TFX_TESTS_HARDENING_HARDENINGHARNESS_H

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "client/results/ResultDocument.h"
#include "tests/support/Subprocess.h"

namespace hardening {

using Clock = std::chrono::steady_clock;
using tfxtest::ProcessResult;

const std::string ServerPath = TFXSRVR_PATH;
const std::string ClientPath = TFXCLNT_PATH;

/* Long enough for a busy machine under the sanitizers; things normally take
 * milliseconds. */
constexpr std::chrono::seconds Generous(60);

/* Under AddressSanitizer freed memory waits in its quarantine, so resident
 * memory measures the sanitizer rather than the server: there LeakSanitizer,
 * at the server's exit, checks what the growth checks check here. */
constexpr bool Sanitized = TFX_SANITIZED != 0;

/* Growth of resident memory that still counts as flat. */
constexpr uint64_t FlatKiB = 1024;

/* The rate of the well-behaved client, in transactions per second. */
constexpr int SteadyRate = 200;

/* Polls condition every millisecond until it holds or limit has passed. */
template <typename Condition> bool WaitUntil(Condition condition, std::chrono::milliseconds limit)
{
    auto deadline = Clock::now() + limit;
    for (;;) {
        if (condition())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

/* Milliseconds since start, for messages and bounds. */
inline int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

/* ---- What /proc shows of a running process ---- */

/* A "Vm..." figure of /proc/<pid>/status in KiB; 0 when it cannot be read. */
inline uint64_t StatusKiB(pid_t pid, const std::string &field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return 0;
}
inline uint64_t ResidentKiB(pid_t pid)
{
    return StatusKiB(pid, "VmRSS");
}
inline uint64_t PeakResidentKiB(pid_t pid)
{
    return StatusKiB(pid, "VmHWM");
}

/* The number of descriptors the process has open. */
inline size_t OpenDescriptors(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return 0;
    size_t count = 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    (void)closedir(dir);
    return count;
}

/* Whether every thread of pid but except sleeps: none runs or waits to. */
inline bool Asleep(pid_t pid, pid_t except = 0)
{
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return false;
    bool asleep = true;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == except)
            continue;
        std::ifstream in(tasks + "/" + entry->d_name + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t name = stat.rfind(") ");
        asleep = asleep && name != std::string::npos && stat[name + 2] == 'S';
    }
    (void)closedir(dir);
    return asleep;
}

/* Waits until the server has handled what was sent to it: of the last 200
 * looks, a millisecond apart, at most 10 found it (or a thread of this
 * process, such as a ZeroMQ thread still sending) at work. A well-behaved
 * client at a steady rate keeps it busy for far less. */
inline bool WaitUntilIdle(pid_t server)
{
    constexpr size_t Looks = 200;
    constexpr size_t Busy = 10;
    std::vector<bool> busy(Looks, true);
    size_t at = 0;
    size_t busyCount = Looks;
    return WaitUntil(
        [&] {
            bool now = !Asleep(server) || !Asleep(getpid(), static_cast<pid_t>(gettid()));
            busyCount += static_cast<size_t>(now) - static_cast<size_t>(busy[at]);
            busy[at] = now;
            at = (at + 1) % Looks;
            return busyCount <= Busy;
        },
        Generous);
}

/* The system call the main thread of pid is blocked in, as numbers: the call
 * and its arguments; empty when it runs. */
inline std::vector<uint64_t> BlockedCall(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    std::string word;
    std::vector<uint64_t> call;
    while (in >> word) {
        if (word == "running")
            return {};
        call.push_back(std::strtoull(word.c_str(), nullptr, 0));
    }
    return call;
}

/* The server sits in the sleep of its delay: select with no descriptors,
 * which glibc makes a pselect6. */
inline bool SleepsInItsDelay(pid_t pid)
{
    std::vector<uint64_t> call = BlockedCall(pid);
    return call.size() >= 5 && call[0] == SYS_pselect6 && call[1] == 0 && call[2] == 0 &&
           call[3] == 0 && call[4] == 0;
}

/* The server waits for a message: its main thread polls its socket. */
inline bool WaitsForMessages(pid_t pid)
{
    std::vector<uint64_t> call = BlockedCall(pid);
    return call.size() >= 3 && call[0] == SYS_poll && call[2] == 1;
}

/* ---- What the server reports ---- */

/* The counters of a closing service, from its line in QLX_STATS_FILE:
 * transactions, malformed, refused, replies_dropped and the rest. */
using ServiceStats = std::map<std::string, uint64_t>;

/* The last qlx-stats line of text; empty when there is none. */
inline ServiceStats ParseStats(const std::string &text)
{
    size_t line = text.rfind("qlx-stats element=");
    if (line == std::string::npos)
        return {};
    /* The element name may hold blanks: the counters start after it. */
    size_t counters = text.find(" transactions=", line);
    if (counters == std::string::npos)
        return {};
    std::istringstream words(text.substr(counters, text.find('\n', counters) - counters));
    ServiceStats stats;
    std::string word;
    while (words >> word) {
        size_t equals = word.find('=');
        if (equals != std::string::npos)
            stats[word.substr(0, equals)] = std::strtoull(word.c_str() + equals + 1, nullptr, 10);
    }
    return stats;
}

/* The figures of the server's summary. */
struct ServerSummary {
    uint64_t Transactions = 0;
    uint64_t Datagrams = 0;
    uint64_t Total = 0;
    uint64_t Responses = 0; /* 0 when the service time line is left out */
    std::string Sizes;      /* "min/avg/max/total" as printed */
    uint64_t SizeMax = 0;
};

inline ServerSummary ParseSummary(const std::string &output)
{
    ServerSummary summary;
    size_t counts = output.rfind("\nTransactions = ");
    if (counts == std::string::npos)
        return summary;
    unsigned long long transactions = 0;
    unsigned long long datagrams = 0;
    unsigned long long total = 0;
    if (sscanf(output.c_str() + counts, "\nTransactions = %llu, Datagrams = %llu, Total = %llu",
               &transactions, &datagrams, &total) != 3)
        return summary;
    summary.Transactions = transactions;
    summary.Datagrams = datagrams;
    summary.Total = total;
    size_t responses = output.find(" for ", counts);
    if (responses != std::string::npos && output.find("service time", counts) < responses)
        summary.Responses = std::strtoull(output.c_str() + responses + 5, nullptr, 10);
    const std::string sizes = "min/avg/max/total = ";
    size_t at = output.find(sizes, counts);
    if (at == std::string::npos)
        return summary;
    summary.Sizes = output.substr(at + sizes.size(), output.find('\n', at) - at - sizes.size());
    unsigned long long min = 0;
    unsigned long long average = 0;
    unsigned long long max = 0;
    if (sscanf(summary.Sizes.c_str(), "%llu/%llu/%llu", &min, &average, &max) == 3)
        summary.SizeMax = max;
    return summary;
}

/* ---- The well-behaved client ---- */

/* tfxclnt at a steady rate from its start until Finish, every reply
 * verified, its progress on standard error and its result as JSON. */
class SteadyClient {
  public:
    SteadyClient(const tfxtest::ProcessOptions &options, const std::string &json,
                 const std::string &element, const std::vector<std::string> &extra, int rate)
        : json_(json)
    {
        std::vector<std::string> argv = {
            ClientPath, "-r", std::to_string(rate), "-d", "3600", "-t", "5", "-V", "-P",
            "-o",       json};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(element);
        process_ = std::make_unique<tfxtest::Process>(argv, options);
    }

    /* Completed transactions as its last progress line counts them. */
    uint64_t Completed() const
    {
        std::string progress = process_->StderrSoFar();
        size_t at = progress.rfind(" completed,");
        if (at == std::string::npos)
            return 0;
        size_t start = progress.rfind(' ', at - 1);
        return std::strtoull(progress.c_str() + start + 1, nullptr, 10);
    }

    /* Waits until it has completed at least count transactions. */
    bool WaitForCompleted(uint64_t count) const
    {
        return WaitUntil([&] { return Completed() >= count; }, Generous);
    }

    /* Waits until it completes more transactions than it had now: it is
     * still being answered. */
    bool WaitForMore() const { return WaitForCompleted(Completed() + 1); }

    /* Ends its run as a user would, with SIGINT, and reads back its result:
     * it stops sending and waits for what it has outstanding. */
    ResultJson Finish()
    {
        process_->Signal(SIGINT);
        result_ = process_->Wait(Generous);
        ResultJson json;
        std::string error;
        EXPECT_TRUE(ParseResultDocument(tfxtest::ReadFile(json_), &json, &error))
            << error << "\n"
            << result_.Stdout << result_.Stderr;
        return json;
    }

  private:
    std::string json_;
    std::unique_ptr<tfxtest::Process> process_;
    ProcessResult result_;
};

/* The client lost nothing: every transaction it sent was answered in full,
 * in order, with the reply it expects. */
inline void ExpectLostNothing(ResultJson &json)
{
    ResultJson &counts = json["counts"];
    EXPECT_EQ(json["ended_by"].get<std::string>(), "interrupt");
    EXPECT_GE(counts["transactions"].get<uint64_t>(), 1u);
    EXPECT_EQ(counts["completed"].get<uint64_t>(), counts["transactions"].get<uint64_t>());
    EXPECT_EQ(counts["timed_out"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["refused"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["unfinished"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["late_replies"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["unknown_request_ids"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["notify_after_normal"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["check_failures"].get<uint64_t>(), 0u) << json["first_check_failure"].dump();
    EXPECT_EQ(json["exit_code"].get<uint64_t>(), 0u);
}

/* ---- The fixture ---- */

/* Each test runs the server in a runtime directory of its own, which this
 * process uses too, so that its own clients find the server there; the
 * server appends its counters to a statistics file when it closes. */
class HardeningTest : public testing::Test {
  protected:
    void SetUp() override
    {
        qlxDir_ = dir_.Path() + "/qlx";
        statsPath_ = dir_.Path() + "/stats";
        const char *saved = getenv("QLX_DIR");
        savedQlxDir_ = saved != nullptr ? std::optional<std::string>(saved) : std::nullopt;
        ASSERT_EQ(setenv("QLX_DIR", qlxDir_.c_str(), 1), 0);
    }
    void TearDown() override
    {
        if (savedQlxDir_)
            (void)setenv("QLX_DIR", savedQlxDir_->c_str(), 1);
        else
            (void)unsetenv("QLX_DIR");
    }

    /* The environment of every process a test starts. */
    tfxtest::ProcessOptions Options() const
    {
        tfxtest::ProcessOptions options;
        options.Env = {{"QLX_DIR", qlxDir_}, {"QLX_STATS_FILE", statsPath_}};
        if (!endpoint_.empty())
            options.Env.emplace_back("QLX_ENDPOINT", endpoint_);
        options.Timeout = Generous;
        return options;
    }

    /* Every process the test starts from now on uses this ZeroMQ endpoint
     * in place of the runtime directory. */
    void UseEndpoint(const std::string &endpoint) { endpoint_ = endpoint; }

    /* Settings that the server, or the well-behaved client, alone gets. */
    using Settings = std::vector<std::pair<std::string, std::string>>;
    void SetServerSettings(const Settings &settings) { serverSettings_ = settings; }
    void SetSteadySettings(const Settings &settings) { steadySettings_ = settings; }
    tfxtest::ProcessOptions OptionsWith(const Settings &settings) const
    {
        tfxtest::ProcessOptions options = Options();
        options.Env.insert(options.Env.end(), settings.begin(), settings.end());
        return options;
    }

    /* Starts tfxsrvr with options on element and waits until it says that
     * it waits for messages (a line it flushes at once). launcher, when
     * given, runs it (as prlimit does) with the same process id. */
    void StartServer(const std::vector<std::string> &options, const std::string &element = "E1",
                     const std::vector<std::string> &launcher = {})
    {
        std::vector<std::string> argv = launcher;
        argv.push_back(ServerPath);
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(element);
        server_ = std::make_unique<tfxtest::Process>(argv, OptionsWith(serverSettings_));
        element_ = element;
        bool waiting = WaitUntil(
            [&] {
                return server_->StdoutSoFar().find("Waiting for message...\n") !=
                           std::string::npos ||
                       !server_->Running();
            },
            Generous);
        ASSERT_TRUE(waiting && server_->Running())
            << "the server did not open its service:\n"
            << server_->StdoutSoFar() << server_->StderrSoFar();
    }

    tfxtest::Process &Server() { return *server_; }
    pid_t ServerPid() const { return server_->Pid(); }
    const std::string &QlxDir() const { return qlxDir_; }
    const std::string &TempPath() const { return dir_.Path(); }
    std::string SocketPath() const
    {
        if (endpoint_.rfind("ipc://", 0) == 0)
            return endpoint_.substr(6);
        return qlxDir_ + "/" + element_ + ".sock";
    }
    std::string Endpoint() const { return "ipc://" + SocketPath(); }

    /* Starts the well-behaved client on the server's element. */
    void StartSteadyClient(const std::vector<std::string> &extra = {}, int rate = SteadyRate)
    {
        steady_ = std::make_unique<SteadyClient>(
            OptionsWith(steadySettings_), dir_.Path() + "/steady.json", element_, extra, rate);
    }
    SteadyClient &Steady() { return *steady_; }

    /* The well-behaved client is still answered after the fault; it ends
     * its run having lost nothing. Returns the transactions it sent. */
    uint64_t FinishSteadyClient()
    {
        EXPECT_TRUE(steady_->WaitForMore()) << "the well-behaved client is answered no more";
        ResultJson json = steady_->Finish();
        ExpectLostNothing(json);
        return json["counts"]["transactions"].get<uint64_t>();
    }

    /* The end of a test with the well-behaved client beside the fault: the
     * client lost nothing, and SIGUSR1 ends the server's run with exit code
     * 0. Returns the server's summary; sets *sent to the transactions the
     * client sent. */
    ServerSummary EndSteadyRun(uint64_t *sent)
    {
        *sent = FinishSteadyClient();
        ProcessResult server = InterruptServer();
        EXPECT_EQ(server.ExitCode, 0) << server.Stderr;
        return ParseSummary(server.Stdout);
    }

    /* Ends the run with SIGUSR1 and returns what the server did. */
    ProcessResult InterruptServer()
    {
        server_->Signal(SIGUSR1);
        return server_->Wait(Generous);
    }

    ServiceStats Stats() const { return ParseStats(tfxtest::ReadFile(statsPath_)); }

  private:
    tfxtest::TempDir dir_;
    std::string qlxDir_;
    std::string statsPath_;
    std::string endpoint_;
    Settings serverSettings_;
    Settings steadySettings_;
    std::string element_;
    std::optional<std::string> savedQlxDir_;
    std::unique_ptr<tfxtest::Process> server_;
    std::unique_ptr<SteadyClient> steady_;
};

} // namespace hardening

#endif
