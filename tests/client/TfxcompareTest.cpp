/* tfxcompare run as a user runs it, on results of real runs kept in
 * tests/client/compare/: the same server twice (base, same), and the server
 * with a delay of 0.5 ms (delay), each made in a QLX_DIR of its own by
 *   tfxsrvr -q E  or  tfxsrvr -q -i 0.0005 E, then
 *   tfxclnt -r 500 -d 1 -N 5 -q -o repeats-<name>.json E
 *   tfxclnt -r 50 -d 4 -q -o single-<name>.json E
 * and other-element.json by tfxclnt -n 20 -q -o other-element.json Other. */
#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "client/results/JsonReport.h"
#include "client/reports/SweepReport.h"
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
    const char *Rows;  /* each row's figure and verdict */
    bool AcceptSingle; /* --accept-single-runs */
};

class TfxcompareJudges : public testing::TestWithParam<Comparison> {};

/* The verdict of every row, within the noise band or beyond it, and the
 * gate's exit code; the JSON written with -o holds every row of the table. */
TEST_P(TfxcompareJudges, EveryFigureOfTwoRealResults)
{
    tfxtest::TempDir dir;
    std::string json = dir.Path() + "/compare.json";
    std::vector<std::string> args = {
        TFXCOMPARE_PATH,        "--fail-on", Gate, "--noise",
        GetParam().Noise,       "-o",        json, Fixture(GetParam().Base),
        Fixture(GetParam().New)};
    if (GetParam().AcceptSingle)
        args.push_back("--accept-single-runs");
    ProcessResult run = tfxtest::RunProcess(args);
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
     "throughput no change; p50 slower; p99 slower; p99.9 slower", false},
    {"repeats-base", "repeats-delay", "1500", 0,
     "throughput no change; p50 slower; p99 no change; p99.9 no change", false},
    {"repeats-delay", "repeats-base", "2", 0,
     "throughput no change; p50 faster; p99 faster; p99.9 faster", false},
    {"repeats-base", "repeats-same", "2", 0,
     "throughput no change; p50 no change; p99 no change; p99.9 no change", false},
    {"repeats-base", "repeats-base", "2", 0,
     "throughput no change; p50 no change; p99 no change; p99.9 no change", false},
    {"single-base", "single-delay", "2", 3,
     "throughput no verdict; p50 no verdict; p90 no verdict; p99 no verdict; p99.9 no verdict",
     false},
    {"single-base", "single-delay", "2", 1,
     "throughput no change; p50 slower; p90 slower; p99 slower; p99.9 slower", true},
};

INSTANTIATE_TEST_SUITE_P(Fixtures, TfxcompareJudges, testing::ValuesIn(Comparisons));

/* The table as printed, byte for byte: the bootstrap draws start from a
 * fixed seed. */
