#include <arpa/inet.h>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "metrics/MetricsListener.h"
#include "tests/support/BadScraper.h"
#include "tests/support/HttpGet.h"
#include "tests/support/LoopbackPort.h"

namespace {

struct AddressCase {
    const char *Text;
    const char *Host; /* null: refused */
    unsigned Port;
};

class MetricsAddress : public testing::TestWithParam<AddressCase> {};

/* A bare port is loopback; anything else is given in full as IPv4 and port. */
TEST_P(MetricsAddress, IsReadOrRefused)
{
    sockaddr_in address{};
    const char *why = nullptr;
    bool read = ParseMetricsAddress(GetParam().Text, &address, &why);
    ASSERT_EQ(read, GetParam().Host != nullptr);
    char host[INET_ADDRSTRLEN] = "";
    EXPECT_STREQ(read ? inet_ntop(AF_INET, &address.sin_addr, host, sizeof host) : nullptr,
                 GetParam().Host);
    EXPECT_EQ(read ? ntohs(address.sin_port) : 0u, GetParam().Port);
}

INSTANTIATE_TEST_SUITE_P(Table, MetricsAddress,
                         testing::Values(AddressCase{"9464", "127.0.0.1", 9464},
                                         AddressCase{"192.168.1.5:65535", "192.168.1.5", 65535},
                                         AddressCase{"localhost:9464", nullptr, 0},
                                         AddressCase{"0", nullptr, 0},
                                         AddressCase{"65536", nullptr, 0},
                                         AddressCase{"1.2.3.4:", nullptr, 0}));

const std::string Body = std::string(1u << 20, '#') + "\n";

void RenderBody(MetricsText *text, void *)
{
    AppendText(text, Body.data(), Body.size());
}

class Listener : public testing::Test {
  protected:
    void SetUp() override
    {
        sockaddr_in address{};
        const char *why = nullptr;
        ASSERT_TRUE(ParseMetricsAddress(std::to_string(port_).c_str(), &address, &why));
        char failure[256];
        server_ = StartMetricsServer(address, RenderBody, nullptr, failure, sizeof failure);
        ASSERT_NE(server_, nullptr) << failure;
    }
    void TearDown() override
    {
        StopMetricsServer(server_);
        for (int fd : fds_)
            if (fd >= 0)
                (void)close(fd);
    }
    std::string Status(const std::string &path) const
    {
        std::string reply = tfxtest::HttpGet(port_, path);
        return reply.substr(0, reply.find('\r'));
    }

    int port_ = tfxtest::FreeLoopbackPort();
    MetricsServer *server_ = nullptr;
    std::vector<int> fds_;
};

/* GET /metrics gets the exposition whole with its media type; another path
 * is not found. */
TEST_F(Listener, ServesOnlyTheExposition)
{
    std::string reply = tfxtest::HttpGet(port_, "/metrics?x=1");
    EXPECT_EQ(reply, "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                     "Content-Length: 1048577\r\nConnection: close\r\n\r\n" +
                         Body);
    EXPECT_EQ(Status("/metricsx"), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(MetricsRepliesSent(server_), 2u);
}

/* Rounds of misbehaving scrapers drawn by a seed (TFX_METRICS_SEED replays
 * one): silent, garbage, half a head, a request never read, a
 * head over the limit, gone at once. After each round a well-behaved scrape
 * gets the whole exposition: the others cost only their own connections. */
TEST_F(Listener, WellBehavedScrapeIsServedBesideRandomMisbehaviour)
{
    const char *given = getenv("TFX_METRICS_SEED");
    uint64_t seed = given != nullptr ? strtoull(given, nullptr, 10) : uint64_t(time(nullptr));
    SCOPED_TRACE("TFX_METRICS_SEED=" + std::to_string(seed));
    std::mt19937_64 draw(seed);
    for (int round = 0; round < 8; ++round) {
        for (int peer = int(draw() % 60); peer > 0; --peer) {
            fds_.push_back(tfxtest::BadScrape(port_, draw));
            ASSERT_GE(fds_.back(), 0);
        }
        std::string reply = tfxtest::HttpGet(port_, "/metrics");
        ASSERT_EQ(tfxtest::HttpBody(reply), Body) << "round " << round;
    }
    EXPECT_EQ(Status("/"), "HTTP/1.1 404 Not Found");
}

} // namespace
