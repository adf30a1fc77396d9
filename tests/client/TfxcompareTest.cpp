/* tfxcompare run as a user runs it, on results of real runs kept in
 * tests/client/compare/: the same server twice (base, same), and the server
 * with a delay of 1 ms (delay), each made in a QLX_DIR of its own by
 *   tfxsrvr -q E  or  tfxsrvr -q -i 0.001 E, then
 *   tfxclnt -r 500 -d 1 -N 5 -q -o repeats-<name>.json E
 *   tfxclnt -r 50 -d 4 -q -o single-<name>.json E
 * and other-element.json by tfxclnt -n 20 -q -o other-element.json Other. */
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "client/JsonReport.h"
#include "tests/support/Subprocess.h"

namespace {

using tfxtest::ProcessResult;

std::string Fixture(const std::string &name)
{
    return std::string(TFX_SOURCE_DIR) + "/tests/client/compare/" + name + ".json";
}

const char Gate[] = "p99:+5%,throughput:-3%";

struct Comparison {
    const char *Base;
    const char *New;
    const char *Noise; /* --noise, in percent */
    int ExitCode;
    const char *Rows; /* each row's figure and verdict */
};

class TfxcompareJudges : public testing::TestWithParam<Comparison> {};

/* The verdict of every row, within the noise band or beyond it, and the
 * gate's exit code; the JSON written with -o holds every row of the table. */
TEST_P(TfxcompareJudges, EveryFigureOfTwoRealResults)
{
    tfxtest::TempDir dir;
    std::string json = dir.Path() + "/compare.json";
    ProcessResult run =
        tfxtest::RunProcess({TFXCOMPARE_PATH, "--fail-on", Gate, "--noise", GetParam().Noise, "-o",
                             json, Fixture(GetParam().Base), Fixture(GetParam().New)});
    EXPECT_EQ(run.ExitCode, GetParam().ExitCode) << run.Stderr;
    EXPECT_EQ(run.Stderr, "");
    std::string rows;
    ResultJson document = ResultJson::parse(tfxtest::ReadFile(json));
    for (const ResultJson &row : document["rows"]) {
        std::string figure = row["figure"];
        rows += (rows.empty() ? "" : "; ") + figure + " " + row["verdict"].get<std::string>();
        EXPECT_NE(run.Stdout.find("\n" + figure + " "), std::string::npos) << figure;
    }
    EXPECT_EQ(rows, GetParam().Rows);
    EXPECT_EQ(document["exit_code"], GetParam().ExitCode);
}

const Comparison Comparisons[] = {
    {"repeats-base", "repeats-delay", "2", 1,
     "throughput no change; p50 slower; p99 slower; p99.9 slower"},
    {"repeats-base", "repeats-delay", "1500", 0,
     "throughput no change; p50 slower; p99 no change; p99.9 no change"},
    {"repeats-delay", "repeats-base", "2", 0,
     "throughput no change; p50 faster; p99 faster; p99.9 faster"},
    {"repeats-base", "repeats-same", "2", 0,
     "throughput no change; p50 no change; p99 no change; p99.9 no change"},
    {"single-base", "single-delay", "2", 1,
     "throughput no change; p50 slower; p90 slower; p99 slower; p99.9 slower"},
};

INSTANTIATE_TEST_SUITE_P(Fixtures, TfxcompareJudges, testing::ValuesIn(Comparisons));

/* The table as printed, byte for byte: the bootstrap draws start from a
 * fixed seed. */
TEST(Tfxcompare, PrintsTheSameTableEveryTime)
{
    std::string base = Fixture("single-base"), delay = Fixture("single-delay");
    ProcessResult run = tfxtest::RunProcess({TFXCOMPARE_PATH, "--fail-on", Gate, base, delay});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Stdout,
              "Comparing " + delay + " with " + base +
                  ": single runs, service element E, request data 128 bytes\n"
                  "\n"
                  "figure        base     new    change          95% interval       p  verdict    "
                  "rests on\n"
                  "throughput  50.2/s  50.2/s     -0.1%        -0.9% .. +0.8%   0.937  no change  "
                  "4 and 4 seconds, block bootstrap\n"
                  "p50          581us  2.31ms   +297.9%    +160.6% .. +606.7%  <0.001  slower     "
                  "200 and 200 samples, bootstrap\n"
                  "p90         3.25ms  8.05ms   +147.5%     +96.0% .. +183.0%  <0.001  slower     "
                  "200 and 200 samples, bootstrap\n"
                  "p99         7.22ms   100ms  +1287.6%   +234.0% .. +3206.3%  <0.001  slower     "
                  "200 and 200 samples, bootstrap\n"
                  "p99.9       7.28ms   137ms  +1783.3%  +1010.0% .. +1801.4%  <0.001  slower     "
                  "200 and 200 samples, bootstrap\n"
                  "\n"
                  "A change within ±2% or with p of 0.05 or more is no change.\n"
                  "warning: one run each is weak evidence: its seconds and samples are not "
                  "independent of each other; repeat each run (-N 5) for a test across runs\n"
                  "Gate p99:+5%: FAILED: p99 +1287.6%, slower\n"
                  "Gate throughput:-3%: passed: throughput -0.1%, no change\n");
}

