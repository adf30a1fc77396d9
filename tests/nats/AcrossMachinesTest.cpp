/* tfxsrvr and tfxclnt as a user runs them across machines: as processes,
 * over nats-servers of the test's own, with servers, nodes and clients that
 * fail. Every transaction a client sends is accounted for in its result:
 * completed, refused with a reason, or timed out. */
#include <atomic>
#include <csignal>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <nats/nats.h>

#include "client/results/ResultDocument.h"
#include "tests/support/NatsServer.h"

namespace {

using tfxtest::NatsServer, tfxtest::Process;
using Env = std::vector<std::pair<std::string, std::string>>;
constexpr auto Generous = std::chrono::seconds(60);

/* The transactions a server's summary counts. */
unsigned long long ServerTransactions(const std::string &out)
{
    size_t at = out.rfind("\nTransactions = ");
    return at == std::string::npos ? 0 : strtoull(out.c_str() + at + 16, nullptr, 10);
}

/* Waits until a running client's progress line counts count completed. */
bool WaitForCompleted(const Process &client, unsigned long long count)
{
    for (auto end = std::chrono::steady_clock::now() + Generous;
         std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        std::string progress = client.StderrSoFar();
        size_t at = progress.rfind(" completed,");
        if (at != std::string::npos &&
            strtoull(progress.c_str() + progress.rfind(' ', at - 1), nullptr, 10) >= count)
            return true;
    }
    return false;
}

/* Every process of a test uses the subject prefix of the test, and each
 * client writes its result to a file of its own. */
class AcrossMachines : public testing::Test {
  protected:
    tfxtest::ProcessOptions Options(const std::string &url, const Env &env = {})
    {
        tfxtest::ProcessOptions options;
        options.Env = {{"QLX_ENDPOINT", url}, {"QLX_NATS_PREFIX", prefix_}};
        options.Env.insert(options.Env.end(), env.begin(), env.end());
        return options;
    }
    /* Starts tfxsrvr on element E1 and waits until its service is open. */
    std::unique_ptr<Process> Server(const tfxtest::ProcessOptions &options,
                                    std::vector<std::string> arguments = {"-q"})
    {
        arguments.insert(arguments.begin(), TFXSRVR_PATH);
        arguments.push_back("E1");
        auto server = std::make_unique<Process>(arguments, options);
        EXPECT_TRUE(server->WaitForStdout("Waiting for message...", Generous))
            << server->StderrSoFar();
        return server;
    }
    /* Starts tfxclnt on element E1 with its progress and its result. */
    std::unique_ptr<Process> Client(const tfxtest::ProcessOptions &options,
                                    std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), {TFXCLNT_PATH, "-P", "-o", result_});
        arguments.push_back("E1");
        return std::make_unique<Process>(arguments, options);
    }
    /* The result of the last client, once it has ended. */
    ResultJson Result(Process *client)
    {
        tfxtest::ProcessResult ended = client->Wait(Generous);
        ResultJson json;
        std::string error;
        EXPECT_TRUE(ParseResultDocument(tfxtest::ReadFile(result_), &json, &error))
            << error << ended.Stdout << ended.Stderr;
        return json;
    }

    tfxtest::TempDir dir_;
    std::string result_ = dir_.Path() + "/result.json";
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
        servers.push_back(Server(Options(nats.Url())));
    ResultJson json = Result(Client(Options(nats.Url()), {"-n", "600", "-w", "16", "-x"}).get());
    EXPECT_EQ(json["counts"]["completed"].get<uint64_t>(), 600u);
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
    auto doomed = Server(Options(nats.Url()), {"-q", "-i", "0.02"});
    auto survivor = Server(Options(nats.Url()), {"-q", "-i", "0.02"}); /* takes the rest */
    auto client = Client(Options(nats.Url()), {"-n", "200", "-w", "4", "-t", "1"});
    ASSERT_TRUE(WaitForCompleted(*client, 20));
    doomed->Signal(SIGKILL);
    ResultJson counts = Result(client.get())["counts"];
    EXPECT_EQ(counts["unfinished"].get<uint64_t>(), 0u);
    EXPECT_EQ(counts["transactions"].get<uint64_t>(), 200u);
    EXPECT_LE(counts["refused"].get<uint64_t>() + counts["timed_out"].get<uint64_t>(), 4u);
}

