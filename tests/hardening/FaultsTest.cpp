/* Faults around the real server: clients that die in the middle of a
 * transaction or stop reading, the user signal at awkward moments, and a
 * server killed and replaced. Whoever behaves well loses nothing. */
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "binding/RecordPreparation.h"
#include "qlx/qlx.h"
#include "qlx/core/Service.h"
#include "qlx/zmq/ZmqService.h"
#include "tests/hardening/HardeningHarness.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/RawPeer.h"
#include "tests/support/ServiceClient.h"

namespace {

using namespace hardening;
using tfxtest::ClientReply;
using tfxtest::RawPeer;
using tfxtest::WireHeader;

class ClientFaults : public HardeningTest {};

/* A client in a process of its own, for the test to kill. It makes sure of
 * its connection with a first transaction answered in full and notes 'C';
 * told to go on, it sends a second transaction, notes 'S', and then notes
 * each reply to it: 'A' an alert, 'n' a notify response, 'R' a normal one. */
class Victim {
  public:
    explicit Victim(const std::string &element)
    {
        int notes[2];
        int go[2];
        if (pipe2(notes, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            (void)close(notes[0]);
            (void)close(go[1]);
            _exit(Run(element, notes[1], go[0]));
        }
        (void)close(notes[1]);
        (void)close(go[0]);
        notes_ = notes[0];
        go_ = go[1];
    }
    ~Victim()
    {
        Kill();
        for (int fd : {notes_, go_}) {
            if (fd >= 0)
                (void)close(fd);
        }
    }
    Victim(const Victim &) = delete;
    Victim &operator=(const Victim &) = delete;

    /* The next note, or 0 when none comes within limit. */
    char NextNote(std::chrono::milliseconds limit) const
    {
        pollfd item{notes_, POLLIN, 0};
        char note = 0;
        if (notes_ < 0 || poll(&item, 1, static_cast<int>(limit.count())) <= 0 ||
            read(notes_, &note, 1) != 1)
            return 0;
        return note;
    }

    /* Lets it send its second transaction. */
    void Go() const
    {
        char note = 'g';
        (void)!write(go_, &note, 1);
    }

    /* Ends it as kill -9 does, and reaps it. */
    void Kill() { tfxtest::KillAndReap(&pid_); }

  private:
    static void Note(int fd, char note) { (void)!write(fd, &note, 1); }

    static bool Send(QLXHCONN hConn, uint64_t requestId)
    {
        static const char Text[] = "victim\n";
        QLXREQUEST request = DefaultRequest;
        request.MsgType = QLX_MSGTYPE_TRANSACTION;
        request.RequestId = requestId;
        request.Data = Text;
        request.DataLength = sizeof Text - 1;
        return qlxClientSend(hConn, &request) != 0;
    }

    /* The victim's life, for at most a few minutes. */
    static int Run(const std::string &element, int notes, int go)
    {
        QLXSERVICEADDRESS address;
        PrepareServiceAddress(&address, element.c_str());
        QLXHCONN hConn = 0;
        if (!qlxClientConnect(&address, &hConn) || !Send(hConn, 1))
            return 3;
        auto deadline = Clock::now() + std::chrono::seconds(60);
        QLXREPLY reply = DefaultReply;
        while (Clock::now() < deadline) {
            if (qlxClientReceive(hConn, &reply, 1000) && reply.Kind == QLX_REPLY_RESPONSE &&
                (reply.Flags & QLX_RF_MORE) == 0)
                break;
        }
        Note(notes, 'C');
        pollfd item{go, POLLIN, 0};
        if (poll(&item, 1, 60000) != 1 || !Send(hConn, 2))
            return 4;
        Note(notes, 'S');
        deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < deadline) {
            if (!qlxClientReceive(hConn, &reply, 1000) || reply.RequestId != 2)
                continue;
            char note = static_cast<char>(reply.Kind);
            if (reply.Kind == QLX_REPLY_RESPONSE)
                note = (reply.Flags & QLX_RF_NOTIFY) ? 'n' : 'R';
            Note(notes, note);
        }
        return 0;
    }

