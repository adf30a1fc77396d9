/* The fixed latency buckets of every histogram the programs expose: the
 * E48 series of preferred numbers (48 a decade, each about 4.9 % above the
 * last) from 10 us to 100 s, in whole nanoseconds. The same on every host
 * and in every run, so that histograms of several processes add up bucket
 * by bucket, and histogram_quantile lands within a bucket of about 5 %. */
#ifndef TFX_METRICS_LATENCYBUCKETS_H
#define TFX_METRICS_LATENCYBUCKETS_H

#include <cstddef>
#include <cstdint>

enum : size_t {
    LatencyBounds = 7 * 48 + 1,         /* upper bounds, 10 us to 100 s */
    LatencyBuckets = LatencyBounds + 1, /* and the bucket over the last bound */
};

/* The upper bound of bucket index (inclusive), in nanoseconds; UINT64_MAX
 * for the last bucket. */
uint64_t LatencyBoundNs(size_t index);

/* The bucket that holds a latency of ns nanoseconds: the first whose bound
 * is at least ns. */
size_t LatencyBucketOf(uint64_t ns);

#endif