/* A cluster of three nodes: the service's node dies, then the client's.
 * Each reconnects to a node left; nothing hangs; every transaction lost is
 * reported, those the client had outstanding on its own node as "connection
 * lost, outcome unknown". */
TEST_F(AcrossMachines, ClusterNodesDieAndEveryLossIsReported)
{
    tfxtest::NatsCluster cluster;
    ASSERT_EQ(cluster.Failure(), "");
    NatsServer &first = cluster.Node(0), &second = cluster.Node(1), &third = cluster.Node(2);
    auto server = Server(Options(first.Url()), {"-q", "-i", "0.02"});
    auto client = Client(Options(second.Url()), {"-d", "3600", "-w", "4", "-t", "2"});
    ASSERT_TRUE(WaitForCompleted(*client, 20));
    first.Kill();
    ASSERT_TRUE(WaitForCompleted(*client, 40));
    second.Kill();
    ASSERT_TRUE(WaitForCompleted(*client, 60));
    client->Signal(SIGINT);
    ResultJson json = Result(client.get());
    EXPECT_TRUE(json["balanced"].get<bool>());
    uint64_t lost = 0;
    for (ResultJson &refusal : json["refused_by_reason"])
        lost += refusal["reason"].get<int>() == 64 ? refusal["count"].get<uint64_t>() : 0;
    EXPECT_GE(lost, 1u) << json.dump();
    Result(Client(Options(third.Url()), {"-n", "0", "-x"}).get());
    EXPECT_EQ(server->Wait(Generous).ExitCode, 0);
}

/* A raw NATS connection that sends count transactions to element E1 of prefix
 * and never reads what comes back; its descriptor. */
