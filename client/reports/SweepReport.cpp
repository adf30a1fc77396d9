#include "client/reports/SweepReport.h"

#include <cmath>

#include "client/values/FigureText.h"
#include "client/results/JsonReport.h"
#include "client/results/RunVerdict.h"
#include "client/reports/SummaryReport.h"
#include "client/values/ValueParsing.h"

/* Widths of the label column and of each figure's column. */
enum { LabelWidth = 10 };
static const int FigureWidths[FigureCount] = {10, 8, 8, 8, 8, 8, 7, 12};

static void PrintTableHeading(FILE *out, const char *label)
{
    fprintf(out, "\n%*s", LabelWidth, label);
    for (size_t figure = 0; figure < FigureCount; ++figure)
        fprintf(out, "  %*s", FigureWidths[figure], FigureNames[figure].Heading);
    fputs("  outcome\n", out);
}

/* A row of the table; flushed, so that a row shows as soon as its run ends. */
static void PrintRow(FILE *out, const std::string &label, const RunFigures &figures,
                     const std::string &outcome)
{
    fprintf(out, "%*s", LabelWidth, label.c_str());
    for (size_t figure = 0; figure < FigureCount; ++figure)
        fprintf(out, "  %*s", FigureWidths[figure], FigureText(figures, Figure(figure)).c_str());
    fprintf(out, "%s%s\n", outcome.empty() ? "" : "  ", outcome.c_str());
    fflush(out);
}

static void PrintSpreadRows(FILE *out, const FigureSpread &spread)
{
    PrintRow(out, "min", spread.Min, "");
    PrintRow(out, "max", spread.Max, "");
}

static std::string RateText(double rate)
{
    return FixedText(rate, 1);
}

void PrintRunHeading(FILE *out, const std::string &heading, uint32_t number, uint32_t n)
{
    std::string line = heading;
    if (n > 1)
        line += (line.empty() ? "run " : ", run ") + std::to_string(number) + " of " +
                std::to_string(n);
    fprintf(out, "tfxclnt: %s\n", line.c_str());
}

void PrintRepeatsHeading(FILE *out, const ClientSettings &settings, uint64_t seed)
{
    PrintSettings(out, AllAgentsSettings(settings), seed);
    PrintAgentsLine(out, settings);
    fprintf(out, "%u runs, each with fresh connections and the same seed\n", settings.Repeats);
    PrintTableHeading(out, "run");
}

/* "            agents vm:1 +0.032 ms +- 0.242 ms, ..." under a run's row,
 * for a run on agents (-D); label names the run when the row does not. */
static void PrintAgentsOfRun(FILE *out, const std::string &label, const RepeatRun &run)
{
    if (run.Agents.empty())
        return;
    std::string agents;
    for (const AgentClock &agent : run.Agents)
        agents += (agents.empty() ? "" : ", ") + AgentClockText(agent);
    fprintf(out, "%*s  agents %s\n", LabelWidth, label.c_str(), agents.c_str());
    fflush(out);
}

void PrintRunRow(FILE *out, size_t number, const RepeatRun &run)
{
    PrintRow(out, std::to_string(number), run.Figures,
             run.Fault.empty() ? "passed" : "FAILED: " + run.Fault);
    PrintAgentsOfRun(out, "", run);
}

/* "Interrupted" or "Ended by a failure of qlxClientSend", then when. */
static void PrintCutShort(FILE *out, const RunsEnd &end, const std::string &when)
{
    if (end.Interrupted)
        fprintf(out, "Interrupted %s\n", when.c_str());
    if (end.Failed)
        fprintf(out, "Ended by a failure of qlx%s %s\n",
                end.FailureLabel.substr(0, end.FailureLabel.find(':')).c_str(), when.c_str());
}

void PrintRepeatsEnd(FILE *out, const RepeatedRuns &runs, const RunsEnd &end, uint32_t asked)
{
    const FigureSpread &spread = runs.Spread;
    if (!runs.Runs.empty()) {
        PrintRow(out, "median", spread.Median, "");
        PrintSpreadRows(out, spread);
    }
    fputs("\n", out);
    PrintCutShort(out, end,
                  "after " + std::to_string(runs.Runs.size()) + " of " + std::to_string(asked) +
                      " runs; a run cut short is left out");
    if (spread.Median.Present[P99Figure])
        fprintf(out, "Spread of p99: %s to %s around a median of %s: %s\n",
                FigureText(spread.Min, P99Figure).c_str(),
                FigureText(spread.Max, P99Figure).c_str(),
                FigureText(spread.Median, P99Figure).c_str(),
                spread.Noisy ? "noisy, over a fifth of the median" : "steady");
}

