/* tfxplot run as a user runs it, on results that the client's own JSON
 * writer wrote. */
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/JsonReport.h"
#include "client/SweepReport.h"
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
        RepeatRun run{figures, rate < 400 ? "" : "achieved 330.0 transactions/s",
                      rate < 400 ? "" : "achieved at least 98 % of the target"};
        RunFigures other = figures;
        other.Value[P99Figure] *= 1.5;
        sweep.Steps.push_back(
            {rate, {{run, {other, run.Fault, run.Condition}}, SpreadOf({figures, other})}});
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

/* A file that is not a result is named, with what is wrong and what to
 * give instead; nothing is drawn. */
TEST(Tfxplot, RefusesAFileThatIsNotAResult)
{
    tfxtest::TempDir dir;
    std::string other = dir.Path() + "/other.json";
    std::string error;
    ASSERT_TRUE(WriteFileWhole(other, "{\"tool\": \"wrk\"}\n", &error)) << error;
    std::string png = dir.Path() + "/plot.png";
    ProcessResult run = tfxtest::RunProcess({TFXPLOT_PATH, other, "-o", png});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Stderr, "tfxplot: " + other +
                              ": not a result of tfxclnt (it has no \"tool\": \"tfxclnt\"); give "
                              "a file that tfxclnt -o wrote\n");
    EXPECT_EQ(tfxtest::ReadFile(png), "");
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
