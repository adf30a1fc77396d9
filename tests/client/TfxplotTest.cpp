/* tfxplot run as a user runs it, on results that the client's own JSON
 * writer wrote. */
#include <algorithm>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "client/results/JsonReport.h"
#include "client/results/ResultDocument.h"
#include "client/reports/SweepReport.h"
#include "tests/client/CraftedResults.h"
#include "tests/support/Subprocess.h"

namespace {

using tfxtest::ProcessResult;

/* A result of three seconds whose latency grows with the given factor. */
std::string ResultText(uint64_t factor)
{
    ClientSettings settings;
    settings.Duration = 3;
    static RunResult result;
    result.Latency.Clear();
    result.Intervals.clear();
    for (uint64_t i = 1; i <= 1000; ++i)
        result.Latency.Record(factor * (20000 + i * i));
    for (int second = 0; second < 3; ++second)
        result.Intervals.push_back({second * 1.0, 1.0, false, 330, 330, 0, 0, factor * 20000,
                                    factor * 900000, factor * 990000, factor * 1020000});
    return RunResultJson(settings, result, {}, 0);
}

/* A sweep of 100 to 400/s, two runs a step, whose latency grows with the
 * rate and the factor; 400/s fails. */
std::string SweepText(uint64_t factor)
{
    ClientSettings settings;
    settings.Sweep = RateRange{100, 400, 100};
    settings.Duration = 2;
    SweepResult sweep;
    for (double rate = 100; rate <= 400; rate += 100) {
        RunFigures figures;
        for (size_t figure = 0; figure < FigureCount; ++figure)
            figures.Value[figure] = static_cast<double>(factor * (figure + 1)) * rate * 1000.0;
        std::fill(std::begin(figures.Present), std::end(figures.Present), true);
        figures.Value[AchievedFigure] = rate < 400 ? rate : 330;
        RepeatRun run{figures,
                      rate < 400 ? "" : "achieved 330.0 transactions/s",
                      rate < 400 ? "" : "achieved at least 98 % of the target",
                      {}};
        RunFigures other = figures;
        other.Value[P99Figure] *= 1.5;
        sweep.Steps.push_back(
            {rate, {{run, {other, run.Fault, run.Condition, {}}}, SpreadOf({figures, other})}});
    }
    return SweepJson(settings, 1, sweep, 0);
}

/* The text of a result whose latency grows with the factor. */
using ResultWriter = std::string (*)(uint64_t factor);

class TfxplotDraws : public testing::TestWithParam<ResultWriter> {};

/* Two results, of single runs or of sweeps, make one PNG. */
TEST_P(TfxplotDraws, TwoResultsIntoOnePng)
{
    tfxtest::TempDir dir;
    std::string one = dir.Path() + "/one.json", two = dir.Path() + "/two.json";
    std::string error;
    ASSERT_TRUE(WriteFileWhole(one, GetParam()(1), &error)) << error;
    ASSERT_TRUE(WriteFileWhole(two, GetParam()(3), &error)) << error;
    std::string png = dir.Path() + "/plot.png";
    ProcessResult run = tfxtest::RunProcess({TFXPLOT_PATH, one, two, "-o", png});
    EXPECT_EQ(run.ExitCode, 0) << run.Stderr;
    EXPECT_EQ(run.Stderr, "");
    EXPECT_EQ(tfxtest::ReadFile(png).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

INSTANTIATE_TEST_SUITE_P(Results, TfxplotDraws, testing::Values(ResultText, SweepText));

/* Runs tool (tfxplot or tfxcompare) on the result at path, after a good
 * one for tfxcompare. */
ProcessResult RunTool(const std::string &tool, const std::string &path, const std::string &dir)
{
    if (tool == TFXPLOT_PATH)
        return tfxtest::RunProcess({tool, path, "-o", dir + "/plot.png"});
    std::string good = dir + "/good.json", error;
    EXPECT_TRUE(WriteFileWhole(good, tfxtest::CraftedBase(), &error)) << error;
    return tfxtest::RunProcess({tool, good, path, "-o", dir + "/compare.png"});
}

/* The refusal line of tool for the file at path. */
std::string Refusal(const std::string &tool, const std::string &path, const std::string &why)
{
    return tool.substr(tool.rfind('/') + 1) + ": " + path + ": " + why +
           "; give a file that tfxclnt -o wrote\n";
}

class PythonToolRefuses
    : public testing::TestWithParam<std::tuple<const char *, tfxtest::CraftedResult>> {};

/* Both tools refuse each file that tfxclnt -M refuses, in one line naming
 * the file and the field, with exit code 2; nothing is drawn. */
TEST_P(PythonToolRefuses, WhatTfxclntMergeRefuses)
{
    const auto &[tool, crafted] = GetParam();
    tfxtest::TempDir dir;
    std::string path = dir.Path() + "/bad.json", error;
    ASSERT_TRUE(
        WriteFileWhole(path, tfxtest::CraftedText(tfxtest::CraftedBase(), crafted), &error));
    ProcessResult run = RunTool(tool, path, dir.Path());
    EXPECT_EQ(run.ExitCode, 2);
    EXPECT_EQ(run.Stderr, Refusal(tool, path, crafted.Error));
    EXPECT_EQ(tfxtest::ReadFile(dir.Path() + "/plot.png") +
                  tfxtest::ReadFile(dir.Path() + "/compare.png"),
              "");
}

INSTANTIATE_TEST_SUITE_P(Crafted, PythonToolRefuses,
                         testing::Combine(testing::Values(TFXPLOT_PATH, TFXCOMPARE_PATH),
                                          testing::ValuesIn(tfxtest::CraftedResults())));

/* A file that tfxclnt -M does not read so (of a run with intervals, of a
 * sweep, or a whole text: "nested" for 100,000 arrays one in the other,
 * "fifo" and "large" for a FIFO and a sparse file of 256 MiB and a byte),
 * and the refusal. */
struct NotAResult {
    std::string (*Base)(uint64_t factor); /* null for a whole text */
    std::string Pointer, Value, Error;
};

class TfxplotRefuses : public testing::TestWithParam<NotAResult> {};

TEST_P(TfxplotRefuses, WhatNoResultHolds)
{
    const NotAResult &bad = GetParam();
    tfxtest::TempDir dir;
    std::string path = dir.Path() + "/bad.json", error;
    if (bad.Value == "fifo") {
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    } else if (bad.Value == "large") {
        ASSERT_TRUE(WriteFileWhole(path, "", &error));
        ASSERT_EQ(truncate(path.c_str(), (off_t{256} << 20) + 1), 0);
    } else {
        std::string text =
            bad.Value == "nested" ? std::string(100000, '[') + std::string(100000, ']')
            : bad.Base == nullptr ? bad.Value
                                  : tfxtest::CraftedText(bad.Base(1), {bad.Pointer, bad.Value, ""});
        ASSERT_TRUE(WriteFileWhole(path, text, &error));
    }
    for (const char *tool : {TFXPLOT_PATH, TFXCOMPARE_PATH}) {
        ProcessResult run = RunTool(tool, path, dir.Path());
        EXPECT_EQ(run.ExitCode, 2) << tool;
        EXPECT_EQ(run.Stderr, Refusal(tool, path, bad.Error));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TfxplotRefuses,
    testing::Values(
        NotAResult{nullptr, "", "{\"tool\": \"wrk\"}\n",
                   "not a result of tfxclnt: it has no \"tool\": \"tfxclnt\""},
        NotAResult{nullptr, "", "nested", "not JSON: nested too deep"},
        NotAResult{nullptr, "", "fifo", "not a regular file"},
        NotAResult{nullptr, "", "large",
                   "larger than 256 MiB, far more than any result of tfxclnt"},
        NotAResult{nullptr, "", "{\"tool\": \"tfxclnt\", \"settings\": NaN}",
                   "not JSON: NaN is not a number JSON has"},
        NotAResult{ResultText, "/intervals/1/duration_s", "-1",
                   "intervals[1].duration_s: -1 is not a number from 0 to 1000000000"},
        NotAResult{ResultText, "/intervals/2/completed", "0",
                   "intervals[2].latency_ns: has figures exactly when the second completed "
                   "transactions"},
        NotAResult{ResultText, "/latency_ns/percentiles/1e400", "5",
                   "latency_ns.percentiles.1e400: is not the name of a percentile from 0 to 100"},
        NotAResult{ResultText, "/latency_ns/percentiles/99", "1",
                   "latency_ns.percentiles.99: 1 is not a whole number from 20001 to 1020000"},
        NotAResult{SweepText, "/sweep/steps/0/runs/1/p50_ns", "-2",
                   "sweep.steps[0].runs[1].p50_ns: -2 is not a number from 0 to "
                   "9.00719925474099e+15"}));

/* A run of rate completions a second, latency ns each, with warmupS of warm-up. */
std::string RunText(uint64_t rate, uint64_t latency, double warmupS)
{
    ClientSettings settings;
    settings.Duration = 3;
    settings.Warmup = warmupS;
    static RunResult result;
    result.Latency.Clear();
    result.Intervals.clear();
    for (uint64_t i = 0; i < 3 * rate; ++i)
        result.Latency.Record(latency);
    for (int second = 0; second < 3; ++second)
        result.Intervals.push_back({second * 1.0, 1.0, second < warmupS, rate, rate, 0, 0, latency,
                                    latency, latency, latency});
    return RunResultJson(settings, result, {}, 0);
}

/* The SVG picture of the results, and the texts in it: matplotlib writes
 * each as a comment. */
std::string DrawSvg(const std::vector<std::string> &results)
{
    tfxtest::TempDir dir;
    std::vector<std::string> args = {TFXPLOT_PATH, "-o", dir.Path() + "/plot.svg"};
    std::string error;
    for (const std::string &result : results) {
        args.push_back(dir.Path() + "/" + std::to_string(args.size()) + ".json");
        EXPECT_TRUE(WriteFileWhole(args.back(), result, &error)) << error;
    }
    ProcessResult run = tfxtest::RunProcess(args);
    EXPECT_EQ(run.ExitCode, 0) << run.Stderr;
    return tfxtest::ReadFile(dir.Path() + "/plot.svg");
}

/* Runs whose rates differ more than tenfold share a log throughput axis,
 * which says so; the latency axis labels the decade of the smallest one
 * (900 ns: 100 ns); the warm-up is shaded in the colour of the run that had
 * one (the second colour) only. */
TEST(Tfxplot, RunsOfFarApartRatesShareALogAxis)
{
    std::string svg = DrawSvg({RunText(100, 900, 0), RunText(10000, 50000, 1.5)});
    EXPECT_NE(svg.find("<!-- transactions/s (log scale: the runs differ more than tenfold) -->"),
              std::string::npos);
    EXPECT_NE(svg.find("<!-- 100 ns -->"), std::string::npos);
    EXPECT_NE(svg.find("<!-- seconds from the start of the run (warm-up shaded) -->"),
              std::string::npos);
    EXPECT_NE(svg.find("fill: #ff7f0e; opacity: 0.08"), std::string::npos);
    EXPECT_EQ(svg.find("fill: #1f77b4; opacity: 0.08"), std::string::npos);
}

/* Runs of like rates keep a linear axis from zero, and without a warm-up
 * nothing is shaded or said to be. */
TEST(Tfxplot, RunsOfLikeRatesKeepALinearAxis)
{
    std::string svg = DrawSvg({RunText(100, 900, 0), RunText(900, 900, 0)});
    EXPECT_NE(svg.find("<!-- transactions/s -->"), std::string::npos);
    EXPECT_NE(svg.find("<!-- seconds from the start of the run -->"), std::string::npos);
    EXPECT_EQ(svg.find("opacity: 0.08"), std::string::npos);
}

/* The picture goes through a temporary file of mkstemp: a link that another
 * user planted at the name once used (plot.png.tmp) is left alone, and so is
 * the file it points to. */
TEST(Tfxplot, WritesNoFileThroughAPlantedLink)
{
    tfxtest::TempDir dir;
    std::string result = dir.Path() + "/one.json", png = dir.Path() + "/plot.png";
    std::string victim = dir.Path() + "/victim", error;
    ASSERT_TRUE(WriteFileWhole(result, RunText(100, 900, 0), &error)) << error;
    ASSERT_TRUE(WriteFileWhole(victim, "precious\n", &error)) << error;
    ASSERT_EQ(symlink(victim.c_str(), (png + ".tmp").c_str()), 0);
    ProcessResult run = tfxtest::RunProcess({TFXPLOT_PATH, result, "-o", png});
    EXPECT_EQ(run.ExitCode, 0) << run.Stderr;
    EXPECT_EQ(tfxtest::ReadFile(victim), "precious\n");
    struct stat info {};
    ASSERT_EQ(lstat(png.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(tfxtest::ReadFile(png).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

/* Without matplotlib it says which Debian package to install. */
TEST(Tfxplot, WithoutMatplotlibNamesThePackage)
{
    tfxtest::TempDir dir;
    ASSERT_EQ(mkdir((dir.Path() + "/matplotlib").c_str(), 0700), 0);
    std::string error;
    ASSERT_TRUE(WriteFileWhole(dir.Path() + "/matplotlib/__init__.py",
                               "raise ImportError(\"No module named 'matplotlib'\")\n", &error));
    tfxtest::ProcessOptions options;
    options.Env = {{"PYTHONPATH", dir.Path()}};
    ProcessResult run = tfxtest::RunProcess(
        {TFXPLOT_PATH, dir.Path() + "/one.json", "-o", dir.Path() + "/plot.png"}, options);
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Stderr, "tfxplot: cannot draw without matplotlib: install the Debian package "
                          "python3-matplotlib (apt install python3-matplotlib)\n");
}

/* The latency axis of a sweep whose every latency is over 10 ms starts at
 * that decade: the knee's vertical line is no latency. */
TEST(Tfxplot, StartsTheLatencyAxisAtTheDecadeOfTheLowestLatency)
{
    std::string svg = DrawSvg({SweepText(100)});
    EXPECT_NE(svg.find("<!-- 10 ms -->"), std::string::npos);
    EXPECT_EQ(svg.find("<!-- 1 ns -->"), std::string::npos);
}

/* The legend stands beside the data, not on it, and a constant throughput
 * stays below the frame's top edge. */
TEST(Tfxplot, KeepsTheDataInView)
{
    tfxtest::TempDir dir;
    std::string result = dir.Path() + "/one.json", error;
    ASSERT_TRUE(WriteFileWhole(result, RunText(100, 900, 0), &error)) << error;
    ProcessResult run = tfxtest::RunProcess(
        {"/usr/bin/python3", "-c",
         "import importlib.machinery as m, sys; p = m.SourceFileLoader('p', "
         "sys.argv[1]).load_module(); run = p.read_run(sys.argv[2]); run.color = 'k'\n"
         "f, a = p.plt.subplots(); p.draw_latency_over_time(a, [run]); f.canvas.draw()\n"
         "print(a.get_legend().get_window_extent().x0 >= a.get_window_extent().x1)\n"
         "f, a = p.plt.subplots(); p.draw_throughput_over_time(a, [run]); "
         "print(a.get_ylim()[1] > 100)",
         TFXPLOT_PATH, result});
    EXPECT_EQ(run.Stdout, "True\nTrue\n") << run.Stderr;
}

/* The reader takes a result of 100,000 intervals in memory of less than
 * twice its size (parsed all at once, three and a half times): arrays, not
 * Python objects. */
TEST(Tfxplot, ReadsAResultInASmallMultipleOfItsSize)
{
    tfxtest::TempDir dir;
    ResultJson json = ResultJson::parse(ResultText(1));
    ResultJson interval = json["intervals"][0];
    interval["duration_s"] = 1.000184213; /* as a real run's seconds are */
    interval["transactions_per_s"] = 329.93922504623806;
    for (int second = 3; second < 100000; ++second) {
        interval["start_s"] = second * 1.000184213;
        json["intervals"].push_back(interval);
    }
    std::string path = dir.Path() + "/long.json", error;
    ASSERT_TRUE(WriteFileWhole(path, ResultDocumentText(json), &error)) << error;
    ProcessResult run = tfxtest::RunProcess(
        {"/usr/bin/python3", "-c",
         "import os, resource, sys; sys.path.insert(0, os.path.dirname(sys.argv[1])); "
         "import tfxresult; before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss; "
         "tfxresult.read(sys.argv[2]); grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss "
         "- before; print(grown * 1024 < 2 * os.path.getsize(sys.argv[2]))",
         TFXPLOT_PATH, path});
    EXPECT_EQ(run.Stdout, "True\n") << run.Stderr;
}

/* The knee line's pattern is no latency curve's, nor one that differs from
 * it only in its spacing. */
TEST(Tfxplot, DrawsTheKneeInAStyleNoCurveUses)
{
    ProcessResult run = tfxtest::RunProcess(
        {"/usr/bin/python3", "-c",
         "import importlib.machinery as m, sys; from matplotlib.lines import _get_dash_pattern "
         "as d; p = m.SourceFileLoader('p', sys.argv[1]).load_module(); n = lambda s: "
         "len(d(s)[1] or ()); print(n(p.KNEE_STYLE) in {n(s) for _, s in p.SWEEP_LINES})",
         TFXPLOT_PATH});
    EXPECT_EQ(run.Stdout, "False\n") << run.Stderr;
}

} // namespace
