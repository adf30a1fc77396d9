/* Access: the real server refuses a runtime directory that others could
 * tamper with, keeps its own directory and socket private, does not hear a
 * process of another user even when the socket is opened to it, and on a
 * tcp:// endpoint under CurveZMQ hears only the client keys it allows. */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <ostream>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/hardening/HardeningHarness.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/ServiceClient.h"

namespace {

using namespace hardening;

const std::string SetprivPath = "/usr/bin/setpriv";

/* A user and group id that nobody on this machine has; 0 when none is found. */
uid_t UnusedId()
{
    for (uid_t id = 61000; id < 62000; ++id) {
        if (getpwuid(id) == nullptr && getgrgid(id) == nullptr)
            return id;
    }
    return 0;
}

/* The permission bits of path in octal, or "absent". */
std::string ModeOf(const std::string &path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return "absent";
    char text[8];
    (void)snprintf(text, sizeof text, "%04o", static_cast<unsigned>(info.st_mode & 0777));
    return text;
}

/* What the server writes when it cannot open its service because of its
 * runtime directory: what is wrong with it, then what to do. */
std::string DirectoryRefusal(const std::string &text, const std::string &remedy)
{
    return "ServerInitialize: \n\nPrimary Result: " + text + " (40)\n\nSub Result: " + remedy +
           "\n";
}

/* A runtime directory that others could change. */
enum class Unsafe { OwnedByAnotherUser, WritableByItsGroup, WritableByOthers, SymbolicLink };

void PrintTo(Unsafe unsafe, std::ostream *out)
{
    static const char *const Names[] = {"owned by another user", "writable by its group",
                                        "writable by others", "a symbolic link"};
    *out << Names[static_cast<int>(unsafe)];
}

class UnsafeRuntimeDirectory : public HardeningTest, public testing::WithParamInterface<Unsafe> {};

/* The server refuses a runtime directory of another user, one that group or
 * others may write, and a symbolic link, with a text that says which and
 * what to do; it puts nothing there and ends with exit code 1. */
TEST_P(UnsafeRuntimeDirectory, IsRefusedWithAClearText)
{
    const std::string dir = QlxDir();
    std::string text;
    std::string remedy;
    const std::string Private =
        "make it private (chmod 700 " + dir + "), or set QLX_DIR to a private directory";
    switch (GetParam()) {
    case Unsafe::OwnedByAnotherUser: {
        if (geteuid() != 0)
            GTEST_SKIP() << "giving a directory to another user needs root";
        uid_t other = UnusedId();
        ASSERT_NE(other, 0u);
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        ASSERT_EQ(chown(dir.c_str(), other, other), 0) << strerror(errno);
        text = "runtime directory " + dir + " is owned by uid " + std::to_string(other) +
               ", not by uid 0";
        remedy = "set QLX_DIR to a directory of your own";
        break;
    }
    case Unsafe::WritableByItsGroup:
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0770), 0);
        text = "runtime directory " + dir + " is open to others (mode 0770)";
        remedy = Private;
        break;
    case Unsafe::WritableByOthers:
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0757), 0);
        text = "runtime directory " + dir + " is open to others (mode 0757)";
        remedy = Private;
        break;
    case Unsafe::SymbolicLink: {
        std::string target = TempPath() + "/elsewhere";
        ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
        ASSERT_EQ(symlink(target.c_str(), dir.c_str()), 0);
        text = "runtime directory " + dir + " is a symbolic link";
        remedy = "set QLX_DIR to the directory itself, not to a link";
        break;
    }
    }
    ProcessResult server = tfxtest::RunProcess({ServerPath, "E1"}, Options());
    EXPECT_EQ(server.ExitCode, 1);
    EXPECT_EQ(server.Stdout, "Service Element E1\nOpening Service\n");
    EXPECT_EQ(server.Stderr, DirectoryRefusal(text, remedy));
    EXPECT_EQ(ModeOf(dir + "/E1.sock"), "absent");
    EXPECT_EQ(ModeOf(dir + "/E1.lock"), "absent");
}

INSTANTIATE_TEST_SUITE_P(Directories, UnsafeRuntimeDirectory,
                         testing::Values(Unsafe::OwnedByAnotherUser, Unsafe::WritableByItsGroup,
                                         Unsafe::WritableByOthers, Unsafe::SymbolicLink));

