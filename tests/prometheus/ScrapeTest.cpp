/* Debian's own Prometheus scrapes tfxsrvr and tfxclnt every second while
 * load runs, from one client or from two agents and their controller; its
 * HTTP API must then give the figures the programs printed: the server's
 * transaction rate, the client's p99 from the merged buckets, the refusals
 * on both sides. The expositions pass promtool's check. */
#include <cmath>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "metrics/LatencyBuckets.h"
#include "tests/support/HttpGet.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/NatsServer.h"
#include "tests/support/Subprocess.h"

namespace {

using nlohmann::json;
using tfxtest::HttpBody;
using tfxtest::HttpGet;

/* Polls check every 200 ms for up to two minutes; true once it held. */
template <typename Check> bool Within(Check check)
{
    for (int poll = 0; poll < 600;
         ++poll, std::this_thread::sleep_for(std::chrono::milliseconds(200)))
        if (check())
            return true;
    return false;
}

/* How the load is made: by one client alone, or by a controller (-D) of
 * agents (-a), each of them serving live. */
struct ScrapeCase {
    const char *Name;
    int Agents; /* 0: one client alone */
};

class PrometheusScrape : public testing::TestWithParam<ScrapeCase> {
  protected:
    void SetUp() override
    {
        std::ofstream config(dir_.Path() + "/prometheus.yml");
        config << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n"
               << "  - job_name: tfxsrvr\n    static_configs: [{targets: ['127.0.0.1:"
               << serverPort_ << "']}]\n  - job_name: tfxclnt\n    static_configs: [{targets: [";
        for (int port : clientPorts_)
            config << "'127.0.0.1:" << port << "',";
        config << "]}]\n";
        config.close();
        prometheus_ = std::make_unique<tfxtest::Process>(std::vector<std::string>{
            "/usr/bin/prometheus", "--config.file=" + dir_.Path() + "/prometheus.yml",
            "--storage.tsdb.path=" + dir_.Path() + "/data",
            "--web.listen-address=127.0.0.1:" + std::to_string(port_)});
        ASSERT_TRUE(Within([this] {
            return HttpGet(port_, "/-/ready").rfind("HTTP/1.0 200", 0) == 0;
        })) << prometheus_->StderrSoFar();
        ASSERT_EQ(nats_ != nullptr ? nats_->Failure() : "", "");
        for (int agent = 0; agent < GetParam().Agents; ++agent) {
            agents_.push_back(std::make_unique<tfxtest::Process>(
                std::vector<std::string>{TFXCLNT_PATH, "-q", "-a", "g", "-l",
                                         std::to_string(clientPorts_[agent + 1])},
                Options()));
            ASSERT_TRUE(agents_.back()->WaitForStdout("waiting for runs"));
        }
    }

    tfxtest::ProcessOptions Options(const std::string &metrics = "") const
    {
        tfxtest::ProcessOptions options;
        options.Env = {{"QLX_DIR", dir_.Path()},
                       {"TFX_METRICS", metrics},
                       {"TFX_CONTROL", nats_ != nullptr ? nats_->Url() : ""},
                       {"TFX_CONTROL_UNSIGNED", "1"}};
        options.Timeout = std::chrono::seconds(120);
        return options;
    }

    /* tfxclnt with arguments, alone or as the agents' controller, serving at
     * the first client port and writing its result to name. */
    std::vector<std::string> Client(const std::string &name,
                                    std::vector<std::string> arguments) const
    {
        arguments.insert(arguments.begin(), {TFXCLNT_PATH, "-q", "-o", dir_.Path() + "/" + name,
                                             "-l", std::to_string(clientPorts_[0])});
        if (GetParam().Agents != 0)
            arguments.insert(arguments.end() - 1, {"-D", "g:" + std::to_string(GetParam().Agents)});
        return arguments;
    }

    /* The value of an instant query at unix time at (now when 0); NaN when
     * it has no single result. */
    double Query(const std::string &promql, double at = 0.0) const
    {
        std::string path = "/api/v1/query?query=";
        for (unsigned char c : promql) {
            char hex[4];
            (void)snprintf(hex, sizeof hex, "%%%02X", c);
            path += isalnum(c) ? std::string(1, char(c)) : hex;
        }
        path += at > 0.0 ? "&time=" + std::to_string(at) : "";
        json reply = json::parse(HttpBody(HttpGet(port_, path)), nullptr, false);
        if (reply.is_discarded() || reply["data"]["result"].size() != 1)
            return NAN;
        return std::stod(reply["data"]["result"][0]["value"][1].get<std::string>());
    }

    /* promtool's own check of an exposition: no output, exit 0. */
    static void ExpectValid(const std::string &exposition)
    {
        ASSERT_FALSE(exposition.empty());
        tfxtest::ProcessOptions options;
        options.Stdin = exposition;
        tfxtest::ProcessResult checked =
            tfxtest::RunProcess({"/usr/bin/promtool", "check", "metrics"}, options);
        EXPECT_EQ(checked.ExitCode, 0);
        EXPECT_EQ(checked.Stdout + checked.Stderr, "");
    }

    json Result(const std::string &name) const
    {
        return json::parse(tfxtest::ReadFile(dir_.Path() + "/" + name), nullptr, false);
    }