    pid_t pid_ = -1;
    int notes_ = -1;
    int go_ = -1;
};

/* A client killed while its transaction waits out the server's delay costs
 * nobody else anything: its transaction is still handled in full, its
 * replies are dropped and counted, and the server goes on. */
TEST_F(ClientFaults, KilledDuringTheDelay)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q", "-i", "0.3", "-c", "2:1", "-a", "y"}));
    StartSteadyClient({}, 2);
    ASSERT_TRUE(Steady().WaitForCompleted(1));
    {
        Victim victim("E1");
        ASSERT_EQ(victim.NextNote(Generous), 'C');
        ASSERT_TRUE(WaitUntil([&] { return WaitsForMessages(ServerPid()); }, Generous));
        victim.Go();
        ASSERT_EQ(victim.NextNote(Generous), 'S');
        ASSERT_TRUE(WaitUntil([&] { return SleepsInItsDelay(ServerPid()); }, Generous));
        victim.Kill();
        EXPECT_EQ(victim.NextNote(std::chrono::milliseconds(0)), 0) << "answered before its end";
    }
    uint64_t sent = 0;
    ServerSummary summary = EndSteadyRun(&sent);
    uint64_t transactions = sent + 2;
    EXPECT_EQ(summary.Transactions, transactions);
    EXPECT_EQ(summary.Responses, 3 * transactions);
    ServiceStats stats = Stats();
    EXPECT_GE(stats["replies_dropped"], 1u);
    EXPECT_EQ(stats["replies_sent"] + stats["replies_dropped"], 4 * transactions);
}

/* A client killed between the notify responses of a long train costs
 * nobody else anything: the train is sent to its end, what could not reach
 * the dead client is dropped and counted, and the server goes on. */
TEST_F(ClientFaults, KilledBetweenNotifyResponses)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q", "-c", "1:1000", "-s", "8192", "-a", "y"}));
    StartSteadyClient({"-e", "8192"}, 2);
    ASSERT_TRUE(Steady().WaitForCompleted(1));
    {
        Victim victim("E1");
        ASSERT_EQ(victim.NextNote(Generous), 'C');
        victim.Go();
        ASSERT_EQ(victim.NextNote(Generous), 'S');
        ASSERT_EQ(victim.NextNote(Generous), 'A');
        ASSERT_EQ(victim.NextNote(Generous), 'n');
        victim.Kill();
    }
    uint64_t sent = 0;
    ServerSummary summary = EndSteadyRun(&sent);
    uint64_t transactions = sent + 2;
    EXPECT_EQ(summary.Transactions, transactions);
    EXPECT_EQ(summary.Responses, 1001 * transactions);
    ServiceStats stats = Stats();
    EXPECT_EQ(stats["replies_sent"] + stats["replies_dropped"], 1002 * transactions);
    RecordProperty("replies_dropped", std::to_string(stats["replies_dropped"]));
}

/* A budget whose share (a quarter, 8 MiB) holds a whole train of TrainLength
 * 4 KiB responses, so a client that reads however slowly loses none, while a
 * client that stops reading gets at most its share of two such trains and
 * what the sockets hold. */
const char *const SmallBudget = "32M";
constexpr uint64_t TrainLength = 1800;
constexpr uint64_t ReachesAStalledClient = (8u << 20) / (4096 + qlx::ReplyOverhead) + 200;

/* A client that stops reading while the server sends it trains of responses
 * costs the others nothing: their transactions are answered, the replies
 * past its share are dropped at once and counted, and SIGUSR1 ends the run
 * at once, not after its queue. */
