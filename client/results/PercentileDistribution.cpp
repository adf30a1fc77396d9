#include "client/results/PercentileDistribution.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace {

const double NsPerUs = 1000.0; /* values are written in microseconds */
const int64_t TicksPerHalfDistance = 5;

/* The next percentile tick after level, below 100: the ticks are equally
 * spaced within each half of the distance left to 100 %, computed as
 * HdrHistogram computes them so that the rows fall on the same levels. */
double NextLevel(double level)
{
    auto halvings = static_cast<int64_t>(std::log(100.0 / (100.0 - level)) / std::log(2.0));
    auto ticks = TicksPerHalfDistance * static_cast<int64_t>(std::pow(2.0, halvings + 1));
    return level + 100.0 / static_cast<double>(ticks);
}

void AppendFormat(std::string *text, const char *format, ...) __attribute__((format(printf, 2, 3)));

void AppendFormat(std::string *text, const char *format, ...)
{
    char line[160]; /* the longest line is under 80 characters */
    va_list args;
    va_start(args, format);
    int length = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length > 0 && static_cast<size_t>(length) < sizeof line)
        text->append(line, static_cast<size_t>(length));
}

/* How many power-of-two ranges of SubBuckets values cover the histogram,
 * counted as HdrHistogram counts its buckets. */
int BucketRanges()
{
    int ranges = 1;
    for (uint64_t top = uint64_t{1} << Histogram::SubBucketBits; top <= Histogram::HighestValue;
         top <<= 1)
        ++ranges;
    return ranges;
}

} // namespace

std::string PercentileDistributionText(const Histogram &latency)
{
    std::string text;
    AppendFormat(&text, "%12s %14s %10s %14s\n\n", "Value", "Percentile", "TotalCount",
                 "1/(1-Percentile)");
    uint64_t total = latency.Count();
    double level = 0.0;
    uint64_t seen = 0;
    uint64_t lastHigh = 0;
    latency.ForEachBucket([&](uint64_t, uint64_t high, uint64_t count) {
        seen += count;
        lastHigh = high;
        double reached = 100.0 * static_cast<double>(seen) / static_cast<double>(total);
        /* Every tick this bucket reaches; the bucket that ends the count
         * reaches one more only at 100 %, written below. */
        while (level < 100.0 && reached >= level) {
            double fraction = level / 100.0;
            AppendFormat(&text, "%12.3f %2.12f %10llu %14.2f\n",
                         static_cast<double>(high) / NsPerUs, fraction,
                         static_cast<unsigned long long>(seen), 1.0 / (1.0 - fraction));
            /* Past 2^46 samples a tick no longer moves a double this near 100. */
            double next = NextLevel(level);
            level = next > level ? next : 100.0;
            if (seen == total)
                break;
        }
    });
    if (total != 0)
        AppendFormat(&text, "%12.3f %2.12f %10llu\n", static_cast<double>(lastHigh) / NsPerUs, 1.0,
                     static_cast<unsigned long long>(total));
    double maxHigh = total != 0 ? static_cast<double>(lastHigh) : 0.0;
    AppendFormat(&text, "#[Mean    = %12.3f, StdDeviation   = %12.3f]\n", latency.Mean() / NsPerUs,
                 latency.StdDeviation() / NsPerUs);
    AppendFormat(&text, "#[Max     = %12.3f, Total count    = %12llu]\n", maxHigh / NsPerUs,
                 static_cast<unsigned long long>(total));
    AppendFormat(&text, "#[Buckets = %12d, SubBuckets     = %12d]\n", BucketRanges(),
                 1 << Histogram::SubBucketBits);
    return text;
}
