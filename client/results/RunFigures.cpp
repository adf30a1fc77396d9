#include "client/results/RunFigures.h"

#include <algorithm>
#include <cmath>

#include "client/values/FigureText.h"

const FigureName FigureNames[FigureCount] = {
    {"achieved/s", "achieved_per_s", FigureUnit::Rate},
    {"p50", "p50_ns", FigureUnit::Latency},
    {"p99", "p99_ns", FigureUnit::Latency},
    {"p99.9", "p99.9_ns", FigureUnit::Latency},
    {"max", "max_ns", FigureUnit::Latency},
    {"timeouts", "timeouts", FigureUnit::Count},
    {"refused", "refused", FigureUnit::Count},
    {"send lag p99", "send_lag_p99_ns", FigureUnit::Latency},
};

/* The spread of p99 over its median above which a result is noisy. */
constexpr double NoisySpread = 0.2;

static void Set(RunFigures *figures, Figure figure, double value, bool present)
{
    figures->Value[figure] = present ? value : 0.0;
    figures->Present[figure] = present;
}

RunFigures FiguresOf(const ClientSettings &settings, const RunResult &result)
{
    RunFigures figures;
    /* A service that went away served only until its last reply. */
    double asked = result.Ended == EndReason::ServiceGone ? 0.0 : settings.Duration;
    double seconds = std::max(result.MeasuredSeconds(), asked);
    double completed = static_cast<double>(result.Counts.MeasuredCompleted);
    Set(&figures, AchievedFigure, seconds > 0.0 ? completed / seconds : 0.0, true);
    const Histogram &latency = result.Latency;
    bool samples = latency.Count() != 0;
    Set(&figures, P50Figure, static_cast<double>(latency.Percentile(50.0)), samples);
    Set(&figures, P99Figure, static_cast<double>(latency.Percentile(99.0)), samples);
    Set(&figures, P999Figure, static_cast<double>(latency.Percentile(99.9)), samples);
    Set(&figures, MaxFigure, static_cast<double>(latency.Max()), samples);
    Set(&figures, TimeoutsFigure, static_cast<double>(result.Counts.TimedOut), true);
    Set(&figures, RefusedFigure, static_cast<double>(result.Counts.Refused), true);
    Set(&figures, SendLagFigure, static_cast<double>(result.SendLag.Percentile(99.0)),
        result.SendLag.Count() != 0);
    return figures;
}

FigureSpread SpreadOf(const std::vector<RunFigures> &runs)
{
    FigureSpread spread;
    for (size_t figure = 0; figure < FigureCount; ++figure) {
        std::vector<double> values;
        for (const RunFigures &run : runs)
            if (run.Present[figure])
                values.push_back(run.Value[figure]);
        if (values.empty())
            continue;
        std::sort(values.begin(), values.end());
        size_t half = values.size() / 2;
        double median =
            values.size() % 2 != 0 ? values[half] : (values[half - 1] + values[half]) / 2.0;
        Set(&spread.Median, Figure(figure), median, true);
        Set(&spread.Min, Figure(figure), values.front(), true);
        Set(&spread.Max, Figure(figure), values.back(), true);
    }
    spread.Noisy = spread.Median.Present[P99Figure] &&
                   spread.Max.Value[P99Figure] - spread.Min.Value[P99Figure] >
                       NoisySpread * spread.Median.Value[P99Figure];
    return spread;
}

std::string FigureText(const RunFigures &figures, Figure figure)
{
    if (!figures.Present[figure])
        return "-";
    double value = figures.Value[figure];
    switch (FigureNames[figure].Unit) {
    case FigureUnit::Rate:
        return FixedText(value, 1);
    case FigureUnit::Latency:
        return LatencyText(value);
    case FigureUnit::Count:
        /* A median of two counts may end in a half. */
        return FixedText(value, value == std::floor(value) ? 0 : 1);
    }
    return "-";
}