TEST_F(ClientFaults, ClientThatStopsReadingLosesOnlyItsOwnReplies)
{
    SetServerSettings({{"QLX_MEMORY_LIMIT", SmallBudget}});
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q", "-c", std::to_string(TrainLength), "-s", "4096"}));
    StartSteadyClient({"-e", "4096"}, 2);
    ASSERT_TRUE(Steady().WaitForCompleted(1));
    std::vector<std::string> frames;
    RawPeer sleeper(Endpoint(), 1);
    ASSERT_TRUE(sleeper.Send({WireHeader(1, 'T', 0, 0, 1), "", "sleeper\n"}));
    ASSERT_TRUE(sleeper.Receive(&frames, Generous));
    ASSERT_TRUE(sleeper.Send({WireHeader(1, 'T', 0, 0, 2), "", "sleeper again\n"}));
    {
        tfxtest::ServiceClient probe("E1");
        ASSERT_TRUE(probe.Connected()) << probe.LastError();
        ASSERT_TRUE(probe.SendTransaction(3, "probe\n"));
        EXPECT_EQ(probe.Collect(3, Generous).size(), TrainLength);
    }
    uint64_t sent = FinishSteadyClient();

    auto signalled = Clock::now();
    Server().Signal(SIGUSR1);
    ProcessResult server = Server().Wait(Generous);
    int64_t ending = MsSince(signalled);
    RecordProperty("ms_to_end_after_signal", std::to_string(ending));
    EXPECT_EQ(server.ExitCode, 0) << server.Stderr;
    EXPECT_EQ(server.Stderr, "Interrupt received\n");
    EXPECT_LT(ending, 3000) << "a stalled client held the end of the run";

    uint64_t transactions = sent + 3;
    ServerSummary summary = ParseSummary(server.Stdout);
    EXPECT_EQ(summary.Transactions, transactions);
    EXPECT_EQ(summary.Responses, TrainLength * transactions);
    ServiceStats stats = Stats();
    EXPECT_GE(stats["replies_dropped"], 2 * TrainLength - ReachesAStalledClient);
    EXPECT_EQ(stats["replies_sent"] + stats["replies_dropped"], TrainLength * transactions);
    RecordProperty("replies_dropped", std::to_string(stats["replies_dropped"]));
}

class SignalledRun : public HardeningTest {};

/* SIGUSR1 during the delay cuts the delay short, but the transaction still
 * gets its alert and every response; then the run ends with its summary. */
TEST_F(SignalledRun, DuringTheDelayTheTransactionIsStillAnswered)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-i", "5", "-c", "3:2", "-a", "y"}));
    tfxtest::ServiceClient client("E1");
    ASSERT_TRUE(client.Connected()) << client.LastError();
    ASSERT_TRUE(client.SendTransaction(1, "signalled\n"));
    ASSERT_TRUE(WaitUntil([&] { return SleepsInItsDelay(ServerPid()); }, Generous));
    auto signalled = Clock::now();
    Server().Signal(SIGUSR1);
    const std::string data = "signalled;";
    std::vector<ClientReply> expected = {
        {QLX_REPLY_ALERT, 0, 0, 1, "", "Notify Response Sent"},
        {QLX_REPLY_RESPONSE, QLX_RF_NOTIFY | QLX_RF_MORE, 0, 1, "", data},
        {QLX_REPLY_RESPONSE, QLX_RF_NOTIFY | QLX_RF_MORE, 0, 1, "", data},
        {QLX_REPLY_RESPONSE, QLX_RF_MORE, 0, 1, "", data},
        {QLX_REPLY_RESPONSE, QLX_RF_MORE, 0, 1, "", data},
        {QLX_REPLY_RESPONSE, 0, 0, 1, "", data},
    };
    EXPECT_EQ(client.Collect(1, Generous), expected);
    ProcessResult server = Server().Wait(Generous);
    int64_t ending = MsSince(signalled);
    RecordProperty("ms_to_end_after_signal", std::to_string(ending));
    EXPECT_EQ(server.ExitCode, 0);
    EXPECT_EQ(server.Stderr, "Interrupt received\n");
    EXPECT_NE(server.Stdout.find("Wait Time = 5000 (ms)\n"), std::string::npos);
    ServerSummary summary = ParseSummary(server.Stdout);
    EXPECT_EQ(summary.Transactions, 1u);
    EXPECT_EQ(summary.Responses, 5u);
    EXPECT_LT(ending, 4000) << "the delay was slept to its end";
}