class OtherUsers : public HardeningTest {
  protected:
    /* Runs tfxclnt with args as a user and group of its own, in this test's
     * environment. */
    ProcessResult RunClientAs(uid_t id, const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {SetprivPath,
                                         "--reuid=" + std::to_string(id),
                                         "--regid=" + std::to_string(id),
                                         "--clear-groups",
                                         "--",
                                         ClientPath};
        argv.insert(argv.end(), args.begin(), args.end());
        return tfxtest::RunProcess(argv, Options());
    }

    /* Has every process use the ipc:// endpoint e1.sock in a directory open
     * to all and sticky, as /tmp is; returns the socket's path. */
    std::string SharedEndpoint()
    {
        std::string shared = TempPath() + "/shared";
        EXPECT_EQ(mkdir(shared.c_str(), 0700), 0);
        EXPECT_EQ(chmod(shared.c_str(), 01777), 0);
        EXPECT_EQ(chmod(TempPath().c_str(), 0755), 0);
        UseEndpoint("ipc://" + shared + "/e1.sock");
        return shared + "/e1.sock";
    }

    /* Starts tfxsrvr -q as user id, an impostor on the test's endpoint,
     * without a statistics file. */
    void StartImpostor(uid_t id)
    {
        SetServerSettings({{"QLX_STATS_FILE", ""}});
        StartServer({"-q"}, "E1",
                    {SetprivPath, "--reuid=" + std::to_string(id), "--regid=" + std::to_string(id),
                     "--clear-groups", "--"});
    }
};

/* The server's runtime directory is private to its user, and its socket and
 * lock file too: a client of another user is turned away before it can try. */
TEST_F(OtherUsers, FindTheRuntimeDirectoryAndSocketPrivate)
{
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
    EXPECT_EQ(ModeOf(QlxDir()), "0700");
    EXPECT_EQ(ModeOf(QlxDir() + "/E1.sock"), "0600");
    EXPECT_EQ(ModeOf(QlxDir() + "/E1.lock"), "0600");
    if (geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    uid_t other = UnusedId();
    ASSERT_NE(other, 0u);
    ASSERT_EQ(chmod(TempPath().c_str(), 0755), 0);
    ProcessResult stranger = RunClientAs(other, {"-n", "3", "-t", "1", "E1"});
    EXPECT_EQ(stranger.ExitCode, 1);
    EXPECT_EQ(stranger.Stdout, "");
    EXPECT_EQ(stranger.Stderr, "ClientConnect: \n\nPrimary Result: runtime directory " + QlxDir() +
                                   " is owned by uid 0, not by uid " + std::to_string(other) +
                                   " (40)\n\nSub Result: set QLX_DIR to a directory of your own\n");
    ProcessResult server = InterruptServer();
    EXPECT_EQ(server.ExitCode, 0);
    EXPECT_EQ(ParseSummary(server.Stdout).Total, 0u);
}

/* With the socket opened to everyone, a client of another user connects, but
 * the server drops its connection at once: the client is told that nothing
 * answered, and the server hears none of its transactions; the well-behaved
 * client of the server's own user beside it loses nothing. */
TEST_F(OtherUsers, AreNotHeardEvenWhenTheSocketIsOpenToThem)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    uid_t other = UnusedId();
    ASSERT_NE(other, 0u);
    std::string open = TempPath() + "/open";
    ASSERT_EQ(mkdir(open.c_str(), 0755), 0);
    ASSERT_EQ(chmod(TempPath().c_str(), 0755), 0);
    std::string socket = open + "/E1.sock";
    UseEndpoint("ipc://" + socket);
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
    ASSERT_EQ(chmod(socket.c_str(), 0666), 0);
    ASSERT_EQ(chmod((socket + ".lock").c_str(), 0644), 0);
    StartSteadyClient();
    ASSERT_TRUE(Steady().WaitForCompleted(1));

    ProcessResult stranger = RunClientAs(other, {"-n", "5", "-w", "5", "-t", "2", "E1"});
    EXPECT_EQ(stranger.ExitCode, 1) << stranger.Stderr;
    EXPECT_EQ(stranger.Stdout, "");
    EXPECT_EQ(stranger.Stderr,
              "ClientConnect: \n\nPrimary Result: service element E1 is not served at "
              "QLX_ENDPOINT=ipc://" +
                  socket +
                  ": start its service there first, e.g. tfxsrvr E1 with the same QLX_ENDPOINT "
                  "(43)\n\nSub Result: no connection to " +
                  socket + " was answered within 5 s\n");

    uint64_t sent = 0;
    ServerSummary summary = EndSteadyRun(&sent);
    EXPECT_EQ(summary.Transactions, sent);
    EXPECT_EQ(Stats()["transactions"], summary.Transactions);
}

