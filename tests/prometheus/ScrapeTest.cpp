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
using tfxtest::Process;
using tfxtest::ProcessOptions;

const std::chrono::seconds Generous(120);

std::string Encoded(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        char hex[4];
        if (isalnum(c) || c == '_' || c == '.' || c == '-')
            out += static_cast<char>(c);
        else {
            (void)snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

class PrometheusScrape : public testing::Test {
  protected:
    void SetUp() override
    {
        prometheusPort_ = tfxtest::FreeLoopbackPort();
        serverPort_ = tfxtest::FreeLoopbackPort();
        clientPort_ = tfxtest::FreeLoopbackPort();
        ASSERT_TRUE(prometheusPort_ != 0 && serverPort_ != 0 && clientPort_ != 0);
        std::ofstream(dir_.Path() + "/prometheus.yml")
            << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n"
            << "  - job_name: tfxsrvr\n    static_configs:\n      - targets: ['127.0.0.1:"
            << serverPort_ << "']\n"
            << "  - job_name: tfxclnt\n    static_configs:\n      - targets: ['127.0.0.1:"
            << clientPort_ << "']\n";
        prometheus_ = std::make_unique<Process>(std::vector<std::string>{
            "/usr/bin/prometheus", "--config.file=" + dir_.Path() + "/prometheus.yml",
            "--storage.tsdb.path=" + dir_.Path() + "/data",
            "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort_)});
        ASSERT_TRUE(Ready()) << prometheus_->StderrSoFar();
    }

    bool Ready() const
    {
        auto end = std::chrono::steady_clock::now() + Generous;
        while (std::chrono::steady_clock::now() < end) {
            if (HttpGet(prometheusPort_, "/-/ready").rfind("HTTP/1.0 200", 0) == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return false;
    }

    ProcessOptions Options(const std::string &metrics = "") const
    {
        ProcessOptions options;
        options.Env = {{"QLX_DIR", dir_.Path()}};
        if (!metrics.empty())
            options.Env.emplace_back("TFX_METRICS", metrics);
        options.Timeout = Generous;
        return options;
    }

    /* The value of an instant query at unix time at (now when 0); NaN when
     * it has no single result. */
    double Query(const std::string &promql, double at = 0.0) const
    {
        std::string path = "/api/v1/query?query=" + Encoded(promql);
        if (at > 0.0)
            path += "&time=" + std::to_string(at);
        json reply = json::parse(HttpBody(HttpGet(prometheusPort_, path)), nullptr, false);
        if (reply.is_discarded() || reply["data"]["result"].size() != 1)
            return NAN;
        return std::stod(reply["data"]["result"][0]["value"][1].get<std::string>());
    }

    /* Waits until the query gives value; returns the last value it gave. */
    double AwaitValue(const std::string &promql, double value) const
    {
        double seen = NAN;
        auto end = std::chrono::steady_clock::now() + Generous;
        while (std::chrono::steady_clock::now() < end && seen != value) {
            seen = Query(promql);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return seen;
    }

    json ClientResult(const std::vector<std::string> &args, const std::string &name)
    {
        std::vector<std::string> argv = {TFXCLNT_PATH, "-q", "-o", dir_.Path() + "/" + name};
        argv.insert(argv.end(), args.begin(), args.end());
        tfxtest::ProcessResult ran = tfxtest::RunProcess(argv, Options());
        EXPECT_FALSE(ran.TimedOut) << ran.Stderr;
        return json::parse(tfxtest::ReadFile(dir_.Path() + "/" + name), nullptr, false);
    }

    /* promtool's own check of an exposition: no output, exit 0. */
    static void ExpectValid(const std::string &exposition)
    {
        ASSERT_FALSE(exposition.empty());
        ProcessOptions options;
        options.Stdin = exposition;
        tfxtest::ProcessResult checked =
            tfxtest::RunProcess({"/usr/bin/promtool", "check", "metrics"}, options);
        EXPECT_EQ(checked.ExitCode, 0) << checked.Stdout << checked.Stderr;
        EXPECT_EQ(checked.Stdout + checked.Stderr, "");
    }

    tfxtest::TempDir dir_;
    int prometheusPort_ = 0;
    int serverPort_ = 0;
    int clientPort_ = 0;
    std::unique_ptr<Process> prometheus_;
};

TEST_F(PrometheusScrape, FiguresInPrometheusAreTheProgramsOwn)
{
    Process server({TFXSRVR_PATH, "-q", "-m", "LOAD", "E1"}, Options(std::to_string(serverPort_)));
    ASSERT_TRUE(tfxtest::WaitForPath(dir_.Path() + "/E1.sock", Generous)) << server.StderrSoFar();
    ExpectValid(HttpBody(HttpGet(serverPort_, "/metrics")));
    /* Prometheus takes up its targets a few seconds after it starts. */
    ASSERT_EQ(AwaitValue("up{job=\"tfxsrvr\"}", 1), 1);

    std::string live = std::to_string(clientPort_);
    json load = ClientResult({"-d", "8", "-r", "500", "-k", "2", "-m", "LOAD", "-l", live, "E1"},
                             "load.json");
    json refused = ClientResult({"-n", "37", "-m", "OTHER", "-l", live, "E1"}, "refused.json");
    ASSERT_FALSE(load.is_discarded());
    ASSERT_FALSE(refused.is_discarded());
    ASSERT_EQ(refused["counts"]["refused"], 37);

    EXPECT_EQ(AwaitValue("tfxsrvr_refusals_total{code=\"50\"}", 37), 37);
    EXPECT_EQ(AwaitValue("tfxsrvr_transactions_total", load["counts"]["completed"]),
              load["counts"]["completed"].get<double>());
    std::string run = "run=\"" + refused["run"]["id"].get<std::string>() + "\"";
    EXPECT_EQ(Query("max_over_time(tfxclnt_refusals_total{code=\"50\"," + run + "}[10m])"), 37);

    /* The server's rate over the middle five seconds of the eight. */
    double throughput = load["throughput"]["transactions_per_s"];
    double middle = load["started_unix_s"].get<double>() + 6.5;
    double rate = Query("rate(tfxsrvr_transactions_total[5s])", middle);
    EXPECT_NEAR(rate, throughput, throughput * 0.05);

    /* The whole run's buckets give its p99 within the width of its bucket. */
    double p99 = load["latency_ns"]["percentiles"]["99"].get<double>();
    size_t bucket = LatencyBucketOf(uint64_t(p99));
    double width = double(LatencyBoundNs(bucket) - (bucket > 0 ? LatencyBoundNs(bucket - 1) : 0));
    run = "run=\"" + load["run"]["id"].get<std::string>() + "\"";
    double quantile = Query("histogram_quantile(0.99, sum by (le) (max_over_time("
                            "tfxclnt_latency_seconds_bucket{" +
                            run + "}[10m])))");
    EXPECT_NEAR(quantile * 1e9, p99, width);
}

/* The client's exposition while it runs passes the check too. */
TEST_F(PrometheusScrape, ClientExpositionPassesPromtool)
{
    Process server({TFXSRVR_PATH, "-q", "E1"}, Options());
    ASSERT_TRUE(tfxtest::WaitForPath(dir_.Path() + "/E1.sock", Generous));
    Process client({TFXCLNT_PATH, "-q", "-d", "3", "-l", std::to_string(clientPort_), "E1"},
                   Options());
    std::string exposition;
    auto end = std::chrono::steady_clock::now() + Generous;
    while (exposition.empty() && std::chrono::steady_clock::now() < end) {
        exposition = HttpBody(HttpGet(clientPort_, "/metrics"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ExpectValid(exposition);
    EXPECT_EQ(client.Wait(Generous).ExitCode, 0);
}

} // namespace