/* SIGUSR1 in the middle of a train of a thousand large responses: the train
 * still runs to its end, every response arrives, and the run ends with its
 * summary. The train holds half a peer's share of the reply budget, so a
 * client slowed by the sanitizers is never refused room. */
TEST_F(SignalledRun, DuringAThousandResponsesEveryOneIsStillSent)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q", "-c", "1000", "-s", "32768"}));
    RawPeer client(Endpoint());
    ASSERT_TRUE(client.Send({WireHeader(1, 'T', 0, 0, 1), "", "train\n"}));
    std::vector<std::string> frames;
    ASSERT_TRUE(client.Receive(&frames, Generous));
    auto signalled = Clock::now();
    Server().Signal(SIGUSR1);
    const std::string data = "train; E1\n" + std::string(32768 - 10, '\0');
    size_t received = 1;
    EXPECT_TRUE(frames == (std::vector<std::string>{WireHeader(1, 'R', 2, 0, 1), "", data}));
    for (; received < 1000 && client.Receive(&frames, Generous); ++received) {
        uint16_t more = received < 999 ? 2 : 0;
        EXPECT_TRUE(frames == (std::vector<std::string>{WireHeader(1, 'R', more, 0, 1), "", data}))
            << "response " << received + 1;
    }
    RecordProperty("ms_from_signal_to_last_response", std::to_string(MsSince(signalled)));
    EXPECT_EQ(received, 1000u);
    ProcessResult server = Server().Wait(Generous);
    EXPECT_EQ(server.ExitCode, 0);
    EXPECT_EQ(server.Stderr, "Interrupt received\n");
    ServerSummary summary = ParseSummary(server.Stdout);
    EXPECT_EQ(summary.Transactions, 1u);
    EXPECT_EQ(summary.Responses, 1000u);
}

/* Clients killed while the server, slowed by its delay, holds a full queue
 * of their transactions: each death costs only its own connection, whose
 * descriptor and queued replies the server gives back, and a new client is
 * served. (libzmq 4.3.4 with heartbeats set aborted the server here.) */
class ClientDeaths : public HardeningTest, public testing::WithParamInterface<const char *> {};

TEST_P(ClientDeaths, WithTransactionsQueuedCostOnlyTheirConnections)
{
    if (std::string(GetParam()) == "tcp")
        UseEndpoint("tcp://127.0.0.1:" + std::to_string(tfxtest::FreeLoopbackPort()));
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q", "-i", "0.01"}));
    size_t descriptors = OpenDescriptors(ServerPid());
    for (int death = 0; death < 3; ++death) {
        tfxtest::Process client({ClientPath, "-r", "2000", "-d", "600", "-t", "60", "-P", "E1"},
                                Options());
        /* Its second progress line: it has sent for over a second, far more
         * than the server's queue for it holds. */
        ASSERT_TRUE(WaitUntil(
            [&] {
                std::string progress = client.StderrSoFar();
                return progress.find(" completed,", progress.find(" completed,") + 1) !=
                       std::string::npos;
            },
            Generous))
            << client.StderrSoFar();
        client.Signal(SIGKILL);
        EXPECT_EQ(client.Wait(Generous).Signal, SIGKILL);
    }
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors(ServerPid()) == descriptors; }, Generous))
        << OpenDescriptors(ServerPid()) << " descriptors open, " << descriptors << " before";
    ProcessResult fresh = tfxtest::RunProcess({ClientPath, "-n", "3", "-t", "60", "E1"}, Options());
    EXPECT_EQ(fresh.ExitCode, 0) << fresh.Stdout << fresh.Stderr;
    ProcessResult server = InterruptServer();
    EXPECT_EQ(server.ExitCode, 0) << server.Stderr;
    EXPECT_EQ(server.Stderr, "Interrupt received\n");
    EXPECT_GE(Stats()["replies_dropped"], 1u);
}

INSTANTIATE_TEST_SUITE_P(Transports, ClientDeaths, testing::Values("ipc", "tcp"));

