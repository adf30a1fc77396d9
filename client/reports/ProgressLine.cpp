#include "client/reports/ProgressLine.h"

#include <string>

#include "client/values/FigureText.h"

void PrintProgressLine(FILE *out, double elapsed, const RunCounts &counts,
                       const IntervalFigures &interval)
{
    bool any = interval.Completed != 0;
    std::string p50 = any ? LatencyText(static_cast<double>(interval.P50)) : "-";
    std::string p99 = any ? LatencyText(static_cast<double>(interval.P99)) : "-";
    fprintf(out,
            "tfxclnt: %.1f s: %llu sent, %llu completed, %llu refused, %llu timed out; "
            "last %.1f s: %.0f tx/s, p50 %s, p99 %s\n",
            elapsed, static_cast<unsigned long long>(counts.Messages),
            static_cast<unsigned long long>(counts.Completed),
            static_cast<unsigned long long>(counts.Refused),
            static_cast<unsigned long long>(counts.TimedOut), interval.DurationS,
            interval.TransactionsPerSecond(), p50.c_str(), p99.c_str());
    (void)fflush(out);
}
