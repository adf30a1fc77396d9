#include "client/JsonReport.h"

#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/JsonReader.h"
#include "tests/support/Subprocess.h"

namespace {

using tfxtest::JsonValue;

JsonValue ParseBack(const std::string &text)
{
    JsonValue value;
    std::string error;
    EXPECT_TRUE(tfxtest::ParseJson(text, &value, &error)) << error << "\n" << text;
    return value;
}

/* A run with no sample at all still gives valid JSON, with nulls. */
TEST(JsonReport, NoSamplesGiveNullsNotNumbers)
{
    ClientSettings settings;
    static RunResult result;
    JsonValue json = ParseBack(RunResultJson(settings, result, {}, 0));
    const JsonValue &latency = json["latency_ns"];
    EXPECT_EQ(latency["samples"].AsUint64(), 0u);
    EXPECT_TRUE(latency["min"].IsNull());
    EXPECT_TRUE(latency["mean"].IsNull());
    EXPECT_TRUE(latency["max"].IsNull());
    EXPECT_TRUE(latency["percentiles"]["99.9"].IsNull());
    EXPECT_TRUE(latency["buckets"].Items.empty());
    EXPECT_TRUE(json["uncorrected_latency_ns"].IsNull());
    EXPECT_TRUE(json["warmup_latency_ns"].IsNull());
    EXPECT_TRUE(json["failure"].IsNull());
    EXPECT_TRUE(json["first_check_failure"].IsNull());
    EXPECT_EQ(json["throughput"]["transactions_per_s"].Number, 0.0);
    EXPECT_EQ(json["server_view"]["size_min"].AsUint64(), 999999u);
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
    JsonValue json = ParseBack(RunResultJson(settings, result, {}, 0));
    const JsonValue &latency = json["latency_ns"];
    EXPECT_EQ(latency["samples"].AsUint64(), 3u);
    EXPECT_EQ(latency["min"].AsUint64(), 1000u);
    EXPECT_EQ(latency["max"].AsUint64(), 3000u);
    EXPECT_EQ(latency["mean"].Text, "1666.6666666666667");
    EXPECT_EQ(latency["percentiles"]["50"].AsUint64(), 1000u);
    EXPECT_EQ(latency["percentiles"]["99.9"].AsUint64(), 3000u);
    ASSERT_EQ(latency["buckets"].Items.size(), 2u);
    EXPECT_EQ(latency["buckets"][0][0].AsUint64(), 1000u);
    EXPECT_EQ(latency["buckets"][0][1].AsUint64(), 1000u);
    EXPECT_EQ(latency["buckets"][0][2].AsUint64(), 2u);
    EXPECT_EQ(latency["buckets"][1][2].AsUint64(), 1u);
    result.Latency.Clear();
}

/* Texts a user gave are escaped, and bytes that are not UTF-8 replaced. */
TEST(JsonReport, UserTextsStayValidJson)
{
    ClientSettings settings;
    settings.Element = std::string("a\"b\\c\nd\x01\xff\xc3\xa9");
    static RunResult result;
    JsonValue json = ParseBack(RunResultJson(settings, result, {}, 0));
    EXPECT_EQ(json["settings"]["element"].Text, std::string("a\"b\\c\nd\x01?\xc3\xa9"));
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
    JsonValue json = ParseBack(RunResultJson(settings, result, outcomes, 1));
    EXPECT_EQ(json["settings"]["rate"].Number, 250.0);
    EXPECT_TRUE(json["settings"]["count"].IsNull());
    EXPECT_EQ(json["settings"]["seed"].AsUint64(), 18446744073709551615ull);
    EXPECT_EQ(json["settings"]["percentiles"][3].Number, 99.9);
    EXPECT_EQ(json["thresholds"][0]["condition"].Text, "timeouts=0");
    EXPECT_TRUE(json["thresholds"][0]["met"].Boolean);
    EXPECT_EQ(json["thresholds"][0]["value"].Number, 0.0);
    EXPECT_FALSE(json["thresholds"][1]["met"].Boolean);
    EXPECT_TRUE(json["thresholds"][1]["value"].IsNull());
    EXPECT_FALSE(json["uncorrected_latency_ns"].IsNull());
    EXPECT_EQ(json["exit_code"].AsUint64(), 1u);
}

/* The file is written whole, and a path that cannot be written is said so. */
TEST(JsonReport, WritesTheFileWholeOrSaysWhy)
{
    tfxtest::TempDir dir;
    std::string path = dir.Path() + "/result.json";
    std::string error;
    EXPECT_TRUE(CheckWritable(path, &error));
    EXPECT_TRUE(WriteFileWhole(path, "{}\n", &error));
    EXPECT_EQ(tfxtest::ReadFile(path), "{}\n");
    struct stat info {};
    EXPECT_NE(stat((path + ".tmp").c_str(), &info), 0);
    std::string missing = dir.Path() + "/no/such/dir/result.json";
    EXPECT_FALSE(CheckWritable(missing, &error));
    EXPECT_EQ(error, missing + ": cannot be written (No such file or directory)");
    EXPECT_FALSE(WriteFileWhole(missing, "{}", &error));
    EXPECT_EQ(error, missing + ".tmp: cannot be written (No such file or directory)");
}

} // namespace
