/* A standing adversary: the real server beside a well-behaved verified
 * client, while groups of peers whose behaviour a seeded generator draws from
 * one table come and go. Every second the server must answer a probe within
 * a deadline, hold its resident memory within the bound docs/qlx.md states
 * for the limit it was given, and keep serving the well-behaved client; at
 * the end that client has lost nothing and the server has its descriptors
 * back. The server serves its metrics (TFX_METRICS) the while, and a
 * well-behaved scrape of them must succeed every second. TFX_CHAOS_SEED replays a run's plan
 * exactly; TFX_CHAOS_SECONDS sets how long the adversaries come (default 12 s for each transport).
 */
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <poll.h>
#include <random>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.h>

#include "tests/hardening/HardeningHarness.h"
#include "tests/support/BadScraper.h"
#include "tests/support/HttpGet.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/RawPeer.h"

namespace {

using namespace hardening;
using tfxtest::WireHeader;

/* ---- The adversaries ---- */

struct Range {
    int Low;
    int High;
};

enum class Reads { Never, OnePerRound, All };

/* How a group ends: stopped (SIGSTOP) a third into its life and, if it
 * Continues, continued (SIGCONT) at two thirds; at its end each process
 * gets Signal (SIGTERM: it closes its sockets and leaves), one after another
 * TrainGapMs apart. */
struct Ending {
    bool Stops;
    bool Continues;
    int Signal;
    int TrainGapMs;
};
const Ending Leaves{false, false, SIGTERM, 0};
const Ending KilledInATrain{false, false, SIGKILL, 150};
const Ending StoppedThenContinued{true, true, SIGTERM, 0};
const Ending StoppedThenKilled{true, false, SIGKILL, 100};

/* One way of misbehaving: a group of Processes processes, each with Sockets
 * DEALERs, sends PerRound transactions on each socket every round and then
 * pauses PauseMs; a group that Vanishes connects its sockets anew each round
 * and closes them right after sending. A group that Scrapes holds its
 * sockets as connections to the server's metrics listener instead, each a
 * scraper that misbehaves as BadScrape draws, one of them made anew each
 * round. */
struct Behaviour {
    const char *Name;
    Range Processes;
    Range Sockets;
    Reads Read;
    Range PerRound;
    Range PauseMs;
    bool Vanishes;
    const Ending *End;
    bool Scrapes;
};

/* Every adversary; a new one is a new row. */
// clang-format off
const Behaviour Adversaries[] = {
    {"never reads, one per round",    {1, 3}, {60, 200}, Reads::Never,       {1, 1},    {10, 100},    false, &Leaves, false},
    {"never reads, two then a pause", {1, 1}, {20, 100}, Reads::Never,       {2, 2},    {1100, 1100}, false, &Leaves, false},
    {"never reads, bursts",           {1, 1}, {1, 20},   Reads::Never,       {50, 400}, {300, 3000},  false, &Leaves, false},
    {"reads slowly",                  {1, 1}, {1, 20},   Reads::OnePerRound, {1, 8},    {10, 100},    false, &Leaves, false},
    {"dies in a train",               {3, 8}, {1, 20},   Reads::All,         {1, 20},   {5, 50},      false, &KilledInATrain, false},
    {"stopped, then continued",       {1, 3}, {1, 30},   Reads::All,         {1, 10},   {5, 50},      false, &StoppedThenContinued, false},
    {"stopped, then killed",          {1, 3}, {1, 30},   Reads::Never,       {1, 10},   {5, 50},      false, &StoppedThenKilled, false},
    {"connects and vanishes",         {1, 1}, {1, 20},   Reads::Never,       {0, 2},    {10, 200},    true,  &Leaves, false},
    {"scrapes the metrics badly",     {1, 2}, {1, 300},  Reads::Never,       {1, 1},    {50, 1000},   true,  &Leaves, true},
};
// clang-format on

/* At most this many adversary groups and sockets at once, the sockets well
 * under the server's connection ceiling; each group sends at most
 * GroupRate messages and GroupBytes bytes a second. */
constexpr int MaxGroups = 5;
constexpr int MaxSockets = 600;
constexpr uint64_t GroupRate = Sanitized ? 500 : 4000;
constexpr uint64_t GroupBytes = 32u << 20;
/* Bytes a process sends at most in one round, so large sizes do not turn a
 * round into gigabytes. */
constexpr uint64_t RoundBytes = 4u << 20;

/* The data sizes a group sends, drawn by weight: most in 33 to 8,191 bytes,
 * which ZeroMQ reads into shared buffers of 8 KiB. The larger ones go to
 * groups of at most MostSockets sockets: each such peer may have the server
 * hold 129 of its messages, and a few of them would lift the bound far past
 * anything the other peers could show. */
struct SizeClass {
    uint32_t Low;
    uint32_t High;
    int Weight;
    int MostSockets;
};
const SizeClass Sizes[] = {{33, 8191, 6, MaxSockets},
                           {0, 32, 1, MaxSockets},
                           {8192, 65535, 2, 16},
                           {65536, 1u << 20, 1, 2}};

/* The memory limits in MiB a run may give the server, drawn per run. */
const int LimitsMiB[] = {8, 16, 32};

/* A generator whose draws are the same on every platform for a seed. */
class Draw {
  public:
    explicit Draw(uint64_t seed) : rng_(seed) {}
    int In(Range range)
    {
        return range.Low + static_cast<int>(rng_() % (range.High - range.Low + 1));
    }
    uint64_t Next() { return rng_(); }
    const SizeClass &Size()
    {
        int total = 0;
        for (const SizeClass &size : Sizes)
            total += size.Weight;
        int at = In({0, total - 1});
        for (const SizeClass &size : Sizes) {
            if (at < size.Weight)
                return size;
            at -= size.Weight;
        }
        return Sizes[0];
    }

