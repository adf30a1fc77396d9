/* TFX_METRICS as the server reads it: what it refuses, and that the bytes
 * the server prints stay the same with it. */
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/LoopbackPort.h"
#include "tests/support/Subprocess.h"

namespace {

using tfxtest::ProcessOptions;
using tfxtest::ProcessResult;

class ServerMetricsSetting : public testing::Test {
  protected:
    /* The server over an element of its own, ending after two empty waits. */
    ProcessResult RunServer(const std::string &metrics) const
    {
        ProcessOptions options;
        options.Env = {{"QLX_DIR", dir_.Path()}};
        if (!metrics.empty())
            options.Env.emplace_back("TFX_METRICS", metrics);
        return tfxtest::RunProcess({TFXSRVR_PATH, "-t", "2", "E1"}, options);
    }

    tfxtest::TempDir dir_;
};

struct RefusedCase {
    const char *Value;
    const char *Why;
};

class RefusedMetricsSetting : public ServerMetricsSetting,
                              public testing::WithParamInterface<RefusedCase> {};

/* A value that names no address ends the server before it prints anything. */
TEST_P(RefusedMetricsSetting, EndsTheServerWithItsReason)
{
    ProcessResult ran = RunServer(GetParam().Value);
    EXPECT_EQ(ran.ExitCode, 1);
    EXPECT_EQ(ran.Stdout, "");
    EXPECT_EQ(ran.Stderr, std::string("tfxsrvr: TFX_METRICS=") + GetParam().Value + ": " +
                              GetParam().Why + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedMetricsSetting,
    testing::Values(RefusedCase{":9464",
                                "give the address in full (0.0.0.0:9464 for every interface), or a "
                                "bare port for 127.0.0.1"},
                    RefusedCase{"localhost:9464",
                                "the address must be an IPv4 address such as 127.0.0.1 or "
                                "0.0.0.0"},
                    RefusedCase{"70000", "the port must be a number from 1 to 65535"}));

/* A port another listener holds is refused with the system's reason. */
TEST_F(ServerMetricsSetting, PortInUseEndsTheServer)
{
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr *>(&address), &length), 0);
    std::string port = std::to_string(ntohs(address.sin_port));
    ProcessResult ran = RunServer(port);
    (void)close(holder);
    EXPECT_EQ(ran.ExitCode, 1);
    EXPECT_EQ(ran.Stderr, "tfxsrvr: TFX_METRICS=" + port + ": bind 127.0.0.1:" + port +
                              ": Address already in use\n");
}

/* The server prints the same bytes whether it serves its metrics or not. */
TEST_F(ServerMetricsSetting, PrintedBytesStayTheSame)
{
    ProcessResult without = RunServer("");
    ProcessResult with = RunServer(std::to_string(tfxtest::FreeLoopbackPort()));
    EXPECT_EQ(with.ExitCode, 0) << with.Stderr;
    EXPECT_EQ(with.Stdout, without.Stdout);
    EXPECT_EQ(with.Stderr, without.Stderr);
}

} // namespace
