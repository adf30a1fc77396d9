/* tfxsrvr and tfxclnt as a user runs them across machines: as processes,
 * over nats-servers of the test's own, with servers, nodes and clients that
 * fail. Every transaction a client sends is accounted for in its summary:
 * completed, refused with a reason, or timed out. */
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/NatsServer.h"
#include "tests/support/Subprocess.h"

namespace {

using Clock = std::chrono::steady_clock;
using tfxtest::NatsServer;
using tfxtest::Process;

const std::string ServerPath = TFXSRVR_PATH;
const std::string ClientPath = TFXCLNT_PATH;
constexpr auto Generous = std::chrono::seconds(60);

/* What a client's summary says of its transactions. */
struct ClientCounts {
    unsigned long long Sent = 0, Completed = 0, Refused = 0, TimedOut = 0;
    bool Balanced = false;
    std::map<int, unsigned long long> RefusedBy; /* reason code: count */
};

ClientCounts ParseClient(const std::string &out)
{
    ClientCounts counts;
    size_t at = out.find("Transactions   ");
    if (at == std::string::npos ||
        sscanf(out.c_str() + at, "Transactions %llu sent = %llu completed + %llu refused + %llu",
               &counts.Sent, &counts.Completed, &counts.Refused, &counts.TimedOut) != 4)
        return counts;
    counts.Balanced = out.compare(out.find('\n', at) - 10, 10, ": balanced") == 0;
    for (at = out.find("Refused        "); at != std::string::npos;
         at = out.find("Refused        ", at + 1)) {
        unsigned long long count = 0;
        size_t code = out.rfind('(', out.find('\n', at));
        if (sscanf(out.c_str() + at, "Refused %llu", &count) == 1)
            counts.RefusedBy[atoi(out.c_str() + code + 1)] = count;
    }
    return counts;
}

/* The transactions a server's summary counts. */
unsigned long long ServerTransactions(const std::string &out)
{
    size_t at = out.rfind("\nTransactions = ");
    return at == std::string::npos ? 0 : strtoull(out.c_str() + at + 16, nullptr, 10);
}

template <typename Condition> bool WaitUntil(Condition condition)
{
    for (auto deadline = Clock::now() + Generous; Clock::now() < deadline;) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

/* Completed transactions as a running client's last progress line counts them. */
unsigned long long ProgressCompleted(const Process &client)
{
    std::string progress = client.StderrSoFar();
    size_t at = progress.rfind(" completed,");
    if (at == std::string::npos)
        return 0;
    return strtoull(progress.c_str() + progress.rfind(' ', at - 1) + 1, nullptr, 10);
}

bool WaitForCompleted(const Process &client, unsigned long long count)
{
    return WaitUntil([&] { return ProgressCompleted(client) >= count; });
}

/* Every process of a test uses the subject prefix of the test. */
class AcrossMachines : public testing::Test {
  protected:
    tfxtest::ProcessOptions Options(const std::string &url,
                                    std::vector<std::pair<std::string, std::string>> env = {})
    {
        tfxtest::ProcessOptions options;
        options.Env = {{"QLX_ENDPOINT", url}, {"QLX_NATS_PREFIX", prefix_}};
        options.Env.insert(options.Env.end(), env.begin(), env.end());
        options.Timeout = Generous;
        return options;
    }

    /* Starts tfxsrvr on element E1 and waits until its service is open. */
    std::unique_ptr<Process> StartServer(const tfxtest::ProcessOptions &options,
                                         const std::vector<std::string> &arguments = {"-q"})
    {
        std::vector<std::string> argv = {ServerPath};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        argv.push_back("E1");
        auto server = std::make_unique<Process>(argv, options);
        EXPECT_TRUE(WaitUntil([&] {
            return server->StdoutSoFar().find("Waiting for message...") != std::string::npos ||
                   !server->Running();
        }));
        EXPECT_TRUE(server->Running()) << server->StderrSoFar();
        return server;
    }

    /* tfxclnt with arguments on element E1, run to its end. */
    tfxtest::ProcessResult RunClient(const tfxtest::ProcessOptions &options,
                                     const std::vector<std::string> &arguments)
    {
        std::vector<std::string> argv = {ClientPath, "-q"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        argv.push_back("E1");
        return tfxtest::RunProcess(argv, options);
    }

    std::unique_ptr<Process> StartClient(const tfxtest::ProcessOptions &options,
                                         const std::vector<std::string> &arguments)
    {
        std::vector<std::string> argv = {ClientPath, "-P"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        argv.push_back("E1");
        return std::make_unique<Process>(argv, options);
    }

    std::string prefix_ = tfxtest::UniqueNatsPrefix();
};

/* Three servers under one name: each takes a share of the work, the shares
 * add up to what the client sent, and one stop request ends them all. */
TEST_F(AcrossMachines, ServersShareOneNameAndOneStopEndsThemAll)
{
    NatsServer nats;
    ASSERT_EQ(nats.Failure(), "");
    std::vector<std::unique_ptr<Process>> servers;
    for (int i = 0; i < 3; ++i)
        servers.push_back(StartServer(Options(nats.Url())));
    ClientCounts client =
        ParseClient(RunClient(Options(nats.Url()), {"-n", "600", "-w", "16"}).Stdout);
    EXPECT_EQ(client.Completed, 600u);
    EXPECT_TRUE(client.Balanced);
    tfxtest::ProcessResult stop = RunClient(Options(nats.Url()), {"-n", "0", "-x"});
    EXPECT_EQ(stop.ExitCode, 0) << stop.Stderr;
    unsigned long long sum = 0;
    for (auto &server : servers) {
        tfxtest::ProcessResult result = server->Wait(Generous);
        EXPECT_EQ(result.ExitCode, 0);
        EXPECT_NE(result.Stdout.find("Terminating due to applicaton manager request"),
                  std::string::npos);
        EXPECT_GT(ServerTransactions(result.Stdout), 0u);
        sum += ServerTransactions(result.Stdout);
    }
    EXPECT_EQ(sum, 600u);
}

/* A server killed with kill -9 loses what it held, no more than the client's
 * window, each reported; the other server takes the rest. */
TEST_F(AcrossMachines, KilledServerLosesOnlyWhatItHeld)
{
    NatsServer nats;
    ASSERT_EQ(nats.Failure(), "");
    auto doomed = StartServer(Options(nats.Url()), {"-q", "-i", "0.02"});
    auto survivor = StartServer(Options(nats.Url()), {"-q", "-i", "0.02"});
    auto client = StartClient(Options(nats.Url()), {"-n", "200", "-w", "4", "-t", "1"});
    ASSERT_TRUE(WaitForCompleted(*client, 20));
    doomed->Signal(SIGKILL);
    tfxtest::ProcessResult result = client->Wait(Generous);
    ClientCounts counts = ParseClient(result.Stdout);
    EXPECT_TRUE(counts.Balanced) << result.Stdout;
    EXPECT_EQ(counts.Sent, 200u);
    EXPECT_LE(counts.Refused + counts.TimedOut, 4u) << result.Stdout;
    survivor->Signal(SIGUSR1);
    EXPECT_GT(ServerTransactions(survivor->Wait(Generous).Stdout), 0u);
}

/* A cluster of three nodes: the service's node dies, then the client's.
 * Each reconnects to a node left; nothing hangs; every transaction lost is
 * reported, those the client had outstanding on its own node as "connection
 * lost, outcome unknown". */
TEST_F(AcrossMachines, ClusterNodesDieAndEveryLossIsReported)
{
    NatsServer first({"--cluster_name", "C", "--cluster", "nats://127.0.0.1:-1"});
    ASSERT_EQ(first.Failure(), "");
    std::vector<std::string> member = {"--cluster_name",      "C",        "--cluster",
                                       "nats://127.0.0.1:-1", "--routes", first.RouteUrl()};
    NatsServer second(member);
    NatsServer third(member);
    for (const NatsServer *node : {&first, &second, &third})
        ASSERT_TRUE(node->WaitForLog("Route connection created", 2)) << node->Failure();
    auto server = StartServer(Options(first.Url()), {"-q", "-i", "0.02"});
    auto client = StartClient(Options(second.Url()), {"-d", "3600", "-w", "4", "-t", "2"});
    ASSERT_TRUE(WaitForCompleted(*client, 20));
    first.Kill();
    ASSERT_TRUE(WaitForCompleted(*client, ProgressCompleted(*client) + 20));
    second.Kill();
    ASSERT_TRUE(WaitForCompleted(*client, ProgressCompleted(*client) + 20));
    client->Signal(SIGINT);
    tfxtest::ProcessResult result = client->Wait(Generous);
    ClientCounts counts = ParseClient(result.Stdout);
    EXPECT_TRUE(counts.Balanced) << result.Stdout;
    EXPECT_GE(counts.RefusedBy[64], 1u) << result.Stdout;
    tfxtest::ProcessResult stop = RunClient(Options(third.Url()), {"-n", "0", "-x"});
    EXPECT_EQ(stop.ExitCode, 0) << stop.Stderr;
    EXPECT_EQ(server->Wait(Generous).ExitCode, 0);
}

/* A raw NATS client that sends transactions to element E1 of prefix and
 * never reads what comes back. */
class StalledPeer {
  public:
    StalledPeer(int port, const std::string &prefix, int transactions)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        /* One body: no message id, a version 1 'T' header, request id 1, no data. */
        std::string body("\0\1T\0\0\0\0\0\0\1\0\0\0\0\0\0\0", 17);
        std::string wire = "CONNECT {\"verbose\":false}\r\nSUB stalled.* 1\r\n";
        for (int i = 0; i < transactions; ++i)
            wire += "PUB " + prefix + ".E1.work stalled.1 17\r\n" + body + "\r\n";
        EXPECT_EQ(write(fd_, wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
    }
    ~StalledPeer() { (void)close(fd_); }

  private:
    int fd_ = -1;
};

/* A client that stops reading holds the service no longer than the NATS
 * server's write_deadline: then it is cut, and the others are answered. */
TEST_F(AcrossMachines, StalledClientIsCutAfterTheWriteDeadline)
{
    NatsServer nats({}, "write_deadline: \"1s\"\n");
    ASSERT_EQ(nats.Failure(), "");
    auto server = StartServer(Options(nats.Url()), {"-q", "-s", "60000"});
    StalledPeer stalled(atoi(nats.Url().substr(nats.Url().rfind(':') + 1).c_str()), prefix_, 1200);
    ClientCounts counts =
        ParseClient(RunClient(Options(nats.Url()), {"-n", "100", "-t", "5"}).Stdout);
    EXPECT_EQ(counts.Completed, 100u);
    EXPECT_TRUE(nats.WaitForLog("Slow Consumer Detected"));
    server->Signal(SIGUSR1);
    EXPECT_EQ(server->Wait(Generous).ExitCode, 0);
}

/* A nats-server that takes TLS clients with a certificate of the test's CA,
 * and users with a password or an NKey. */
class Access : public AcrossMachines {
  protected:
    void SetUp() override
    {
        std::string script =
            "set -e; cd \"$0\"; "
            "ec='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'; "
            "openssl req -x509 $ec -keyout ca.key -out ca.pem -days 1 -subj /CN=ca; "
            "for who in server client; do "
            "openssl req $ec -keyout $who.key -out $who.csr -subj /CN=$who; "
            "echo subjectAltName=IP:127.0.0.1 > $who.ext; "
            "openssl x509 -req -in $who.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
            "-out $who.pem -days 1 -extfile $who.ext; done; "
            "echo " +
            Seed + " > user.nk";
        tfxtest::ProcessResult made = tfxtest::RunProcess({"/bin/sh", "-c", script, dir_.Path()});
        ASSERT_EQ(made.ExitCode, 0) << made.Stderr;
        std::string files = dir_.Path() + "/";
        nats_ = std::make_unique<NatsServer>(
            std::vector<std::string>{},
            "tls { cert_file: \"" + files + "server.pem\", key_file: \"" + files +
                "server.key\", ca_file: \"" + files +
                "ca.pem\", verify: true }\n"
                "authorization { users = [ {user: alice, password: \"s3cret-pw\"}, {nkey: " +
                PublicKey + "} ] }\n");
        ASSERT_EQ(nats_->Failure(), "");
        tls_ = {{"QLX_NATS_CA", files + "ca.pem"},
                {"QLX_NATS_CERT", files + "client.pem"},
                {"QLX_NATS_KEY", files + "client.key"}};
        port_ = nats_->Url().substr(nats_->Url().rfind(':'));
    }
    std::string Url(const std::string &user) const
    {
        return "tls://" + user + "@127.0.0.1" + port_;
    }

    static inline const std::string Seed =
        "SUAACAQDAQCQMBYIBEFAWDANBYHRAEISCMKBKFQXDAMRUGY4DUPB6IC5CQ";
    static inline const std::string PublicKey =
        "UB43KVROR7TFJ6KAPCYRF2FJROTZAH4FHLTJLPWX4DRZCC5NASLGJBFE";
    tfxtest::TempDir dir_;
    std::unique_ptr<NatsServer> nats_;
    std::vector<std::pair<std::string, std::string>> tls_;
    std::string port_;
};

/* Over TLS a service with a password and a client with an NKey carry
 * transactions. */
TEST_F(Access, PasswordAndNKeyUsersOverTls)
{
    auto server = StartServer(Options(Url("alice:s3cret-pw"), tls_));
    auto nkey = tls_;
    nkey.emplace_back("QLX_NATS_NKEY", dir_.Path() + "/user.nk");
    tfxtest::ProcessResult client =
        RunClient(Options("tls://127.0.0.1" + port_, nkey), {"-n", "20", "-x"});
    EXPECT_EQ(client.ExitCode, 0) << client.Stdout << client.Stderr;
    EXPECT_EQ(ParseClient(client.Stdout).Completed, 20u);
    EXPECT_EQ(server->Wait(Generous).ExitCode, 0);
}

/* A refused password is reported, and never shown. */
TEST_F(Access, RefusedPasswordIsNeverShown)
{
    tfxtest::ProcessResult client = RunClient(Options(Url("alice:wrong-pw"), tls_), {"-n", "1"});
    EXPECT_EQ(client.ExitCode, 1);
    EXPECT_NE(client.Stderr.find("cannot connect to NATS at tls://***@127.0.0.1"),
              std::string::npos)
        << client.Stderr;
    EXPECT_EQ(client.Stderr.find("wrong-pw"), std::string::npos) << client.Stderr;
    EXPECT_EQ(client.Stdout.find("wrong-pw"), std::string::npos) << client.Stdout;
}

} // namespace