  private:
    std::mt19937_64 rng_;
};

/* A group as planned, and the processes it runs. */
struct Group {
    const Behaviour *Kind;
    int64_t StartMs;
    int64_t EndMs;
    int Processes;
    int Sockets;
    int PerRound;
    int PauseMs;
    SizeClass Size;
    uint64_t Seed;
    std::vector<pid_t> Pids;
    size_t Alive = 0;
};

/* Something to do to a group at a time: start it (Signal 0) or signal one
 * of its processes. */
struct Step {
    int64_t AtMs;
    size_t Group;
    int Process;
    int Signal;
};

/* The pause after each round that keeps group within GroupRate and
 * GroupBytes a second: beside a busy server the well-behaved client gets
 * its turn among all connections, so a flood past what the server can read
 * would starve any server. */
int PacedPauseMs(const Group &group)
{
    uint64_t messages = uint64_t(group.Processes) * group.Sockets * group.PerRound;
    uint64_t bytes = messages * (uint64_t(group.Size.Low) + group.Size.High) / 2;
    uint64_t least = std::max(messages * 1000 / GroupRate, bytes * 1000 / GroupBytes);
    return static_cast<int>(std::max<uint64_t>(group.PauseMs, least));
}

/* The plan of a run of seconds: groups start 0.3 to 1.5 s apart and live
 * from 1 s up to the end of the run (60 s at most), never more than
 * MaxGroups or MaxSockets at once. */
std::vector<Group> PlanGroups(Draw &draw, int seconds)
{
    std::vector<Group> groups;
    const int64_t runMs = seconds * 1000;
    for (int64_t at = 0; at < runMs - 1000; at += draw.In({300, 1500})) {
        const Behaviour &kind = Adversaries[draw.In({0, std::size(Adversaries) - 1})];
        int lifeMs = draw.In({1000, static_cast<int>(std::min<int64_t>(60000, runMs - at))});
        Group group{&kind,
                    at,
                    at + lifeMs,
                    draw.In(kind.Processes),
                    draw.In(kind.Sockets),
                    draw.In(kind.PerRound),
                    draw.In(kind.PauseMs),
                    draw.Size(),
                    draw.Next(),
                    {},
                    0};
        if (!kind.Scrapes) { /* scrapers send no data */
            group.Sockets =
                std::max(1, std::min(group.Sockets, group.Size.MostSockets / group.Processes));
            group.PauseMs = PacedPauseMs(group);
        }
        int sockets = group.Processes * group.Sockets;
        int live = 1;
        for (const Group &other : groups) {
            if (other.EndMs > at) {
                sockets += other.Processes * other.Sockets;
                ++live;
            }
        }
        if (sockets <= MaxSockets && live <= MaxGroups)
            groups.push_back(group);
    }
    return groups;
}

std::vector<Step> PlanSteps(const std::vector<Group> &groups)
{
    std::vector<Step> steps;
    for (size_t g = 0; g < groups.size(); ++g) {
        const Group &group = groups[g];
        const Ending &end = *group.Kind->End;
        int64_t life = group.EndMs - group.StartMs;
        steps.push_back({group.StartMs, g, -1, 0});
        for (int p = 0; p < group.Processes; ++p) {
            if (end.Stops)
                steps.push_back({group.StartMs + life / 3, g, p, SIGSTOP});
            if (end.Continues)
                steps.push_back({group.StartMs + 2 * life / 3, g, p, SIGCONT});
            steps.push_back({group.EndMs + p * end.TrainGapMs, g, p, end.Signal});
        }
    }
    std::stable_sort(steps.begin(), steps.end(),
                     [](const Step &a, const Step &b) { return a.AtMs < b.AtMs; });
    return steps;
}

/* ---- A process of a group ---- */

volatile sig_atomic_t Leaving = 0;

void Leave(int)
{
    Leaving = 1;
}

void *OpenPeer(void *context, const std::string &endpoint, Reads read, uint32_t largest)
{
    void *socket = zmq_socket(context, ZMQ_DEALER);
    int linger = 0;
    int one = 1;
    /* A queue of a few rounds, however large the data. */
    int sendLimit = static_cast<int>(std::clamp<uint64_t>(RoundBytes / (largest + 1), 8, 1000));
    if (socket == nullptr)
        return nullptr;
    (void)zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    (void)zmq_setsockopt(socket, ZMQ_SNDHWM, &sendLimit, sizeof sendLimit);
    if (read == Reads::Never)
        (void)zmq_setsockopt(socket, ZMQ_RCVHWM, &one, sizeof one);
    (void)zmq_connect(socket, endpoint.c_str());
    return socket;
}

/* Reads what has come to socket: one message, or all of them. */
void ReadReplies(void *socket, Reads read)
{
    zmq_msg_t part;
    (void)zmq_msg_init(&part);
    for (int messages = 0; read != Reads::Never;) {
        if (zmq_msg_recv(&part, socket, ZMQ_DONTWAIT) < 0)
            break;
        if (!zmq_msg_more(&part) && ++messages == 1 && read == Reads::OnePerRound)
            break;
    }
    (void)zmq_msg_close(&part);
}

/* Sends a transaction of length bytes of data on socket unless its queue
 * is full. */
void SendTransaction(void *socket, uint64_t requestId, const std::string &data, size_t length)
{
    const std::string header = WireHeader(1, 'T', 0, 0, requestId);
    if (zmq_send(socket, header.data(), header.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0)
        return;
    (void)zmq_send(socket, "", 0, ZMQ_SNDMORE);
    (void)zmq_send(socket, data.data(), length, 0);
}

/* A process of a group ends with its parent, and leaves at SIGTERM. */
void BecomeAdversary()
{
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    struct sigaction leave {};
    leave.sa_handler = Leave;
    (void)sigaction(SIGTERM, &leave, nullptr);
}

/* A process of a group that scrapes the metrics at port: its scrapers,
 * held, one of them made anew each round, until SIGTERM; never returns. */
[[noreturn]] void RunScraper(const Group &group, int process, int port)
{
    BecomeAdversary();
    std::mt19937_64 draw(group.Seed + static_cast<uint64_t>(process));
    std::vector<int> scrapers;
    for (int s = 0; s < group.Sockets; ++s)
        scrapers.push_back(tfxtest::BadScrape(port, draw));
    auto deadline = Clock::now() + std::chrono::minutes(10);
    for (size_t next = 0; !Leaving && Clock::now() < deadline;
         next = (next + 1) % scrapers.size()) {
        (void)poll(nullptr, 0, group.PauseMs);
        (void)close(scrapers[next]);
        scrapers[next] = tfxtest::BadScrape(port, draw);
    }
    _exit(0);
}

/* The life of one process of group until SIGTERM ends it (or its parent
 * does, or ten minutes pass); never returns. Sockets that vanish are closed
 * after the pause that follows their round. */
[[noreturn]] void RunAdversary(const Group &group, int process, const std::string &endpoint)
{
    BecomeAdversary();
    Draw draw(group.Seed + static_cast<uint64_t>(process));
    const Behaviour &kind = *group.Kind;
    const std::string data(group.Size.High, 'x');
    const Range size{static_cast<int>(group.Size.Low), static_cast<int>(group.Size.High)};
    void *context = zmq_ctx_new();
    (void)zmq_ctx_set(context, ZMQ_MAX_SOCKETS, group.Sockets + 8);
    std::vector<void *> sockets(group.Sockets, nullptr);
    uint64_t requestId = 0;
    for (auto deadline = Clock::now() + std::chrono::minutes(10);
         !Leaving && Clock::now() < deadline;) {
        uint64_t sent = 0;
        for (void *&socket : sockets) {
            if (socket != nullptr && kind.Vanishes) {
                (void)zmq_close(socket);
                socket = nullptr;
            }
            if (socket == nullptr)
                socket = OpenPeer(context, endpoint, kind.Read, group.Size.High);
            for (int k = 0; k < group.PerRound && sent < RoundBytes; ++k) {
                size_t length = static_cast<size_t>(draw.In(size));
                SendTransaction(socket, ++requestId, data, length);
                sent += length;
            }
            ReadReplies(socket, kind.Read);
        }
        (void)poll(nullptr, 0, group.PauseMs);
    }
    for (void *socket : sockets) {
        if (socket != nullptr)
            (void)zmq_close(socket);
    }
    (void)zmq_ctx_term(context);
    _exit(0);
}

/* ---- The bound ---- */

/* The resident memory, in KiB, that docs/qlx.md ("Limits: descriptors,
 * connections and memory") lets the server hold under limit L with these
 * connections open, beside the baseline it had before them:
 *     replies    min(L + C x max(256 KiB, R + 512), C x L/4)
 *     received   C x 129 x (M + 384)
 *     each peer  about 64 KiB
 * and the receive buffer of the largest message. Each connection's own
 * largest data (largest[i]) gives its R (with the tag the server adds) and
 * its M (with the 16-byte header); "about" is Slack. */
uint64_t ResidentBoundKiB(uint64_t baselineKiB, uint64_t limit,
                          const std::vector<uint64_t> &largest)
{
    constexpr uint64_t Slack = 32u << 20;
    constexpr uint64_t Tag = 64;
    constexpr uint64_t Header = 16;
    const uint64_t c = largest.size();
    uint64_t pastLimit = 0;
    uint64_t received = 0;
    uint64_t most = 0;
    for (uint64_t data : largest) {
        pastLimit += std::max<uint64_t>(256u << 10, data + Tag + 512);
        received += 129 * (data + Header + 384);
        most = std::max(most, data);
    }
    uint64_t replies = std::min(limit + pastLimit, c * limit / 4);
    return baselineKiB + (replies + received + c * (64u << 10) + most + Slack) / 1024;
}

/* ---- The run ---- */

/* The seed of the run: TFX_CHAOS_SEED, or a fresh one. */
uint64_t RunSeed()
{
    const char *given = getenv("TFX_CHAOS_SEED");
    if (given != nullptr && *given != '\0')
        return std::strtoull(given, nullptr, 0);
    return std::random_device{}() ^ (static_cast<uint64_t>(std::random_device{}()) << 32);
}

int RunSeconds()
{
    const char *given = getenv("TFX_CHAOS_SECONDS");
    int seconds = given != nullptr ? std::atoi(given) : 0;
    return seconds >= 3 ? seconds : 12;
}

constexpr int64_t ProbeDeadlineMs = 10000;
/* Under the 5 s after which the metrics listener closes any connection: a
 * scrape served only once the connections before it were closed is late. */
constexpr int64_t ScrapeDeadlineMs = 3000;
/* The longest the well-behaved client may go without a transaction
 * completed. */
constexpr int64_t StallMs = 15000;

class Chaos : public HardeningTest, public testing::WithParamInterface<const char *> {
  protected:
    void TearDown() override
    {
        for (Group &group : groups_) {
            for (pid_t &pid : group.Pids)
                tfxtest::KillAndReap(&pid);
        }
        HardeningTest::TearDown();
    }

    /* Draws the run's plan from seed and prints it. */
    void Plan(uint64_t seed, int seconds)
    {
        Draw draw(seed);
        limitMiB_ = LimitsMiB[draw.In({0, std::size(LimitsMiB) - 1})];
        groups_ = PlanGroups(draw, seconds);
        steps_ = PlanSteps(groups_);
        printf("chaos: %s, QLX_MEMORY_LIMIT=%dM, %zu groups\n", GetParam(), limitMiB_,
               groups_.size());
        for (const Group &group : groups_)
            printf("chaos:   %5.1f s to %5.1f s: %s, %d x %d sockets, %d a round every %d ms, "
                   "data %u-%u\n",
                   group.StartMs / 1000.0, group.EndMs / 1000.0, group.Kind->Name, group.Processes,
                   group.Sockets, group.PerRound, group.PauseMs, group.Size.Low, group.Size.High);
    }

    /* The server under the drawn limit, the well-behaved client and the
     * probe; then what the server holds before any adversary. */
    void StartBesideTheGoodClient()
    {
        if (std::string(GetParam()) == "tcp") {
            endpoint_ = "tcp://127.0.0.1:" + std::to_string(tfxtest::FreeLoopbackPort());
            UseEndpoint(endpoint_);
        }
        SetServerSettings({{"QLX_MEMORY_LIMIT", std::to_string(limitMiB_) + "M"},
                           {"TFX_METRICS", std::to_string(metricsPort_)}});
        ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
        if (endpoint_.empty())
            endpoint_ = Endpoint();
        StartSteadyClient();
        ASSERT_TRUE(Steady().WaitForCompleted(1));
        probe_ = std::make_unique<tfxtest::RawPeer>(endpoint_);
        ASSERT_GE(Probe(), 0) << "the server does not answer the probe";
        descriptors_ = OpenDescriptors(ServerPid());
        baselineKiB_ = ResidentKiB(ServerPid());
        completed_ = Steady().Completed();
        if (Sanitized)
            printf("chaos: resident memory is not checked under AddressSanitizer\n");
    }

    /* Takes the steps of the plan due by atMs, each at its time. */
    void TakeSteps(Clock::time_point start, int64_t atMs)
    {
        for (; next_ < steps_.size() && steps_[next_].AtMs <= atMs; ++next_) {
            const Step &step = steps_[next_];
            std::this_thread::sleep_until(start + std::chrono::milliseconds(step.AtMs));
            Group &group = groups_[step.Group];
            if (step.Signal == 0)
                StartGroup(group);
            else if (group.Pids[step.Process] > 0)
                (void)kill(group.Pids[step.Process], step.Signal);
        }
    }

    void StartGroup(Group &group)
    {
        for (int p = 0; p < group.Processes; ++p) {
            pid_t pid = fork();
            if (pid == 0 && group.Kind->Scrapes)
                RunScraper(group, p, metricsPort_);
            if (pid == 0)
                RunAdversary(group, p, endpoint_);
            group.Pids.push_back(pid);
            group.Alive += pid > 0;
        }
    }

    /* Reaps the processes that have ended; true when none is left. */
    bool Reap()
    {
        bool none = true;
        for (Group &group : groups_) {
            for (pid_t &pid : group.Pids) {
                if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) {
                    pid = -1;
                    --group.Alive;
                }
            }
            none = none && group.Alive == 0;
        }
        return none;
    }

    /* The largest data of each connection open now: the well-behaved
     * client's, the probe's and each live group's sockets' (scrapers cost
     * the metrics listener alone). */
    std::vector<uint64_t> Connections() const
    {
        std::vector<uint64_t> largest = {128, 64};
        for (const Group &group : groups_)
            if (!group.Kind->Scrapes)
                largest.insert(largest.end(), group.Alive * group.Sockets, group.Size.High);
        return largest;
    }

    /* The invariants of every second. Resident memory is allowed the bound
     * for the connections open now, or what the server held earlier within
     * the bound of then (memory given back may stay resident) and what
     * still counts as flat beyond it. */
    void CheckSecond(int64_t atMs)
    {
        const int64_t second = atMs / 1000;
        ASSERT_TRUE(Server().Running()) << "the server ended at " << second << " s:\n"
                                        << Server().StderrSoFar();
        std::vector<uint64_t> connections = Connections();
        uint64_t bound = ResidentBoundKiB(baselineKiB_, uint64_t(limitMiB_) << 20, connections);
        uint64_t resident = ResidentKiB(ServerPid());
        uint64_t allowed = std::max(bound, heldKiB_ + FlatKiB);
        heldKiB_ = std::max(heldKiB_, std::min(resident, bound));
        int64_t probeMs = Probe();
        int64_t scrapeMs = Scrape();
        if (Steady().Completed() > completed_) {
            completed_ = Steady().Completed();
            servedAtMs_ = atMs;
        }
        printf("chaos: %3lld s: resident %7llu KiB, allowed %7llu, %3llu connections, probe %lld "
               "ms, scrape %lld ms, %llu completed\n",
               static_cast<long long>(second), static_cast<unsigned long long>(resident),
               static_cast<unsigned long long>(allowed),
               static_cast<unsigned long long>(connections.size()), static_cast<long long>(probeMs),
               static_cast<long long>(scrapeMs), static_cast<unsigned long long>(completed_));
        if (!Sanitized) {
            ASSERT_LE(resident, allowed) << "resident memory past the bound at " << second << " s";
        }
        ASSERT_GE(probeMs, 0) << "the probe was not answered at " << second << " s";
        ASSERT_GE(scrapeMs, 0) << "a well-behaved scrape failed at " << second << " s";
        ASSERT_LT(scrapeMs, ScrapeDeadlineMs)
            << "a well-behaved scrape was late at " << second << " s";
        ASSERT_LT(atMs - servedAtMs_, StallMs) << "the well-behaved client is served no more";
    }

    /* A transaction on the probe, answered within the deadline; its round
     * trip in milliseconds, or -1. */
    int64_t Probe()
    {
        auto start = Clock::now();
        uint64_t id = ++probeId_;
        if (!probe_->Send({WireHeader(1, 'T', 0, 0, id), "", "probe\n"}))
            return -1;
        const std::vector<std::string> expected = {WireHeader(1, 'R', 0, 0, id), "", "probe;"};
        std::vector<std::string> frames;
        for (int64_t left = ProbeDeadlineMs; left > 0; left = ProbeDeadlineMs - MsSince(start)) {
            if (!probe_->Receive(&frames, std::chrono::milliseconds(left)))
                return -1;
            if (frames == expected)
                return MsSince(start);
        }
        return -1;
    }

    /* A well-behaved scrape of the server's metrics: how long it took, or
     * -1 when it did not get them. */
    int64_t Scrape() const
    {
        auto start = Clock::now();
        std::string scraped = tfxtest::HttpBody(tfxtest::HttpGet(metricsPort_, "/metrics"));
        return scraped.find("\ntfxsrvr_transactions_total{") != std::string::npos ? MsSince(start)
                                                                                  : -1;
    }

    /* After the adversaries: every one ended, the server's descriptors as
     * before them, the probe answered, the well-behaved client lost
     * nothing, and every reply was sent or counted as dropped. */
    void CheckTheEnd()
    {
        ASSERT_TRUE(WaitUntil([&] { return Reap(); }, Generous)) << "an adversary did not end";
        pid_t server = ServerPid();
        EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors(server) <= descriptors_; }, Generous))
            << OpenDescriptors(server) << " descriptors open, " << descriptors_ << " before";
        EXPECT_GE(Probe(), 0) << "the probe was not answered after the adversaries";
        FinishSteadyClient();
        ProcessResult ended = InterruptServer();
        EXPECT_EQ(ended.ExitCode, 0) << ended.Stderr;
        ServiceStats stats = Stats();
        printf("chaos: the server counted %llu transactions, %llu replies sent, %llu dropped\n",
               static_cast<unsigned long long>(stats["transactions"]),
               static_cast<unsigned long long>(stats["replies_sent"]),
               static_cast<unsigned long long>(stats["replies_dropped"]));
        EXPECT_EQ(stats["replies_sent"] + stats["replies_dropped"], stats["transactions"]);
        EXPECT_EQ(stats["buffers_handed"], stats["buffers_released"]);
    }

    std::string endpoint_;
    int metricsPort_ = tfxtest::FreeLoopbackPort();
    int limitMiB_ = 0;
    std::vector<Group> groups_;
    std::vector<Step> steps_;
    size_t next_ = 0;
    std::unique_ptr<tfxtest::RawPeer> probe_;
    uint64_t probeId_ = 0;
    size_t descriptors_ = 0;
    uint64_t baselineKiB_ = 0;
    uint64_t heldKiB_ = 0;
    uint64_t completed_ = 0;
    int64_t servedAtMs_ = 0;
};

