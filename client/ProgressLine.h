/* The progress line written every second while a run goes on. */
#ifndef TFX_CLIENT_PROGRESSLINE_H
#define TFX_CLIENT_PROGRESSLINE_H

#include <cstdint>
#include <cstdio>

#include "client/Histogram.h"
#include "client/RunResult.h"

/* "tfxclnt: 3.0 s: 1500 sent, 1490 completed, 0 refused, 0 timed out; last
 * 1.0 s: 500 tx/s, p50 20.1us, p99 45.2us"; the rate and percentiles are
 * those of the completions since the last line. */
void PrintProgressLine(FILE *out, double elapsed, const RunCounts &counts, uint64_t completed,
                       double interval, const Histogram &latency);

#endif
