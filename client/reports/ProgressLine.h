/* The progress line written at the end of every interval while a run goes. */
#ifndef TFX_CLIENT_PROGRESSLINE_H
#define TFX_CLIENT_PROGRESSLINE_H

#include <cstdio>

#include "client/results/RunResult.h"

/* "tfxclnt: 3.0 s: 1500 sent, 1490 completed, 0 refused, 0 timed out; last
 * 1.0 s: 500 tx/s, p50 20.1us, p99 45.2us": the counts so far, then the
 * figures of the interval just closed. */
void PrintProgressLine(FILE *out, double elapsed, const RunCounts &counts,
                       const IntervalFigures &interval);

#endif
