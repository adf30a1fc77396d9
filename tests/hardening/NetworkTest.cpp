/* The network between server and client fails: the two in network
 * namespaces this test makes, joined by a veth pair, and the link cut under
 * traffic. The server lets go of a peer it cannot reach within the bound
 * that KeepPeersAlive documents. */
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "qlx/zmq/ZmqSocket.h"
#include "tests/hardening/HardeningHarness.h"

namespace {

using namespace hardening;

const std::string IpPath = "/usr/sbin/ip";
const std::string ServerAddress = "10.77.0.1";
const std::string ClientHex = "02004D0A"; /* 10.77.0.2 as /proc/net/tcp shows it */

/* Two network namespaces, the server's and the client's, joined by a veth
 * pair; removed with everything in them at the end. */
class CutLink : public HardeningTest {
  protected:
    void SetUp() override
    {
        HardeningTest::SetUp();
        if (geteuid() != 0 || access(IpPath.c_str(), X_OK) != 0)
            GTEST_SKIP() << "network namespaces need root and ip (iproute2)";
        std::string id = std::to_string(getpid());
        server_ = "tfxsrv" + id;
        client_ = "tfxcli" + id;
        link_ = "tfxc" + id;
        made_ = Ip({"netns", "add", server_}) && Ip({"netns", "add", client_});
        bool joined =
            made_ &&
            Ip({"link", "add", "tfxs" + id, "netns", server_, "type", "veth", "peer", "name", link_,
                "netns", client_}) &&
            Ip({"-n", server_, "addr", "add", ServerAddress + "/24", "dev", "tfxs" + id}) &&
            Ip({"-n", client_, "addr", "add", "10.77.0.2/24", "dev", link_}) &&
            Ip({"-n", server_, "link", "set", "tfxs" + id, "up"}) &&
            Ip({"-n", client_, "link", "set", link_, "up"});
        if (!joined)
            GTEST_SKIP() << "network namespaces joined by a veth pair cannot be made here";
    }
    void TearDown() override
    {
        if (made_) {
            (void)Ip({"netns", "del", server_});
            (void)Ip({"netns", "del", client_});
        }
        HardeningTest::TearDown();
    }

    static bool Ip(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {IpPath};
        argv.insert(argv.end(), args.begin(), args.end());
        return tfxtest::RunProcess(argv).ExitCode == 0;
    }

    /* The server's TCP sockets with the client at their other end. */
    size_t ConnectionsToClient()
    {
        std::ifstream table("/proc/" + std::to_string(ServerPid()) + "/net/tcp");
        std::string line;
        size_t count = 0;
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote;
            fields >> slot >> local >> remote;
            count += remote.rfind(ClientHex + ":", 0) == 0 ? 1 : 0;
        }
        return count;
    }

    std::string server_;
    std::string client_;
    std::string link_;
    bool made_ = false;
};

/* A client that vanishes while the server still sends it replies (its link
 * cut, then the client stopped) is let go of within the bound: data that
 * goes unacknowledged drops the connection as keepalive drops an idle one,
 * where TCP would retransmit for about 15 minutes. The server lives on. */
TEST_F(CutLink, PeerThatVanishesWithRepliesInFlightIsDroppedWithinTheBound)
{
    UseEndpoint("tcp://" + ServerAddress + ":7031");
    SetServerSettings({{"QLX_ALLOW_PLAINTEXT", "1"}});
    ASSERT_NO_FATAL_FAILURE(
        StartServer({"-q", "-i", "0.1"}, "E1", {IpPath, "netns", "exec", server_}));
    tfxtest::Process client(
        {IpPath, "netns", "exec", client_, ClientPath, "-w", "50", "-n", "100000", "E1"},
        OptionsWith({{"QLX_ALLOW_PLAINTEXT", "1"}}));
    ASSERT_TRUE(WaitUntil(
        [&] { return ConnectionsToClient() > 0 && SleepsInItsDelay(ServerPid()); }, Generous))
        << client.StderrSoFar();
    ASSERT_TRUE(Ip({"-n", client_, "link", "set", link_, "down"}));
    client.Signal(SIGKILL);
    (void)client.Wait(Generous);
    auto cut = Clock::now();
    EXPECT_TRUE(WaitUntil([&] { return ConnectionsToClient() == 0; }, Generous))
        << "the server still holds the vanished client's connection";
    int64_t held = MsSince(cut);
    RecordProperty("ms_held_after_the_cut", std::to_string(held));
    EXPECT_LT(held, 2 * qlx::UnacknowledgedLimitMs);
    ProcessResult server = InterruptServer();
    EXPECT_EQ(server.ExitCode, 0) << server.Stderr;
}

} // namespace
