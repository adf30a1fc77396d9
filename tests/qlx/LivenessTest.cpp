#include <chrono>
#include <csignal>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <gtest/gtest.h>

#include "qlx/qlx.h"
#include "tests/qlx/QlxHarness.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/RawPeer.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/Subprocess.h"

namespace {

using qlxtest::LastPrimaryText;
using qlxtest::LastReason;
using qlxtest::LastSubText;
using qlxtest::ReplyData;
using Clock = std::chrono::steady_clock;

/* A service run in a child process: it answers each transaction with its
 * data until it is killed, or ends by itself after a minute. */
class ChildService {
  public:
    /* Forks the child; true once its service is open. */
    bool Start(const char *name)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return false;
        pid_ = fork();
        if (pid_ == 0) {
            (void)close(ready[0]);
            qlxtest::TestService service;
            char opened = service.Open(name) ? 'Y' : 'N';
            (void)!write(ready[1], &opened, 1);
            for (int wait = 0; wait < 60 && opened == 'Y'; ++wait) {
                if (service.Receive(1000) && service.Message.MsgType == QLX_MSGTYPE_TRANSACTION)
                    (void)service.Respond();
            }
            _exit(0);
        }
        (void)close(ready[1]);
        char opened = 'N';
        bool got = pid_ > 0 && read(ready[0], &opened, 1) == 1;
        (void)close(ready[0]);
        return got && opened == 'Y';
    }
    /* Ends the child as kill -9 would, and reaps it. */
    void Kill() { tfxtest::KillAndReap(&pid_); }
    ~ChildService() { Kill(); }

  private:
    pid_t pid_ = -1;
};

