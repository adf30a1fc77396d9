/* A latency histogram as HdrHistogram's outputPercentileDistribution writes
 * it (an .hgrm file), so HdrHistogram's plotter and the scripts that read
 * its output read ours. */
#ifndef TFX_CLIENT_PERCENTILEDISTRIBUTION_H
#define TFX_CLIENT_PERCENTILEDISTRIBUTION_H

#include <string>

#include "client/values/Histogram.h"

/* The header, a row at each percentile tick (5 ticks per half of the
 * distance left to 100 %, as HdrHistogram's default) with the bucket's
 * highest value in microseconds, and the footer with mean, standard
 * deviation, max, total count and the histogram's layout. */
std::string PercentileDistributionText(const Histogram &latency);

#endif
