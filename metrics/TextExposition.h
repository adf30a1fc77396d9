/* The Prometheus text exposition format (version 0.0.4), written into a
 * growing buffer: a family's HELP and TYPE lines, then its samples. Label
 * sets are given as written between the braces (name="value",...), built
 * with AddLabel, which escapes the value. */
#ifndef TFX_METRICS_TEXTEXPOSITION_H
#define TFX_METRICS_TEXTEXPOSITION_H

#include <cstddef>
#include <cstdint>

#include "metrics/LatencyBuckets.h"

/* Starts empty ({}); Failed is set when memory ran out, and the text is
 * then to be thrown away. TimestampMs, when not 0, is written after every
 * sample's value: the time its figures were taken (milliseconds since the
 * epoch), so that Prometheus computes rates between snapshots rather than
 * between its scrapes. */
struct MetricsText {
    char *Data;
    size_t Length;
    size_t Capacity;
    bool Failed;
    uint64_t TimestampMs;
};

/* The wall clock now, in milliseconds since the epoch. */
uint64_t WallClockMs();

/* The media type of the text, for the Content-Type of a reply. */
extern const char MetricsContentType[];

void FreeMetricsText(MetricsText *text);
void AppendText(MetricsText *text, const char *bytes, size_t length);

/* Appends name="value" to a label set, a comma first when it is not empty;
 * backslash, double quote and line feed in value are escaped. */
void AddLabel(MetricsText *labels, const char *name, const char *value);

/* The HELP and TYPE lines of a family; type is counter, gauge or histogram. */
void AddFamily(MetricsText *text, const char *name, const char *type, const char *help);

/* One sample: name{labels} value. Labels may be empty. */
void AddSample(MetricsText *text, const char *name, const char *labels, uint64_t value);

/* One sample whose value is nanoseconds, written as exact seconds. */
void AddSeconds(MetricsText *text, const char *name, const char *labels, uint64_t ns);

/* A histogram over the fixed latency buckets: name_bucket for each bound and
 * +Inf, cumulative, then name_sum (seconds) and name_count. counts holds
 * LatencyBuckets counts, each of its own bucket alone. */
void AddLatencyHistogram(MetricsText *text, const char *name, const char *labels,
                         const uint64_t *counts, uint64_t sumNs);

/* Writes ns as seconds in the fewest digits that are exact ("0.0000105",
 * "2", "0"); out holds at least 32 bytes. */
void FormatSeconds(char *out, uint64_t ns);

#endif
