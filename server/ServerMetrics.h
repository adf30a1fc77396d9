/* The server's counters for Prometheus, when TFX_METRICS names where to
 * serve them: the request loop publishes a snapshot once a second, and the
 * listener's thread renders the last one for each scrape. Without
 * TFX_METRICS, nothing runs and nothing is counted beyond the summary's. */
#ifndef TFX_SERVER_SERVERMETRICS_H
#define TFX_SERVER_SERVERMETRICS_H

#include <cstdint>

#include "qlx/qlx.h"

extern bool MetricsServed; /* TFX_METRICS was given and its listener runs */

/* Reads TFX_METRICS and starts its listener. Writes why on standard error
 * and exits with 1 when the value cannot be used or the address bound. */
void StartMetrics();

/* A transaction's service time, into the histogram. */
void CountServiceTime(uint32_t serviceMs);

/* Publishes a snapshot when a second has passed since the last; cheap
 * otherwise. */
void PublishMetricsWhenDue(QLXHCONN hConn);

#endif