static std::string RangeText(const ClientSettings &settings, uint32_t runsPerStep)
{
    const RateRange &range = settings.Sweep;
    std::string text = range.Search() ? "a search from " : "rates from ";
    text += RateText(range.Start) + " to " + RateText(range.Stop) + " transactions/s";
    text += range.Search() ? " to within 2 %" : " in steps of " + RateText(range.Step);
    text += ", " + PercentileName(settings.Duration) + " s a run";
    if (settings.Warmup > 0.0)
        text += " after " + PercentileName(settings.Warmup) + " s of warm-up";
    if (runsPerStep > 1)
        text += ", " + std::to_string(runsPerStep) + " runs a step";
    return text;
}

void PrintSweepHeading(FILE *out, const ClientSettings &settings, uint32_t runsPerStep,
                       uint64_t seed)
{
    uint32_t connections = AllAgentsSettings(settings).Connections;
    fprintf(out, "Sweep of service element %s: %u connection%s, window %u, %s\n",
            settings.Element.c_str(), connections, connections == 1 ? "" : "s", settings.Window,
            RangeText(settings, runsPerStep).c_str());
    PrintRequestLine(out, settings, seed);
    PrintAgentsLine(out, settings);
    std::string conditions;
    for (const std::string &condition : StepConditions(settings))
        conditions += (conditions.empty() ? "" : ", ") + condition;
    fprintf(out, "Conditions of a step: %s\n", conditions.c_str());
    PrintTableHeading(out, "target/s");
}

void PrintStepRows(FILE *out, const SweepStep &step)
{
    const RepeatedRuns &repeats = step.Repeats;
    PrintRow(out, RateText(step.Target), repeats.Spread.Median,
             repeats.Passed() ? "met" : "NOT MET: " + repeats.Fault());
    if (repeats.Runs.size() > 1)
        PrintSpreadRows(out, repeats.Spread);
    for (size_t i = 0; i < repeats.Runs.size(); ++i)
        PrintAgentsOfRun(out, "run " + std::to_string(i + 1), repeats.Runs[i]);
}

/* " meet p99 at most twice the first step's: p99 ...", or otherwise and a
 * fault that names its condition itself (those of -A do) or that no
 * condition allows. */
static std::string UnmetText(const RepeatedRuns &repeats, const char *otherwise)
{
    std::string condition = repeats.Condition();
    std::string fault = repeats.Fault();
    bool named = condition.empty() || fault.find(condition) != std::string::npos;
    return (named ? otherwise : " meet " + condition) + ": " + fault;
}

void PrintKnee(FILE *out, const SweepResult &sweep)
{
    std::string noisy;
    for (const SweepStep &step : sweep.Steps)
        if (step.Repeats.Spread.Noisy)
            noisy += (noisy.empty() ? "" : ", ") + RateText(step.Target);
    fputs("\n", out);
    if (!noisy.empty())
        fprintf(out,
                "Noisy: the spread of p99 was over a fifth of its median at %s "
                "transactions/s\n",
                noisy.c_str());
    PrintCutShort(out, sweep.End, "before the sweep ended; a step cut short is left out");
    const SweepStep *met = sweep.HighestMet();
    const SweepStep *failed = sweep.FirstFailed();
    if (met != nullptr && failed != nullptr)
        fprintf(out, "Knee: %s transactions/s met the conditions; %s did not%s\n",
                RateText(met->Target).c_str(), RateText(failed->Target).c_str(),
                UnmetText(failed->Repeats, "").c_str());
    else if (failed != nullptr)
        fprintf(out, "Knee: below %s transactions/s, the lowest rate tried, which did not%s\n",
                RateText(failed->Target).c_str(),
                UnmetText(failed->Repeats, " meet the conditions").c_str());
    else if (met != nullptr)
        fprintf(out, "Knee: above %s transactions/s: every rate tried met the conditions\n",
                RateText(met->Target).c_str());
    else
        fputs("Knee: not found: no step ran to its end\n", out);
}

/* A figure as a whole number when it is one, so counts and nanoseconds
 * read as they do in the rest of the result. */