int StalledPeer(const std::string &url, const std::string &prefix, int count)
{
    sockaddr_in address{AF_INET,
                        htons(static_cast<uint16_t>(atoi(url.c_str() + url.rfind(':') + 1))),
                        {htonl(INADDR_LOOPBACK)},
                        {}};
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    /* No message id, a version 1 'T' header of request id 1, no data. */
    std::string body("\0\1T\0\0\0\0\0\0\1\0\0\0\0\0\0\0", 17);
    std::string wire = "CONNECT {\"verbose\":false}\r\nSUB stalled.* 1\r\n";
    for (int i = 0; i < count; ++i)
        wire += "PUB " + prefix + ".E1.work stalled.1 17\r\n" + body + "\r\n";
    EXPECT_EQ(write(fd, wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
    return fd;
}

/* A client that stops reading holds the service no longer than the NATS
 * server's write_deadline: then it is cut, and the others are answered. */
TEST_F(AcrossMachines, StalledClientIsCutAfterTheWriteDeadline)
{
    NatsServer nats({}, "write_deadline: \"1s\"\n");
    ASSERT_EQ(nats.Failure(), "");
    auto server = Server(Options(nats.Url()), {"-q", "-s", "60000"});
    int stalled = StalledPeer(nats.Url(), prefix_, 1200);
    ResultJson json = Result(Client(Options(nats.Url()), {"-n", "100", "-t", "5"}).get());
    EXPECT_EQ(json["counts"]["completed"].get<uint64_t>(), 100u);
    EXPECT_TRUE(nats.WaitForLog("Slow Consumer Detected"));
    (void)close(stalled);
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
            "set -e; cd \"$0\"; ec='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'; "
            "openssl req -x509 $ec -keyout ca.key -out ca.pem -days 1 -subj /CN=ca; "
            "for who in server client; do "
            "openssl req $ec -keyout $who.key -out $who.csr -subj /CN=$who; "
            "echo subjectAltName=IP:127.0.0.1 > $who.ext; "
            "openssl x509 -req -in $who.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
            "-out $who.pem -days 1 -extfile $who.ext; done; echo " +
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
    }
    std::string Url(const std::string &user) const
    {
        return "tls://" + user + "127.0.0.1" + nats_->Url().substr(nats_->Url().rfind(':'));
    }

    static inline const std::string Seed =
        "SUAACAQDAQCQMBYIBEFAWDANBYHRAEISCMKBKFQXDAMRUGY4DUPB6IC5CQ";
    static inline const std::string PublicKey =
        "UB43KVROR7TFJ6KAPCYRF2FJROTZAH4FHLTJLPWX4DRZCC5NASLGJBFE";
    std::unique_ptr<NatsServer> nats_;
    Env tls_;
};

/* Over TLS a service with a password and a client with an NKey carry
 * transactions. */
TEST_F(Access, PasswordAndNKeyUsersOverTls)
{
    auto server = Server(Options(Url("alice:s3cret-pw@"), tls_));
    Env nkey = tls_;
    nkey.emplace_back("QLX_NATS_NKEY", dir_.Path() + "/user.nk");
    ResultJson json = Result(Client(Options(Url(""), nkey), {"-n", "20", "-x"}).get());
    EXPECT_EQ(json["counts"]["completed"].get<uint64_t>(), 20u);
    EXPECT_EQ(server->Wait(Generous).ExitCode, 0);
}

/* A shared NATS system set up as docs/qlx.md says: the service's user may
 * answer whatever it is asked (allow_responses), each client's user reads
 * only its own inbox prefix. Another user can then neither read a client's
 * replies nor publish a forged one into its inbox, and the client, its
 * inbox set by QLX_NATS_INBOX, is served in full. */
TEST_F(AcrossMachines, UsersOfASharedSystemCannotReadOrForgeEachOthersReplies)
{
    auto user = [&](const std::string &name, const std::string &subscribe,
                    const std::string &extra) {
        return "{user: " + name + ", password: pw, permissions: {publish: [\"" + prefix_ +
               ".>\", \"_INBOX_" + name + ".>\"], subscribe: [\"_INBOX_" + name + ".>\"" +
               subscribe + "]" + extra + "}}";
    };
    NatsServer nats({}, "authorization { users = [ " +
                            user("svc", ", \"" + prefix_ + ".>\"",
                                 ", allow_responses: {max: 8, expires: \"1m\"}") +
                            ", " + user("alice", "", "") + ", " + user("mallory", "", "") +
                            " ] }\n");
    ASSERT_EQ(nats.Failure(), "");
    auto url = [&](const std::string &name) {
        return "nats://" + name + ":pw@" + nats.Url().substr(strlen("nats://"));
    };

    natsOptions *options = nullptr;
    ASSERT_EQ(natsOptions_Create(&options), NATS_OK);
    std::atomic<int> refused{0};
    (void)natsOptions_SetErrorHandler(
        options,
        [](natsConnection *, natsSubscription *, natsStatus status, void *closure) {
            if (status == NATS_NOT_PERMITTED)
                ++*static_cast<std::atomic<int> *>(closure);
        },
        &refused);
    std::string mallory = url("mallory");
    (void)natsOptions_SetURL(options, mallory.c_str());
    natsConnection *forger = nullptr;
    ASSERT_EQ(natsConnection_Connect(&forger, options), NATS_OK);
    natsSubscription *eavesdrop = nullptr;
    (void)natsConnection_SubscribeSync(&eavesdrop, forger, "_INBOX_alice.>");
    (void)natsConnection_PublishString(forger, "_INBOX_alice.x.1", "forged");
    (void)natsConnection_Flush(forger);
    for (auto end = std::chrono::steady_clock::now() + Generous;
         refused < 2 && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(refused, 2) << "the subscription and the publish were let through";
    natsSubscription_Destroy(eavesdrop);
    natsConnection_Destroy(forger);
    natsOptions_Destroy(options);

    auto server = Server(Options(url("svc"), {{"QLX_NATS_INBOX", "_INBOX_svc"}}));
    ResultJson json = Result(Client(Options(url("alice"), {{"QLX_NATS_INBOX", "_INBOX_alice"}}),
                                    {"-n", "200", "-w", "16", "-x"})
                                 .get());
    EXPECT_EQ(json["counts"]["completed"].get<uint64_t>(), 200u);
    EXPECT_EQ(server->Wait(Generous).ExitCode, 0);
}

} // namespace