/* Whatever the adversaries do, every second the server answers the probe,
 * holds its resident memory within the documented bound and keeps serving
 * the well-behaved client; at the end that client has lost nothing and the
 * server has its descriptors back. */
TEST_P(Chaos, EveryInvariantHoldsWhateverThePeersDo)
{
    const uint64_t seed = RunSeed();
    const int seconds = RunSeconds();
    const std::string replay =
        "TFX_CHAOS_SEED=" + std::to_string(seed) + " TFX_CHAOS_SECONDS=" + std::to_string(seconds);
    printf("chaos: replay with %s\n", replay.c_str());
    SCOPED_TRACE("replay with " + replay);
    RecordProperty("seed", std::to_string(seed));
    Plan(seed, seconds);
    ASSERT_NO_FATAL_FAILURE(StartBesideTheGoodClient());
    const auto start = Clock::now();
    for (int64_t atMs = 1000; next_ < steps_.size() || atMs <= seconds * 1000; atMs += 1000) {
        TakeSteps(start, atMs);
        std::this_thread::sleep_until(start + std::chrono::milliseconds(atMs));
        (void)Reap();
        ASSERT_NO_FATAL_FAILURE(CheckSecond(atMs));
    }
    CheckTheEnd();
}

INSTANTIATE_TEST_SUITE_P(Transports, Chaos, testing::Values("ipc", "tcp"));

} // namespace