/* Results that cannot be compared are refused with exit code 2, the file
 * named with what is wrong; nothing is written. */
TEST(Tfxcompare, RefusesResultsThatCannotBeCompared)
{
    tfxtest::TempDir dir;
    std::string other = dir.Path() + "/other.json", json = dir.Path() + "/compare.json";
    std::string error;
    ASSERT_TRUE(WriteFileWhole(other, "{\"tool\": \"wrk\"}\n", &error)) << error;
    std::string base = Fixture("single-base"), repeats = Fixture("repeats-base");
    std::string element = Fixture("other-element");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {element, element + ": cannot be compared: service element Other, where " + base +
                      " has service element E; compare results of one element"},
        {repeats, repeats + ": cannot be compared: repeated runs, where " + base +
                      " has single runs; compare results of one kind"},
        {other, other + ": not a result of tfxclnt (it has no \"tool\": \"tfxclnt\"); give a "
                        "file that tfxclnt -o wrote"},
    };
    for (const auto &[file, message] : cases) {
        ProcessResult run = tfxtest::RunProcess({TFXCOMPARE_PATH, "-o", json, base, file});
        EXPECT_EQ(run.ExitCode, 2);
        EXPECT_EQ(run.Stdout, "");
        EXPECT_EQ(run.Stderr, "tfxcompare: " + message + "\n");
        EXPECT_EQ(tfxtest::ReadFile(json), "");
    }
}

/* A condition of --fail-on that cannot be judged is a usage error. */
TEST(Tfxcompare, RefusesConditionsItCannotJudge)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"p99:-5%", "--fail-on p99:-5%: p99 gets worse as it rises, not as it falls; give "
                    "p99:+5%"},
        {"p99.99:+5%", "--fail-on p99.99:+5%: p99.99 is not compared; give one of throughput, "
                       "p50, p99, p99.9"},
        {"latency<5ms", "--fail-on latency<5ms: give figure:bound, e.g. p99:+5% or "
                        "throughput:-3%"},
    };
    for (const auto &[condition, message] : cases) {
        ProcessResult run = tfxtest::RunProcess({TFXCOMPARE_PATH, "--fail-on", condition,
                                                 Fixture("repeats-base"), Fixture("repeats-same")});
        EXPECT_EQ(run.ExitCode, 2);
        EXPECT_EQ(run.Stdout, "");
        std::string last = "tfxcompare: error: " + message + "\n";
        EXPECT_EQ(run.Stderr.substr(run.Stderr.size() - std::min(run.Stderr.size(), last.size())),
                  last);
    }
}

/* -o with .png draws the picture. */
TEST(Tfxcompare, DrawsAPng)
{
    tfxtest::TempDir dir;
    std::string png = dir.Path() + "/compare.png";
    ProcessResult run = tfxtest::RunProcess(
        {TFXCOMPARE_PATH, "-o", png, Fixture("single-base"), Fixture("single-same")});
    EXPECT_EQ(run.ExitCode, 0) << run.Stderr;
    EXPECT_EQ(tfxtest::ReadFile(png).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

} // namespace