bool Exists(const std::string &path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

class Liveness : public qlxtest::QlxTest {
  protected:
    /* A transaction through a new client of name comes back answered. */
    void ExpectServed(const char *name)
    {
        qlxtest::TestClient client;
        ASSERT_TRUE(client.Connect(name)) << LastPrimaryText();
        ASSERT_TRUE(client.Transaction(17, "are you there"));
        QLXREPLY reply;
        ASSERT_TRUE(client.Receive(&reply)) << LastPrimaryText();
        EXPECT_EQ(reply.Kind, QLX_REPLY_RESPONSE);
        EXPECT_EQ(reply.RequestId, 17u);
        EXPECT_EQ(ReplyData(reply), "are you there");
    }
    /* Fails to connect to name with "not served", at once; the texts say
     * where the client looked, how to start the service, and what it saw. */
    void ExpectNotServed(const char *name, const std::string &seen)
    {
        const char *endpoint = getenv("QLX_ENDPOINT");
        std::string where = endpoint != nullptr ? std::string("at QLX_ENDPOINT=") + endpoint
                                                : "in " + RuntimeDir() + " (QLX_DIR)";
        std::string start = std::string("start its service there first, e.g. tfxsrvr ") + name +
                            (endpoint != nullptr ? " with the same QLX_ENDPOINT" : "");
        auto begin = Clock::now();
        qlxtest::TestClient client;
        EXPECT_FALSE(client.Connect(name));
        EXPECT_LT(Clock::now() - begin, std::chrono::seconds(2));
        EXPECT_EQ(LastReason(), QLXRC_NOT_SERVED);
        EXPECT_EQ(LastPrimaryText(), std::string("service element ") + name + " is not served " +
                                         where + ": " + start + " (43)");
        EXPECT_EQ(LastSubText(), seen);
        EXPECT_EQ(client.hConn, 0u);
    }
};

/* A second server for an element that a live process serves fails, names
 * the element, and leaves the live one undisturbed. */
TEST_F(Liveness, SecondLiveServerIsRefused)
{
    ChildService child;
    ASSERT_TRUE(child.Start("TestE1"));
    qlxtest::TestService second;
    second.hConn = 0x11111111;
    EXPECT_FALSE(second.Open("TestE1"));
    EXPECT_EQ(LastReason(), QLXRC_ALREADY_SERVED);
    EXPECT_EQ(LastPrimaryText(), "service element TestE1 is already served by a live process (42)");
    EXPECT_EQ(LastSubText(), "lock file " + RuntimeDir() + "/TestE1.lock is held");
    EXPECT_EQ(second.hConn, 0u);
    ExpectServed("TestE1");
}

/* Two services of one process under one name: the second is refused too. */
TEST_F(Liveness, SecondServerInTheSameProcessIsRefused)
{
    qlxtest::TestService first;
    ASSERT_TRUE(first.Open("TestE1")) << LastPrimaryText();
    qlxtest::TestService second;
    EXPECT_FALSE(second.Open("TestE1"));
    EXPECT_EQ(LastReason(), QLXRC_ALREADY_SERVED);
    EXPECT_EQ(LastPrimaryText(), "service element TestE1 is already served by a live process (42)");
    EXPECT_TRUE(Exists(SocketPath("TestE1")));
}

/* The socket of a server killed with kill -9 stays behind; nobody serves
 * it, and the next server takes it over. */
TEST_F(Liveness, KilledServersSocketIsTakenOver)
{
    ChildService child;
    ASSERT_TRUE(child.Start("TestE1"));
    child.Kill();
    EXPECT_TRUE(Exists(SocketPath("TestE1")));
    ExpectNotServed("TestE1", "nothing is served there now");
    qlxtest::TestService next;
    ASSERT_TRUE(next.Open("TestE1")) << LastPrimaryText();
    qlxtest::TestClient client;
    ASSERT_TRUE(client.Connect("TestE1")) << LastPrimaryText();
    ASSERT_TRUE(client.Transaction(18, "taken over"));
    ASSERT_TRUE(next.Receive()) << LastPrimaryText();
    EXPECT_EQ(next.Data(), "taken over");
}

/* A client of an element nobody serves fails at once with "not served",
 * and learns which elements are served there, by the names it would give,
 * not by their hashed file names. */
TEST_F(Liveness, ClientOfAnUnservedElementFailsAtOnce)
{
    ExpectNotServed("E1", "the directory does not exist: nothing is served there");
    EXPECT_FALSE(Exists(RuntimeDir()));
    {
        qlxtest::TestService second;
        ASSERT_TRUE(second.Open("E2")) << LastPrimaryText();
        qlxtest::TestService third;
        ASSERT_TRUE(third.Open("E3")) << LastPrimaryText();
        qlxtest::TestService spaced;
        ASSERT_TRUE(spaced.Open("a b")) << LastPrimaryText();
        ExpectNotServed("E1", "served there now: 'a b', E2, E3");
    }
    ExpectNotServed("E2", "nothing is served there now");
}

/* Tab completion offers the element names, quoted as the shell reads them. */
TEST_F(Liveness, CompletionOffersElementNames)
{
    qlxtest::TestService plain;
    ASSERT_TRUE(plain.Open("E2")) << LastPrimaryText();
    qlxtest::TestService spaced;
    ASSERT_TRUE(spaced.Open("a b")) << LastPrimaryText();
    tfxtest::ProcessResult run =
        tfxtest::RunProcess({"/bin/bash", "-c",
                             ". \"$1\"; COMP_WORDS=(tfxclnt \"$2\"); COMP_CWORD=1; _tfxclnt; "
                             "printf '%s\\n' \"${COMPREPLY[@]}\"",
                             "completion", TFX_SOURCE_DIR "/completion/tfxsrvr", ""},
                            {"", {{"QLX_DIR", RuntimeDir()}}, std::chrono::seconds(60)});
    EXPECT_EQ(run.Stdout, "E2\na\\ b\n") << run.Stderr;
}

/* A client connects to a service that is already there. */
TEST_F(Liveness, ClientReachesALiveService)
{
    ChildService child;
    ASSERT_TRUE(child.Start("E1"));
    ExpectServed("E1");
}

class EndpointOverride : public Liveness {};

/* QLX_ENDPOINT=tcp://127.0.0.1:<port> is bound and connected in place of
 * the runtime directory, and a second server on it is refused. */
TEST_F(EndpointOverride, ServesOnALoopbackTcpEndpoint)
{
    qlxtest::TestService service;
    bool opened = false;
    for (int attempt = 0; attempt < 5 && !opened; ++attempt) {
        std::string endpoint = "tcp://127.0.0.1:" + std::to_string(tfxtest::FreeLoopbackPort());
        (void)setenv("QLX_ENDPOINT", endpoint.c_str(), 1);
        opened = service.Open("E1");
    }
    ASSERT_TRUE(opened) << LastPrimaryText();
    EXPECT_FALSE(Exists(RuntimeDir()));
    qlxtest::TestClient client;
    ASSERT_TRUE(client.Connect("E1")) << LastPrimaryText();
    ASSERT_TRUE(client.Transaction(19, "over tcp"));
    ASSERT_TRUE(service.Receive()) << LastPrimaryText();
    EXPECT_EQ(service.Data(), "over tcp");
    ASSERT_TRUE(service.Respond()) << LastPrimaryText();
    QLXREPLY reply;
    ASSERT_TRUE(client.Receive(&reply)) << LastPrimaryText();
    EXPECT_EQ(ReplyData(reply), "over tcp");
    qlxtest::TestService second;
    EXPECT_FALSE(second.Open("E2"));
    EXPECT_EQ(LastReason(), QLXRC_ALREADY_SERVED);
    EXPECT_EQ(LastPrimaryText(), "QLX_ENDPOINT=" + std::string(getenv("QLX_ENDPOINT")) +
                                     " is in use by another process (42)");
}

/* QLX_ENDPOINT=ipc:///path puts the socket (0600) and its lock at that path. */
TEST_F(EndpointOverride, ServesOnAnIpcPath)
{
    std::string path = temp_.Path() + "/custom.sock";
    (void)setenv("QLX_ENDPOINT", ("ipc://" + path).c_str(), 1);
    ExpectNotServed("E1", "there is no socket " + path);
    {
        qlxtest::TestService service;
        ASSERT_TRUE(service.Open("E1")) << LastPrimaryText();
        struct stat info {};
        ASSERT_EQ(lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        EXPECT_TRUE(Exists(path + ".lock"));
        EXPECT_FALSE(Exists(RuntimeDir()));
        qlxtest::TestClient client;
        ASSERT_TRUE(client.Connect("any name")) << LastPrimaryText();
        ASSERT_TRUE(client.Transaction(20, "over ipc"));
        ASSERT_TRUE(service.Receive()) << LastPrimaryText();
        EXPECT_EQ(service.Data(), "over ipc");
        qlxtest::TestService second;
        EXPECT_FALSE(second.Open("E2"));
        EXPECT_EQ(LastReason(), QLXRC_ALREADY_SERVED);
        EXPECT_EQ(LastPrimaryText(),
                  "QLX_ENDPOINT=ipc://" + path + " is already served by a live process (42)");
    }
    EXPECT_FALSE(Exists(path));
    EXPECT_FALSE(Exists(path + ".lock"));
}

/* An ipc:// path in a directory that does not exist: the service says so
 * and what to do; a client says there is nothing there. */
TEST_F(EndpointOverride, IpcPathInAMissingDirectoryIsNamed)
{
    std::string dir = temp_.Path() + "/missing";
    (void)setenv("QLX_ENDPOINT", ("ipc://" + dir + "/e1.sock").c_str(), 1);
    qlxtest::TestService service;
    EXPECT_FALSE(service.Open("E1"));
    EXPECT_EQ(LastReason(), QLXRC_ENDPOINT);
    EXPECT_EQ(LastPrimaryText(), "QLX_ENDPOINT=ipc://" + dir +
                                     "/e1.sock cannot be served: directory " + dir +
                                     " does not exist; create it, or give a socket path in a "
                                     "directory that does (41)");
    ExpectNotServed("E1", "directory " + dir + " does not exist");
}

/* A socket that another program's QLX/1 service bound, with no lock file
 * beside it, is connected and reached, as a tcp:// endpoint is. */
TEST_F(EndpointOverride, ReachesAForeignServiceOnAnIpcPath)
{
    std::string path = temp_.Path() + "/foreign.sock";
    (void)setenv("QLX_ENDPOINT", ("ipc://" + path).c_str(), 1);
    void *context = zmq_ctx_new();
    void *router = zmq_socket(context, ZMQ_ROUTER);
    ASSERT_EQ(zmq_bind(router, ("ipc://" + path).c_str()), 0);
    qlxtest::TestClient client;
    ASSERT_TRUE(client.Connect("E1")) << LastPrimaryText();
    ASSERT_TRUE(client.Transaction(21, "hello foreigner"));
    int waitMs = qlxtest::ReplyWaitMs;
    (void)zmq_setsockopt(router, ZMQ_RCVTIMEO, &waitMs, sizeof waitMs);
    zmq_msg_t parts[4];
    for (zmq_msg_t &part : parts) {
        (void)zmq_msg_init(&part);
        ASSERT_GE(zmq_msg_recv(&part, router, 0), 0);
    }
    std::string header = tfxtest::WireHeader(1, 'R', 0, 0, 21);
    memcpy(zmq_msg_data(&parts[1]), header.data(), header.size());
    for (int i = 0; i < 4; ++i)
        ASSERT_GE(zmq_msg_send(&parts[i], router, i < 3 ? ZMQ_SNDMORE : 0), 0);
    QLXREPLY reply;
    ASSERT_TRUE(client.Receive(&reply)) << LastPrimaryText();
    EXPECT_EQ(reply.Kind, QLX_REPLY_RESPONSE);
    EXPECT_EQ(ReplyData(reply), "hello foreigner");
    (void)zmq_close(router);
    (void)zmq_ctx_term(context);
}

struct BadEndpoint {
    const char *Endpoint;
    const char *Text; /* after "QLX_ENDPOINT=<endpoint>" */
};

static const char UnknownScheme[] =
    " is not an endpoint the library takes: give ipc:///path, tcp://host:port, "
    "nats://host:port or tls://host:port";

class BadEndpoints : public Liveness, public testing::WithParamInterface<BadEndpoint> {};

/* An endpoint that cannot be served as written is refused, by a service and
 * a client alike, with a text that shows it and says what to give. */
TEST_P(BadEndpoints, AreRefusedWithTheirReason)
{
    const BadEndpoint &bad = GetParam();
    (void)setenv("QLX_ENDPOINT", bad.Endpoint, 1);
    std::string text = std::string("QLX_ENDPOINT=") + bad.Endpoint + bad.Text + " (41)";
    qlxtest::TestService service;
    EXPECT_FALSE(service.Open("E1"));
    EXPECT_EQ(LastReason(), QLXRC_ENDPOINT);
    EXPECT_EQ(LastPrimaryText(), text);
    qlxtest::TestClient client;
    EXPECT_FALSE(client.Connect("E1"));
    EXPECT_EQ(LastReason(), QLXRC_ENDPOINT);
    EXPECT_EQ(LastPrimaryText(), text);
}

INSTANTIATE_TEST_SUITE_P(
    Liveness, BadEndpoints,
    testing::Values(
        BadEndpoint{"inproc://E1", UnknownScheme},
        BadEndpoint{"http://127.0.0.1:7001", UnknownScheme}, BadEndpoint{"E1", UnknownScheme},
        BadEndpoint{"ipc://", " names no socket file: give its path, as in ipc:///tmp/e1.sock"},
        BadEndpoint{"tcp://127.0.0.1:99999", ": port 99999 is not a number from 1 to 65535"},
        BadEndpoint{"tcp://127.0.0.1:70o1", ": port 70o1 is not a number from 1 to 65535"},
        BadEndpoint{"tcp://127.0.0.1", " names no port: give tcp://host:port"},
        BadEndpoint{"tcp://127.0.0.1:0", " asks for a port of the system's choosing, which no "
                                         "client would know: give a port from 1 to 65535"},
        BadEndpoint{"tcp://127.0.0.1:*", " asks for a port of the system's choosing, which no "
                                         "client would know: give a port from 1 to 65535"}));

} // namespace
