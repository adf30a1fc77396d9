#include "client/results/JsonReport.h"

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/results/OutputFile.h"
#include "client/results/ResultDocument.h"
#include "tests/support/Subprocess.h"

namespace {

ResultJson ParseBack(const std::string &text)
{
    ResultJson value;
    std::string error;
    EXPECT_TRUE(ParseResultDocument(text, &value, &error)) << error << "\n" << text;
    return value;
}

/* A run with no sample at all still gives valid JSON, with nulls. */
TEST(JsonReport, NoSamplesGiveNullsNotNumbers)
{
    ClientSettings settings;
    static RunResult result;
    ResultJson json = ParseBack(RunResultJson(settings, result, {}, 0));
    ResultJson &latency = json["latency_ns"];
    EXPECT_EQ(latency["samples"].get<uint64_t>(), 0u);
    EXPECT_TRUE(latency["min"].is_null());
    EXPECT_TRUE(latency["mean"].is_null());
    EXPECT_TRUE(latency["max"].is_null());
    EXPECT_TRUE(latency["percentiles"]["99.9"].is_null());
    EXPECT_TRUE(latency["buckets"].empty());
    EXPECT_TRUE(json["uncorrected_latency_ns"].is_null());
    EXPECT_TRUE(json["warmup_latency_ns"].is_null());
    EXPECT_TRUE(json["failure"].is_null());
    EXPECT_TRUE(json["first_check_failure"].is_null());
    EXPECT_EQ(json["throughput"]["transactions_per_s"].get<double>(), 0.0);
    EXPECT_EQ(json["server_view"]["size_min"].get<uint64_t>(), 999999u);
}

/* Samples appear as percentiles and as the histogram's non-empty buckets. */
TEST(JsonReport, SamplesGivePercentilesAndBuckets)
{
    ClientSettings settings;
    settings.Percentiles = {50, 99.9};
    static RunResult result;
    result.Latency.Clear();
    result.Latency.Record(1000);
    result.Latency.Record(1000);
    result.Latency.Record(3000);
    ResultJson json = ParseBack(RunResultJson(settings, result, {}, 0));
    ResultJson &latency = json["latency_ns"];
    EXPECT_EQ(latency["samples"].get<uint64_t>(), 3u);
    EXPECT_EQ(latency["min"].get<uint64_t>(), 1000u);
    EXPECT_EQ(latency["max"].get<uint64_t>(), 3000u);
    EXPECT_EQ(latency["mean"].get<double>(), 5000.0 / 3.0);
    EXPECT_EQ(latency["percentiles"]["50"].get<uint64_t>(), 1000u);
    EXPECT_EQ(latency["percentiles"]["99.9"].get<uint64_t>(), 3000u);
    ASSERT_EQ(latency["buckets"].size(), 2u);
    EXPECT_EQ(latency["buckets"][0][0].get<uint64_t>(), 1000u);
    EXPECT_EQ(latency["buckets"][0][1].get<uint64_t>(), 1000u);
    EXPECT_EQ(latency["buckets"][0][2].get<uint64_t>(), 2u);
    EXPECT_EQ(latency["buckets"][1][2].get<uint64_t>(), 1u);
    result.Latency.Clear();
}

/* Each interval carries its figures; one without completions has no latencies. */
TEST(JsonReport, IntervalsCarryTheirFigures)
{
    ClientSettings settings;
    static RunResult result;
    result.Intervals = {{0.0, 1.0, true, 120, 100, 2, 1, 20000, 40000, 45000, 50000},
                        {1.0, 0.5, false, 10, 0, 0, 3, 0, 0, 0, 0}};
    ResultJson json = ParseBack(RunResultJson(settings, result, {}, 0));
    EXPECT_EQ(json["intervals"].dump(),
              R"([{"start_s":0.0,"duration_s":1.0,"warmup":true,"messages":120,"completed":100,)"
              R"("refused":2,"timed_out":1,"transactions_per_s":100.0,"latency_ns":{"max":50000,)"
              R"("percentiles":{"50":20000,"99":40000,"99.9":45000}}},)"
              R"({"start_s":1.0,"duration_s":0.5,"warmup":false,"messages":10,"completed":0,)"
              R"("refused":0,"timed_out":3,"transactions_per_s":0.0,"latency_ns":{"max":null,)"
              R"("percentiles":{"50":null,"99":null,"99.9":null}}}])");
    result.Intervals.clear();
}

/* Texts a user gave are escaped, and bytes that are not UTF-8 replaced by U+FFFD. */
TEST(JsonReport, UserTextsStayValidJson)
{
    ClientSettings settings;
    settings.Element = std::string("a\"b\\c\nd\x01\xff\xc3\xa9");
    static RunResult result;
    ResultJson json = ParseBack(RunResultJson(settings, result, {}, 0));
    EXPECT_EQ(json["settings"]["element"].get<std::string>(),
              std::string("a\"b\\c\nd\x01\xef\xbf\xbd\xc3\xa9"));
}

/* Settings, thresholds and the exit code are all in the text. */
TEST(JsonReport, CarriesSettingsThresholdsAndExitCode)
{
    ClientSettings settings;
    settings.Rate = 250;
    settings.Duration = 2;
    settings.CountLimited = false;
    std::string error;
    ASSERT_TRUE(ParseThresholds("timeouts=0,p99<1ms", &settings.Thresholds, &error));
    static RunResult result;
    result.Seed = 18446744073709551615ull;
    std::vector<ThresholdOutcome> outcomes = {{true, true, 0.0}, {false, false, 0.0}};
    ResultJson json = ParseBack(RunResultJson(settings, result, outcomes, 1));
    EXPECT_EQ(json["settings"]["rate"].get<double>(), 250.0);
    EXPECT_TRUE(json["settings"]["count"].is_null());
    EXPECT_EQ(json["settings"]["seed"].get<uint64_t>(), 18446744073709551615ull);
    EXPECT_EQ(json["settings"]["percentiles"][3].get<double>(), 99.9);
    EXPECT_EQ(json["thresholds"][0]["condition"].get<std::string>(), "timeouts=0");
    EXPECT_TRUE(json["thresholds"][0]["met"].get<bool>());
    EXPECT_EQ(json["thresholds"][0]["value"].get<double>(), 0.0);
    EXPECT_FALSE(json["thresholds"][1]["met"].get<bool>());
    EXPECT_TRUE(json["thresholds"][1]["value"].is_null());
    EXPECT_FALSE(json["uncorrected_latency_ns"].is_null());
    EXPECT_EQ(json["exit_code"].get<uint64_t>(), 1u);
}

/* The file is written whole through the temporary file made before the
 * run; one never committed leaves nothing behind, and a path that cannot be
 * written is said so. */
TEST(JsonReport, WritesTheFileWholeOrSaysWhy)
{
    tfxtest::TempDir dir;
    std::string path = dir.Path() + "/result.json";
    std::string error;
    auto files = [&dir] {
        return std::distance(std::filesystem::directory_iterator(dir.Path()),
                             std::filesystem::directory_iterator());
    };
    {
        OutputFile unused;
        EXPECT_TRUE(unused.Prepare(path, &error)) << error;
        EXPECT_EQ(files(), 1);
    }
    EXPECT_EQ(files(), 0);
    EXPECT_TRUE(WriteFileWhole(path, "{}\n", &error));
    EXPECT_EQ(tfxtest::ReadFile(path), "{}\n");
    EXPECT_EQ(files(), 1);
    std::string missing = dir.Path() + "/no/such/dir/result.json";
    EXPECT_FALSE(WriteFileWhole(missing, "{}", &error));
    EXPECT_EQ(error, missing + ": cannot be written (No such file or directory)");
}

} // namespace