static ResultJson FigureJson(const RunFigures &figures)
{
    ResultJson json = ResultJson::object();
    for (size_t figure = 0; figure < FigureCount; ++figure) {
        double value = figures.Value[figure];
        ResultJson &member = json[FigureNames[figure].Key];
        if (!figures.Present[figure])
            member = nullptr;
        else if (value == std::floor(value) && value < 9007199254740992.0)
            member = static_cast<uint64_t>(value);
        else
            member = value;
    }
    return json;
}

static ResultJson MaybeText(const std::string &text)
{
    return text.empty() ? ResultJson(nullptr) : ResultJson(text);
}

/* The runs with their figures and faults, and their median and spread. */
static ResultJson RepeatedJson(const RepeatedRuns &repeats, ResultJson json)
{
    ResultJson &runs = json["runs"] = ResultJson::array();
    for (const RepeatRun &run : repeats.Runs) {
        ResultJson &entry = runs.emplace_back(FigureJson(run.Figures));
        entry["passed"] = run.Fault.empty();
        entry["fault"] = MaybeText(run.Fault);
        if (!run.Agents.empty())
            entry["agents"] = AgentClocksJson(run.Agents);
    }
    json["median"] = FigureJson(repeats.Spread.Median);
    json["min"] = FigureJson(repeats.Spread.Min);
    json["max"] = FigureJson(repeats.Spread.Max);
    json["noisy"] = repeats.Spread.Noisy;
    return json;
}

static const char *EndedBy(const RunsEnd &end)
{
    return end.Failed ? "failure" : end.Interrupted ? "interrupt" : "complete";
}

static std::string Document(const ClientSettings &settings, uint64_t seed, const char *kind,
                            ResultJson body, const RunsEnd &end, int exitCode)
{
    ResultJson json;
    json["tool"] = "tfxclnt";
    json["run"] = RunIdentityJson(end.Identity);
    json["settings"] = SettingsJson(settings, seed);
    json[kind] = std::move(body);
    json["failure"] = FailureJson(end.Failed, end.FailureLabel, end.Failure);
    json["exit_code"] = exitCode;
    return ResultDocumentText(json);
}

std::string RepeatsJson(const ClientSettings &settings, uint64_t seed, const RepeatedRuns &runs,
                        const RunsEnd &end, int exitCode)
{
    ResultJson body =
        RepeatedJson(runs, {{"runs_asked", settings.Repeats}, {"ended_by", EndedBy(end)}});
    return Document(settings, seed, "repeats", std::move(body), end, exitCode);
}

static ResultJson StepJson(const SweepStep &step)
{
    const RepeatedRuns &repeats = step.Repeats;
    return RepeatedJson(repeats, {{"target_per_s", step.Target},
                                  {"met", repeats.Passed()},
                                  {"reason", MaybeText(repeats.Fault())},
                                  {"condition", MaybeText(repeats.Condition())}});
}

std::string SweepJson(const ClientSettings &settings, uint64_t seed, const SweepResult &sweep,
                      int exitCode)
{
    const RateRange &range = settings.Sweep;
    const SweepStep *met = sweep.HighestMet();
    const SweepStep *failed = sweep.FirstFailed();
    ResultJson steps = ResultJson::array();
    for (const SweepStep &step : sweep.Steps)
        steps.push_back(StepJson(step));
    ResultJson body = {
        {"start_per_s", range.Start},
        {"stop_per_s", range.Stop},
        {"step_per_s", range.Search() ? ResultJson(nullptr) : ResultJson(range.Step)},
        {"search", range.Search()},
        {"runs_per_step", sweep.RunsPerStep},
        {"conditions", StepConditions(settings)},
        {"steps", std::move(steps)},
        {"highest_met_per_s", met != nullptr ? ResultJson(met->Target) : ResultJson(nullptr)},
        {"first_failed_per_s",
         failed != nullptr ? ResultJson(failed->Target) : ResultJson(nullptr)},
        {"reason", failed != nullptr ? ResultJson(failed->Repeats.Fault()) : ResultJson(nullptr)},
        {"condition",
         failed != nullptr ? MaybeText(failed->Repeats.Condition()) : ResultJson(nullptr)},
        {"ended_by", EndedBy(sweep.End)},
    };
    return Document(settings, seed, "sweep", std::move(body), sweep.End, exitCode);
}