/* Another user serves an ipc:// endpoint in a directory open to all before
 * this user's service does: this user's client refuses the impostor's socket
 * before it sends anything, stop request included, and says whose it is. */
TEST_F(OtherUsers, ImpostorSocketIsRefusedByTheClient)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    uid_t other = UnusedId();
    ASSERT_NE(other, 0u);
    std::string socket = SharedEndpoint();
    ASSERT_NO_FATAL_FAILURE(StartImpostor(other));
    ProcessResult client =
        tfxtest::RunProcess({ClientPath, "-n", "5", "-V", "-x", "E1"}, Options());
    EXPECT_EQ(client.ExitCode, 1);
    EXPECT_EQ(client.Stdout, "");
    EXPECT_EQ(client.Stderr,
              "ClientConnect: \n\nPrimary Result: socket " + socket + " belongs to uid " +
                  std::to_string(other) +
                  ", who could pose as the service: this client connects only to sockets of its "
                  "own user or root (41)\n\nSub Result: if that user runs the service, set "
                  "QLX_SERVICE_OWNER=" +
                  std::to_string(other) + " to trust it\n");
    ProcessResult server = InterruptServer();
    EXPECT_EQ(server.ExitCode, 0);
    EXPECT_EQ(ParseSummary(server.Stdout).Total, 0u);
}

/* This user's service ends cleanly and another user's takes its endpoint
 * in the shared directory: the client, connected before, does not follow
 * it there. The kernel names the process at the other end of the new
 * connection, and the client drops it and refuses the send and the stop
 * request; the impostor hears nothing. */
TEST_F(OtherUsers, ImpostorThatTakesTheEndpointOverHearsNothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    uid_t other = UnusedId();
    ASSERT_NE(other, 0u);
    std::string socket = SharedEndpoint();
    ASSERT_EQ(setenv("QLX_ENDPOINT", ("ipc://" + socket).c_str(), 1), 0);
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
    tfxtest::ServiceClient client("E1");
    ASSERT_TRUE(client.Connected()) << client.LastError();
    ASSERT_TRUE(client.SendTransaction(1, "own\n"));
    EXPECT_EQ(client.Collect(1, Generous).size(), 1u);
    EXPECT_EQ(InterruptServer().ExitCode, 0);

    ASSERT_NO_FATAL_FAILURE(StartImpostor(other));
    const std::string refusal = "socket " + socket + " is served by a process of uid " +
                                std::to_string(other) +
                                ", who could pose as the service: this client talks only to "
                                "services of its own user or root (41)";
    EXPECT_FALSE(client.SendTransaction(2, "stolen\n"));
    EXPECT_EQ(client.LastError(), refusal);
    EXPECT_FALSE(client.SendStop());
    EXPECT_EQ(client.LastError(), refusal);
    (void)unsetenv("QLX_ENDPOINT");
    ProcessResult impostor = InterruptServer();
    EXPECT_EQ(impostor.ExitCode, 0);
    EXPECT_EQ(ParseSummary(impostor.Stdout).Total, 0u);
}

/* A lock file of another user in the shared directory keeps this user's
 * server from serving there; the text names the file and its owner. */
TEST_F(OtherUsers, ForeignLockFileIsNamedWithItsOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    uid_t other = UnusedId();
    ASSERT_NE(other, 0u);
    std::string socket = SharedEndpoint();
    std::ofstream(socket + ".lock") << "";
    tfxtest::ProcessOptions options = OptionsWith({{"QLX_STATS_FILE", ""}});
    ProcessResult server = tfxtest::RunProcess({SetprivPath, "--reuid=" + std::to_string(other),
                                                "--regid=" + std::to_string(other),
                                                "--clear-groups", "--", ServerPath, "E1"},
                                               options);
    EXPECT_EQ(server.ExitCode, 1);
    EXPECT_EQ(server.Stdout, "Service Element E1\nOpening Service\n");
    EXPECT_EQ(server.Stderr, "ServerInitialize: \n\nPrimary Result: lock file " + socket +
                                 ".lock belongs to user root (0), so QLX_ENDPOINT=ipc://" + socket +
                                 " cannot be served there (41)\n\nSub Result: ask that user to "
                                 "remove it, or serve a socket in a directory of your own\n");
}