    tfxtest::TempDir dir_;
    int port_ = tfxtest::FreeLoopbackPort();
    int serverPort_ = tfxtest::FreeLoopbackPort();
    /* The client alone or the controller, then the agents. */
    int clientPorts_[3] = {tfxtest::FreeLoopbackPort(), tfxtest::FreeLoopbackPort(),
                           tfxtest::FreeLoopbackPort()};
    std::unique_ptr<tfxtest::NatsServer> nats_ =
        GetParam().Agents != 0 ? std::make_unique<tfxtest::NatsServer>() : nullptr;
    std::unique_ptr<tfxtest::Process> prometheus_;
    std::vector<std::unique_ptr<tfxtest::Process>> agents_;
};

/* The client's figures in Prometheus are those of its result: the agents'
 * latency buckets summed give the merged p99, and the controller serves the
 * merged run as a client alone serves its own. */
TEST_P(PrometheusScrape, FiguresInPrometheusAreTheProgramsOwn)
{
    tfxtest::Process server({TFXSRVR_PATH, "-q", "-m", "LOAD", "E1"},
                            Options(std::to_string(serverPort_)));
    ASSERT_TRUE(tfxtest::WaitForPath(dir_.Path() + "/E1.sock")) << server.StderrSoFar();
    ExpectValid(HttpBody(HttpGet(serverPort_, "/metrics")));
    /* Prometheus takes up its targets a few seconds after it starts. */
    ASSERT_TRUE(Within([this] { return Query("up{job=\"tfxsrvr\"}") == 1; }));

    tfxtest::Process loading(
        Client("load.json", {"-d", "8", "-W", "2", "-r", "500", "-k", "2", "-m", "LOAD", "E1"}),
        Options());
    for (int served = 0; served <= GetParam().Agents; ++served) {
        std::string exposition;
        ASSERT_TRUE(Within([&] {
            exposition = HttpBody(HttpGet(clientPorts_[served], "/metrics"));
            return exposition.find("tfxclnt_completed_total") != std::string::npos;
        })) << served;
        ExpectValid(exposition);
    }
    ASSERT_EQ(loading.Wait().ExitCode, 0) << loading.StderrSoFar();
    (void)tfxtest::RunProcess(Client("refused.json", {"-n", "37", "-m", "OTHER", "E1"}), Options());
    json load = Result("load.json");
    json refused = Result("refused.json");
    ASSERT_EQ(refused["counts"]["refused"], 37);
    /* The agents' series when there are agents, the run's own alone. */
    const std::string who = GetParam().Agents != 0 ? ",agent!=\"\"" : "";

    double completed = load["counts"]["completed"];
    EXPECT_TRUE(Within([&] { return Query("tfxsrvr_refusals_total{code=\"50\"}") == 37; }));
    EXPECT_TRUE(Within([&] { return Query("tfxsrvr_transactions_total") == completed; }));
    std::string run = "run=\"" + refused["run"]["id"].get<std::string>() + "\"";
    for (const std::string &whose : {who, std::string(",agent=\"\"")})
        EXPECT_EQ(Query("sum(max_over_time(tfxclnt_refusals_total{code=\"50\"," + run + whose +
                        "}[10m]))"),
                  37)
            << whose;
    /* Agents between runs serve their last one, and the one before beside it. */
    for (int agent = 1; agent <= GetParam().Agents; ++agent)
        for (const json &served : {refused, load})
            EXPECT_NE(HttpGet(clientPorts_[agent], "/metrics")
                          .find(served["run"]["id"].get<std::string>()),
                      std::string::npos)
                << agent;

    /* The server's rate over the middle five seconds of the eight measured. */
    double throughput = load["throughput"]["transactions_per_s"];
    double middle = load["started_unix_s"].get<double>() + 2 + 4 + 2.5;
    EXPECT_NEAR(Query("rate(tfxsrvr_transactions_total[5s])", middle), throughput,
                throughput * 0.05);

    /* The buckets of the whole run give its p99 within the width of its
     * bucket; the controller served the merged counts. */
    double p99 = load["latency_ns"]["percentiles"]["99"];
    size_t bucket = LatencyBucketOf(uint64_t(p99));
    double width = double(LatencyBoundNs(bucket) - (bucket > 0 ? LatencyBoundNs(bucket - 1) : 0));
    run = "run=\"" + load["run"]["id"].get<std::string>() + "\"";
    ASSERT_TRUE(Within([&] {
        return Query("sum(max_over_time(tfxclnt_completed_total{" + run + who + "}[10m]))") ==
               completed;
    }));
    EXPECT_NEAR(Query("histogram_quantile(0.99, sum by (le) (rate(tfxclnt_latency_seconds_bucket{" +
                      run + who + "}[10m])))") *
                    1e9,
                p99, width);
    EXPECT_EQ(Query("max_over_time(tfxclnt_completed_total{" + run + ",agent=\"\"}[10m])"),
              completed);
}

INSTANTIATE_TEST_SUITE_P(Table, PrometheusScrape,
                         testing::Values(ScrapeCase{"Alone", 0}, ScrapeCase{"OnTwoAgents", 2}),
                         [](const testing::TestParamInfo<ScrapeCase> &info) {
                             return info.param.Name;
                         });

} // namespace
