/* A latency histogram of fixed size: log-linear buckets over nanoseconds,
 * exact below 2048 ns and within 1/2048 of the value above, up to an hour.
 * Counts are 64-bit and unbounded in number of samples. */
#ifndef TFX_CLIENT_HISTOGRAM_H
#define TFX_CLIENT_HISTOGRAM_H

#include <cstddef>
#include <cstdint>
#include <vector>

class Histogram {
  public:
    enum : unsigned { SubBucketBits = 11 };                    /* 1024 buckets per power of two */
    static constexpr uint64_t HighestValue = 3600000000000ull; /* an hour in nanoseconds */

    /* All buckets are allocated here, once; recording never allocates. */
    Histogram();

    /* Adds one sample. A value above HighestValue goes into the top bucket;
     * min, max and mean stay exact. */
    void Record(uint64_t value)
    {
        ++counts_[IndexOf(value > HighestValue ? HighestValue : value)];
        ++count_;
        sum_ += value;
        if (value < min_)
            min_ = value;
        if (value > max_)
            max_ = value;
    }

    /* Forgets every sample. */
    void Clear();

    /* Adds count samples to the bucket that holds value, leaving min, max
     * and the sum to AddExtremes: how a histogram written out as its
     * buckets and figures is read back, or several are merged. */
    void AddToBucket(uint64_t value, uint64_t count)
    {
        counts_[IndexOf(value > HighestValue ? HighestValue : value)] += count;
        count_ += count;
    }
    void AddExtremes(uint64_t min, uint64_t max, long double sum)
    {
        min_ = min < min_ ? min : min_;
        max_ = max > max_ ? max : max_;
        sum_ += static_cast<unsigned __int128>(sum);
    }

    /* Adds every sample of other, exactly. */
    void Add(const Histogram &other);

    uint64_t Count() const { return count_; }
    /* The smallest and largest sample, exactly; 0 when there is none. */
    uint64_t Min() const { return count_ != 0 ? min_ : 0; }
    uint64_t Max() const { return max_; }
    /* The exact mean; 0 when there is no sample. */
    double Mean() const;
    /* The standard deviation from the exact mean, each sample taken as the
     * middle of its bucket; 0 when there is no sample. */
    double StdDeviation() const;

    /* The sample of rank ceil(percent / 100 * count) (nearest rank; rank 1
     * for percent 0), as the middle of its bucket kept within [min, max]:
     * exact below 2048 ns, within 1/2048 above. 0 when there is no sample. */
    uint64_t Percentile(double percent) const;

    /* Calls visit(low, high, count) for each non-empty bucket in order;
     * low and high are the bucket's inclusive bounds. */
    template <typename Visit> void ForEachBucket(Visit visit) const
    {
        for (size_t i = 0; i < counts_.size(); ++i)
            if (counts_[i] != 0)
                visit(LowOf(i), HighOf(i), counts_[i]);
    }

    /* The bucket of a value up to HighestValue, and a bucket's bounds. */
    static size_t IndexOf(uint64_t value)
    {
        if (value < SubBuckets)
            return static_cast<size_t>(value);
        unsigned shift = 63u - static_cast<unsigned>(__builtin_clzll(value)) - SubBucketBits + 1;
        return static_cast<size_t>(shift) * HalfBuckets + static_cast<size_t>(value >> shift);
    }
    static uint64_t LowOf(size_t index);
    static uint64_t HighOf(size_t index);
    static size_t BucketCount() { return IndexOf(HighestValue) + 1; }

  private:
    static constexpr uint64_t SubBuckets = uint64_t{1} << SubBucketBits;
    static constexpr uint64_t HalfBuckets = SubBuckets / 2;

    std::vector<uint64_t> counts_;
    uint64_t count_ = 0;
    unsigned __int128 sum_ = 0;
    uint64_t min_ = UINT64_MAX;
    uint64_t max_ = 0;
};

#endif