/* Who tries to get into a CurveZMQ service: a client whose key the service
 * does not list, a client with no keys at all, and a listed client that
 * holds the wrong public key for the service. */
enum class Intruder { UnlistedKey, NoKeys, WrongServerKey };

void PrintTo(Intruder intruder, std::ostream *out)
{
    static const char *const Names[] = {"a key not listed", "no keys", "the wrong server key"};
    *out << Names[static_cast<int>(intruder)];
}

class CurveService : public HardeningTest, public testing::WithParamInterface<Intruder> {
  protected:
    /* Makes the key pair name with tfxkeys; returns its path less the suffix. */
    std::string KeyPair(const std::string &name)
    {
        std::string path = TempPath() + "/" + name;
        ProcessResult made = tfxtest::RunProcess({TFXKEYS_PATH, path});
        EXPECT_EQ(made.ExitCode, 0) << made.Stderr;
        return path;
    }
};

/* A tcp:// service under CurveZMQ serves the listed client and nothing of
 * the intruder, which is told so at once: neither its transactions nor its
 * stop request are reported sent. */
TEST_P(CurveService, HearsOnlyTheKeysItAllows)
{
    std::string server = KeyPair("server");
    std::string steady = KeyPair("steady");
    std::string stranger = KeyPair("stranger");
    std::string other = KeyPair("other");
    std::string allowed = TempPath() + "/allowed";
    std::ofstream(allowed) << "# who may in\n" << tfxtest::ReadFile(steady + ".pub");
    UseEndpoint("tcp://127.0.0.1:" + std::to_string(tfxtest::FreeLoopbackPort()));
    SetServerSettings({{"QLX_CURVE_KEY", server + ".key"}, {"QLX_CURVE_CLIENTS", allowed}});
    SetSteadySettings({{"QLX_CURVE_KEY", steady + ".key"}, {"QLX_CURVE_SERVER", server + ".pub"}});
    ASSERT_NO_FATAL_FAILURE(StartServer({"-q"}));
    StartSteadyClient();
    ASSERT_TRUE(Steady().WaitForCompleted(1));

    Settings intruder;
    if (GetParam() == Intruder::UnlistedKey)
        intruder = {{"QLX_CURVE_KEY", stranger + ".key"}, {"QLX_CURVE_SERVER", server + ".pub"}};
    if (GetParam() == Intruder::WrongServerKey)
        intruder = {{"QLX_CURVE_KEY", steady + ".key"}, {"QLX_CURVE_SERVER", other + ".pub"}};
    ProcessResult tries = tfxtest::RunProcess({ClientPath, "-n", "5", "-w", "5", "-t", "2", "E1"},
                                              OptionsWith(intruder));
    EXPECT_EQ(tries.ExitCode, 1) << tries.Stderr;
    EXPECT_EQ(tries.Stdout, "");
    EXPECT_NE(tries.Stderr.find(" did not let this client in: "), std::string::npos)
        << tries.Stderr;
    ProcessResult stop =
        tfxtest::RunProcess({ClientPath, "-n", "0", "-x", "E1"}, OptionsWith(intruder));
    EXPECT_EQ(stop.ExitCode, 1) << stop.Stderr;
    EXPECT_EQ(stop.Stdout, "");

    uint64_t sent = 0;
    ServerSummary summary = EndSteadyRun(&sent);
    EXPECT_EQ(summary.Transactions, sent);
    ServiceStats stats = Stats();
    EXPECT_EQ(stats["stop_requests"], 0u);
    EXPECT_EQ(stats["transactions"], sent);
    if (GetParam() == Intruder::UnlistedKey)
        EXPECT_GE(stats["keys_refused"], 2u);
    else
        EXPECT_EQ(stats["keys_refused"], 0u);
}

INSTANTIATE_TEST_SUITE_P(Intruders, CurveService,
                         testing::Values(Intruder::UnlistedKey, Intruder::NoKeys,
                                         Intruder::WrongServerKey));

} // namespace
