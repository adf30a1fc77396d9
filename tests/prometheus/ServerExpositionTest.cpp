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

/* The server over an element of its own, ending after two empty waits. */
tfxtest::ProcessResult RunServer(const tfxtest::TempDir &dir, const std::string &metrics)
{
    tfxtest::ProcessOptions options;
    options.Env = {{"QLX_DIR", dir.Path()}};
    if (!metrics.empty())
        options.Env.emplace_back("TFX_METRICS", metrics);
    return tfxtest::RunProcess({TFXSRVR_PATH, "-t", "2", "E1"}, options);
}

/* A value that names no address, or a port another listener holds, ends the
 * server with its reason before it prints anything. */
TEST(ServerMetricsSetting, RefusedValueEndsTheServer)
{
    tfxtest::TempDir dir;
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr *>(&address), &length), 0);
    std::string port = std::to_string(ntohs(address.sin_port));
    const std::pair<std::string, std::string> cases[] = {
        {":9464", "give the address in full (0.0.0.0:9464 for every interface), or a bare port "
                  "for 127.0.0.1"},
        {port, "bind 127.0.0.1:" + port + ": Address already in use"}};
    for (const auto &[value, why] : cases) {
        tfxtest::ProcessResult ran = RunServer(dir, value);
        EXPECT_EQ(ran.ExitCode, 1);
        EXPECT_EQ(ran.Stdout, "");
        EXPECT_EQ(ran.Stderr, "tfxsrvr: TFX_METRICS=" + value + ": " + why + "\n");
    }
    (void)close(holder);
}

/* The server prints the same bytes whether it serves its metrics or not. */
TEST(ServerMetricsSetting, PrintedBytesStayTheSame)
{
    tfxtest::TempDir dir;
    tfxtest::ProcessResult without = RunServer(dir, "");
    tfxtest::ProcessResult with = RunServer(dir, std::to_string(tfxtest::FreeLoopbackPort()));
    EXPECT_EQ(with.ExitCode, 0) << with.Stderr;
    EXPECT_EQ(with.Stdout, without.Stdout);
    EXPECT_EQ(with.Stderr, without.Stderr);
}

} // namespace
