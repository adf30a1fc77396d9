#include "client/ProgressLine.h"

#include <string>

#include "client/FigureText.h"

void PrintProgressLine(FILE *out, double elapsed, const RunCounts &counts, uint64_t completed,
                       double interval, const Histogram &latency)
{
    double rate = interval > 0.0 ? static_cast<double>(completed) / interval : 0.0;
    std::string p50 =
        latency.Count() != 0 ? LatencyText(static_cast<double>(latency.Percentile(50))) : "-";
    std::string p99 =
        latency.Count() != 0 ? LatencyText(static_cast<double>(latency.Percentile(99))) : "-";
    fprintf(out,
            "tfxclnt: %.1f s: %llu sent, %llu completed, %llu refused, %llu timed out; "
            "last %.1f s: %.0f tx/s, p50 %s, p99 %s\n",
            elapsed, static_cast<unsigned long long>(counts.Messages),
            static_cast<unsigned long long>(counts.Completed),
            static_cast<unsigned long long>(counts.Refused),
            static_cast<unsigned long long>(counts.TimedOut), interval, rate, p50.c_str(),
            p99.c_str());
    (void)fflush(out);
}
