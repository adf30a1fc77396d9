/* Debian's own Prometheus scrapes tfxsrvr and tfxclnt every second while
 * load runs; its HTTP API must then give the figures the programs printed:
 * the server's transaction rate, the client's p99 from the merged buckets,
 * the refusals on both sides. The expositions pass promtool's check. */
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

class PrometheusScrape : public testing::Test {
  protected:
    void SetUp() override
    {
        std::ofstream(dir_.Path() + "/prometheus.yml")
            << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n"
            << "  - job_name: tfxsrvr\n    static_configs: [{targets: ['127.0.0.1:" << serverPort_
            << "']}]\n  - job_name: tfxclnt\n    static_configs: [{targets: ['127.0.0.1:"
            << clientPort_ << "']}]\n";
        prometheus_ = std::make_unique<tfxtest::Process>(std::vector<std::string>{
            "/usr/bin/prometheus", "--config.file=" + dir_.Path() + "/prometheus.yml",
            "--storage.tsdb.path=" + dir_.Path() + "/data",
            "--web.listen-address=127.0.0.1:" + std::to_string(port_)});
        ASSERT_TRUE(Within([this] {
            return HttpGet(port_, "/-/ready").rfind("HTTP/1.0 200", 0) == 0;
        })) << prometheus_->StderrSoFar();
    }

    tfxtest::ProcessOptions Options(const std::string &metrics = "") const
    {
        tfxtest::ProcessOptions options;
        options.Env = {{"QLX_DIR", dir_.Path()}, {"TFX_METRICS", metrics}};
        options.Timeout = std::chrono::seconds(120);
        return options;
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
    int clientPort_ = tfxtest::FreeLoopbackPort();
    std::unique_ptr<tfxtest::Process> prometheus_;
};

TEST_F(PrometheusScrape, FiguresInPrometheusAreTheProgramsOwn)
{
    tfxtest::Process server({TFXSRVR_PATH, "-q", "-m", "LOAD", "E1"},
                            Options(std::to_string(serverPort_)));
    ASSERT_TRUE(tfxtest::WaitForPath(dir_.Path() + "/E1.sock")) << server.StderrSoFar();
    ExpectValid(HttpBody(HttpGet(serverPort_, "/metrics")));
    /* Prometheus takes up its targets a few seconds after it starts. */
    ASSERT_TRUE(Within([this] { return Query("up{job=\"tfxsrvr\"}") == 1; }));

    std::string live = std::to_string(clientPort_);
    tfxtest::Process loading({TFXCLNT_PATH, "-q", "-o", dir_.Path() + "/load.json", "-d", "8", "-r",
                              "500", "-k", "2", "-m", "LOAD", "-l", live, "E1"},
                             Options());
    ASSERT_TRUE(Within([&] { return !HttpBody(HttpGet(clientPort_, "/metrics")).empty(); }));
    ExpectValid(HttpBody(HttpGet(clientPort_, "/metrics")));
    ASSERT_FALSE(loading.Wait().TimedOut);
    (void)tfxtest::RunProcess({TFXCLNT_PATH, "-q", "-o", dir_.Path() + "/refused.json", "-n", "37",
                               "-m", "OTHER", "-l", live, "E1"},
                              Options());
    json load = Result("load.json");
    json refused = Result("refused.json");
    ASSERT_EQ(refused["counts"]["refused"], 37);

    double completed = load["counts"]["completed"];
    EXPECT_TRUE(Within([&] { return Query("tfxsrvr_refusals_total{code=\"50\"}") == 37; }));
    EXPECT_TRUE(Within([&] { return Query("tfxsrvr_transactions_total") == completed; }));
    std::string run = "run=\"" + refused["run"]["id"].get<std::string>() + "\"";
    EXPECT_EQ(Query("max_over_time(tfxclnt_refusals_total{code=\"50\"," + run + "}[10m])"), 37);

    /* The server's rate over the middle five seconds of the eight. */
    double throughput = load["throughput"]["transactions_per_s"];
    double middle = load["started_unix_s"].get<double>() + 6.5;
    EXPECT_NEAR(Query("rate(tfxsrvr_transactions_total[5s])", middle), throughput,
                throughput * 0.05);

    /* The whole run's buckets give its p99 within the width of its bucket. */
    double p99 = load["latency_ns"]["percentiles"]["99"];
    size_t bucket = LatencyBucketOf(uint64_t(p99));
    double width = double(LatencyBoundNs(bucket) - (bucket > 0 ? LatencyBoundNs(bucket - 1) : 0));
    run = "run=\"" + load["run"]["id"].get<std::string>() + "\"";
    EXPECT_NEAR(Query("histogram_quantile(0.99, sum by (le) (max_over_time("
                      "tfxclnt_latency_seconds_bucket{" +
                      run + "}[10m])))") *
                    1e9,
                p99, width);
}

} // namespace