/* When the reader of its output goes (as in tfxsrvr E1 | head -n 3), the
 * run ends as after SIGUSR1: the service closes and removes its socket and
 * lock, the counters are written, and the exit code says the output was
 * lost; no death by SIGPIPE. */
TEST_F(SignalledRun, OutputThatNoOneReadsEndsTheRunCleanly)
{
    ASSERT_NO_FATAL_FAILURE(
        StartServer({}, "E1", {"/bin/bash", "-c", "exec \"$@\" > >(exec head -n 3)", "bash"}));
    tfxtest::ServiceClient client("E1");
    ASSERT_TRUE(client.Connected()) << client.LastError();
    for (uint64_t id = 1; id <= 50; ++id)
        ASSERT_TRUE(client.SendTransaction(id, "unread\n"));
    ProcessResult server = Server().Wait(Generous);
    EXPECT_EQ(server.Signal, 0);
    EXPECT_EQ(server.ExitCode, 3);
    EXPECT_EQ(server.Stdout, "Service Element E1\nOpening Service\nWaiting for message...\n");
    EXPECT_EQ(server.Stderr, "");
    struct stat info {};
    EXPECT_NE(lstat(SocketPath().c_str(), &info), 0) << "the socket is left behind";
    EXPECT_NE(lstat((QlxDir() + "/E1.lock").c_str(), &info), 0) << "the lock file is left behind";
    EXPECT_GE(Stats()["transactions"], 1u);
}

class Takeover : public HardeningTest {};

/* A server killed with kill -9 leaves its socket behind; a new server under
 * the same name takes it over and answers, clients of the dead one included,
 * while a second live one is refused with a clear text and takes nothing
 * from the first. */
TEST_F(Takeover, KilledServerIsReplacedAndASecondLiveOneIsRefused)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
    tfxtest::ServiceClient client("E1");
    ASSERT_TRUE(client.Connected()) << client.LastError();
    ASSERT_TRUE(client.SendTransaction(1, "first\n"));
    ASSERT_EQ(client.Collect(1, Generous).size(), 1u);
    Server().Signal(SIGKILL);
    EXPECT_EQ(Server().Wait(Generous).Signal, SIGKILL);
    struct stat info {};
    EXPECT_EQ(lstat(SocketPath().c_str(), &info), 0) << "the killed server's socket is gone";

    ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
    ASSERT_TRUE(client.SendTransaction(2, "second\n"));
    EXPECT_EQ(client.Collect(2, Generous),
              (std::vector<ClientReply>{{QLX_REPLY_RESPONSE, 0, 0, 2, "", "second;"}}));
    StartSteadyClient();
    ASSERT_TRUE(Steady().WaitForCompleted(1));

    ProcessResult refused = tfxtest::RunProcess({ServerPath, "-q", "E1"}, Options());
    EXPECT_EQ(refused.ExitCode, 1);
    EXPECT_EQ(refused.Stdout, "Service Element E1\nOpening Service\n");
    EXPECT_EQ(refused.Stderr, "ServerInitialize: \n\nPrimary Result: service element E1 is "
                              "already served by a live process (42)\n\nSub Result: lock file " +
                                  QlxDir() + "/E1.lock is held\n");

    ProcessResult fresh =
        tfxtest::RunProcess({ClientPath, "-n", "50", "-w", "5", "-V", "E1"}, Options());
    EXPECT_EQ(fresh.ExitCode, 0) << fresh.Stdout << fresh.Stderr;
    EXPECT_NE(fresh.Stdout.find("50 sent = 50 completed + 0 refused + 0 timed out"),
              std::string::npos)
        << fresh.Stdout;
    uint64_t sent = 0;
    ServerSummary summary = EndSteadyRun(&sent);
    EXPECT_EQ(summary.Transactions, sent + 50 + 1);
    std::string statsLines = tfxtest::ReadFile(TempPath() + "/stats");
    EXPECT_EQ(std::count(statsLines.begin(), statsLines.end(), '\n'), 1) << statsLines;
}

} // namespace