TEST(Tfxcompare, PrintsTheSameTableEveryTime)
{
    std::string base = Fixture("single-base"), delay = Fixture("single-delay");
    ProcessResult run = tfxtest::RunProcess(
        {TFXCOMPARE_PATH, "--fail-on", Gate, "--accept-single-runs", base, delay});
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
                  "A change within ±2% or with p of 0.01 or more (0.05 shared by the 5 figures) "
                  "is no change.\n"
                  "warning: judged on one run each (--accept-single-runs): its seconds and "
                  "samples do not show how much runs of one configuration differ, often 10 to "
                  "40 % on a shared machine; repeat each run (-N 5) for a test across runs\n"
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
        {other, other + ": not a result of tfxclnt: it has no \"tool\": \"tfxclnt\"; give a "
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

/* -o with .png draws the picture, of single and of repeated runs. */
TEST(Tfxcompare, DrawsAPng)
{
    for (const char *kind : {"single", "repeats"}) {
        tfxtest::TempDir dir;
        std::string png = dir.Path() + "/compare.png", prefix = kind;
        ProcessResult run = tfxtest::RunProcess(
            {TFXCOMPARE_PATH, "-o", png, Fixture(prefix + "-base"), Fixture(prefix + "-same")});
        EXPECT_EQ(run.ExitCode, 0) << run.Stderr;
        EXPECT_EQ(tfxtest::ReadFile(png).substr(0, 8), "\x89PNG\r\n\x1a\n");
    }
}

/* The result of repeated runs of -r rate (0: a closed loop): run i achieved
 * rates[i] transactions/s, with p50, p99 and p99.9 of latencies[i] µs times
 * 1, 2 and 3. */
std::string RepeatsText(const std::vector<double> &rates, const std::vector<double> &latencies,
                        double rate = 500)
{
    ClientSettings settings;
    settings.Rate = rate;
    settings.Duration = 1;
    settings.Repeats = static_cast<uint32_t>(rates.size());
    RepeatedRuns runs;
    std::vector<RunFigures> all;
    for (size_t i = 0; i < rates.size(); ++i) {
        RunFigures figures;
        figures.Value[AchievedFigure] = rates[i];
        figures.Value[P50Figure] = latencies[i] * 1000;
        figures.Value[P99Figure] = latencies[i] * 2000;
        figures.Value[P999Figure] = latencies[i] * 3000;
        for (Figure figure : {AchievedFigure, P50Figure, P99Figure, P999Figure})
            figures.Present[figure] = true;
        runs.Runs.push_back({figures, "", "", {}});
        all.push_back(figures);
    }
    runs.Spread = SpreadOf(all);
    return RepeatsJson(settings, 1, runs, RunsEnd{}, 0);
}

/* Compares the results of base and new text with the args before them;
 * the JSON document it wrote. */
ResultJson CompareTexts(const std::string &base, const std::string &newer,
                        std::vector<std::string> args, ProcessResult *run)
{
    tfxtest::TempDir dir;
    std::string error, json = dir.Path() + "/compare.json";
    EXPECT_TRUE(WriteFileWhole(dir.Path() + "/base.json", base, &error)) << error;
    EXPECT_TRUE(WriteFileWhole(dir.Path() + "/new.json", newer, &error)) << error;
    args.insert(args.begin(), {TFXCOMPARE_PATH, "-o", json});
    args.insert(args.end(), {dir.Path() + "/base.json", dir.Path() + "/new.json"});
    *run = tfxtest::RunProcess(args);
    return run->ExitCode == 2 ? ResultJson() : ResultJson::parse(tfxtest::ReadFile(json));
}

/* Each row's figure, verdict, change and interval, in percent. */
std::string RowsText(const ResultJson &document)
{
    std::string text;
    for (const ResultJson &row : document["rows"]) {
        char line[160];
        const ResultJson &interval = row["interval_percent"];
        std::string ends = interval.is_null() ? "-" : "";
        for (const ResultJson &end : interval.is_null() ? ResultJson::array() : interval) {
            char bound[24] = "unbounded";
            if (!end.is_null())
                (void)snprintf(bound, sizeof bound, "%+.1f", end.get<double>());
            ends += (ends.empty() ? "" : "..") + std::string(bound);
        }
        (void)snprintf(line, sizeof line, "%s%s %s %+.1f %s", text.empty() ? "" : "; ",
                       row["figure"].get<std::string>().c_str(),
                       row["verdict"].get<std::string>().c_str(),
                       row["change_percent"].get<double>(), ends.c_str());
        text += line;
    }
    return text;
}

struct Known {
    const char *What;
    std::vector<double> BaseRates, BaseLatencies, NewRates, NewLatencies;
    int ExitCode; /* under --fail-on p50:+5%,throughput:-3% */
    const char *Rows;
};

class TfxcompareKnows : public testing::TestWithParam<Known> {};

/* Verdicts, changes and intervals on runs whose answer is known by
 * construction, and the gate's exit code. */
TEST_P(TfxcompareKnows, TheAnswerOfRunsMadeForIt)
{
    const Known &known = GetParam();
    ProcessResult run;
    ResultJson document =
        CompareTexts(RepeatsText(known.BaseRates, known.BaseLatencies),
                     RepeatsText(known.NewRates, known.NewLatencies), {"--fail-on", Gate}, &run);
    EXPECT_EQ(run.ExitCode, known.ExitCode) << run.Stdout << run.Stderr;
    EXPECT_EQ(RowsText(document), known.Rows) << known.What;
}

const std::vector<double> Steady = {500, 500, 500, 500, 500};
const std::vector<double> Close = {100, 101, 102, 103, 104};

INSTANTIATE_TEST_SUITE_P(
    Runs, TfxcompareKnows,
    testing::Values(
        Known{"latency 10 % higher, runs far less apart",
              Steady,
              Close,
              Steady,
              {110, 111.1, 112.2, 113.3, 114.4},
              1,
              "throughput no change +0.0 +0.0..+0.0; p50 slower +10.0 +6.8..+13.3; p99 slower "
              "+10.0 +6.8..+13.3; p99.9 slower +10.0 +6.8..+13.3"},
        Known{"throughput 10 % lower",
              Steady,
              Close,
              {450, 451, 452, 453, 454},
              Close,
              1,
              "throughput slower -9.6 -10.0..-9.2; p50 no change +0.0 -2.9..+3.0; p99 no change "
              "+0.0 -2.9..+3.0; p99.9 no change +0.0 -2.9..+3.0"},
        Known{"identical runs", Steady, Close, Steady, Close, 0,
              "throughput no change +0.0 +0.0..+0.0; p50 no change +0.0 -2.9..+3.0; p99 no change "
              "+0.0 -2.9..+3.0; p99.9 no change +0.0 -2.9..+3.0"},
        Known{"every figure tied",
              Steady,
              {100, 100, 100, 100, 100},
              Steady,
              {100, 100, 100, 100, 100},
              0,
              "throughput no change +0.0 +0.0..+0.0; p50 no change +0.0 +0.0..+0.0; p99 no change "
              "+0.0 +0.0..+0.0; p99.9 no change +0.0 +0.0..+0.0"},
        Known{"a shift within the noise band",
              Steady,
              Close,
              Steady,
              {101, 102.01, 103.02, 104.03, 105.04},
              0,
              "throughput no change +0.0 +0.0..+0.0; p50 no change +1.0 -1.9..+4.0; p99 no change "
              "+1.0 -1.9..+4.0; p99.9 no change +1.0 -1.9..+4.0"},
        Known{"4 runs a side: too few",
              {500, 500, 500, 500},
              {100, 101, 102, 103},
              {500, 500, 500, 500},
              {110, 111.1, 112.2, 113.3},
              3,
              "throughput no verdict +0.0 +0.0..+0.0; p50 no verdict +10.0 +6.8..+13.3; p99 no "
              "verdict +10.0 +6.8..+13.3; p99.9 no verdict +10.0 +6.8..+13.3"},
        Known{"one run a side",
              {500},
              {100},
              {500},
              {200},
              3,
              "throughput no verdict +0.0 unbounded..unbounded; p50 no verdict +100.0 "
              "unbounded..unbounded; p99 no verdict +100.0 unbounded..unbounded; p99.9 no "
              "verdict +100.0 unbounded..unbounded"}));

/* Single runs get no verdict, said with the runs a verdict needs; the gate
 * is not judged (exit 3) unless single runs are accepted. */
TEST(Tfxcompare, GivesSingleRunsNoVerdict)
{
    std::string base = Fixture("single-base"), delay = Fixture("single-delay");
    ProcessResult run = tfxtest::RunProcess({TFXCOMPARE_PATH, "--fail-on", "p50:+5%", base, delay});
    EXPECT_EQ(run.ExitCode, 3);
    EXPECT_NE(run.Stdout.find("\nno verdict: one run each; --accept-single-runs judges them all "
                              "the same. A verdict rests on repeated runs, at least 5 a side "
                              "(tfxclnt -N 5): "),
              std::string::npos)
        << run.Stdout;
    EXPECT_NE(run.Stdout.find("\nGate p50:+5%: NOT JUDGED: p50 +297.9%, no verdict\n"),
              std::string::npos);
}

/* Results of one configuration, five runs each drawn from one distribution,
 * give no change in at least 19 of 20 comparisons. */
TEST(Tfxcompare, FindsNoChangeBetweenRunsOfOneConfiguration)
{
    std::mt19937_64 random(1);
    auto draw = [&random](double median) {
        std::vector<double> runs;
        for (int run = 0; run < 5; ++run) {
            double normal = -6;
            for (int i = 0; i < 12; ++i)
                normal += static_cast<double>(random() >> 11) / 9007199254740992.0;
            runs.push_back(median * std::exp(0.2 * normal));
        }
        return runs;
    };
    int unchanged = 0;
    for (int comparison = 0; comparison < 20; ++comparison) {
        ProcessResult run;
        std::vector<double> baseRates = draw(500), baseLatencies = draw(100);
        ResultJson document = CompareTexts(RepeatsText(baseRates, baseLatencies),
                                           RepeatsText(draw(500), draw(100)), {}, &run);
        std::string rows = RowsText(document);
        unchanged +=
            rows.find("slower") == std::string::npos && rows.find("faster") == std::string::npos;
    }
    EXPECT_GE(unchanged, 19);
}

/* A setting that one result lacks is said as what the run was. */
TEST(Tfxcompare, SaysWhatARunWithoutASettingWas)
{
    ProcessResult run;
    CompareTexts(RepeatsText(Steady, Close), RepeatsText(Steady, Close, 0), {}, &run);
    EXPECT_NE(run.Stdout.find("\nnote: the runs differ in -r: -r 500 and no -r: a closed loop\n"),
              std::string::npos)
        << run.Stdout;
}

/* Tab completion offers results (.json) and folders, no other file. */
TEST(Tfxcompare, CompletesOnlyResults)
{
    tfxtest::TempDir dir;
    std::string error;
    ASSERT_TRUE(WriteFileWhole(dir.Path() + "/run.json", "{}", &error)) << error;
    ASSERT_TRUE(WriteFileWhole(dir.Path() + "/notes.txt", "", &error)) << error;
    ASSERT_EQ(mkdir((dir.Path() + "/older").c_str(), 0700), 0);
    ProcessResult run = tfxtest::RunProcess(
        {"/bin/bash", "-c",
         ". \"$1\"; cd \"$2\"; COMP_WORDS=(tfxcompare \"\"); COMP_CWORD=1; _tfxcompare; "
         "printf '%s\\n' \"${COMPREPLY[@]}\"",
         "completion", std::string(TFX_SOURCE_DIR) + "/completion/tfxsrvr", dir.Path()});
    EXPECT_EQ(run.Stdout, "run.json\nolder\n") << run.Stderr;
}

} // namespace
