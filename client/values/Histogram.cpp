#include "client/values/Histogram.h"

#include <cmath>

Histogram::Histogram() : counts_(BucketCount(), 0) {}

void Histogram::Add(const Histogram &other)
{
    for (size_t i = 0; i < counts_.size(); ++i)
        counts_[i] += other.counts_[i];
    count_ += other.count_;
    sum_ += other.sum_;
    min_ = other.min_ < min_ ? other.min_ : min_;
    max_ = other.max_ > max_ ? other.max_ : max_;
}

void Histogram::Clear()
{
    for (uint64_t &count : counts_)
        count = 0;
    count_ = 0;
    sum_ = 0;
    min_ = UINT64_MAX;
    max_ = 0;
}

double Histogram::Mean() const
{
    if (count_ == 0)
        return 0.0;
    return static_cast<double>(sum_) / static_cast<double>(count_);
}

double Histogram::StdDeviation() const
{
    if (count_ == 0)
        return 0.0;
    double mean = Mean();
    double squares = 0.0;
    ForEachBucket([&](uint64_t low, uint64_t high, uint64_t count) {
        double deviation = (static_cast<double>(low) + static_cast<double>(high)) / 2.0 - mean;
        squares += deviation * deviation * static_cast<double>(count);
    });
    return std::sqrt(squares / static_cast<double>(count_));
}

/* Below SubBuckets a bucket holds one value; above, bucket i of shift s
 * holds the values whose top SubBucketBits bits read i - s * HalfBuckets. */
uint64_t Histogram::LowOf(size_t index)
{
    if (index < SubBuckets)
        return index;
    uint64_t shift = (index - HalfBuckets) / HalfBuckets;
    uint64_t mantissa = index - shift * HalfBuckets;
    return mantissa << shift;
}

uint64_t Histogram::HighOf(size_t index)
{
    if (index < SubBuckets)
        return index;
    uint64_t shift = (index - HalfBuckets) / HalfBuckets;
    return LowOf(index) + (uint64_t{1} << shift) - 1;
}

uint64_t Histogram::Percentile(double percent) const
{
    if (count_ == 0)
        return 0;
    if (!(percent > 0.0))
        return Min();
    if (percent >= 100.0)
        return max_;
    double exactRank = std::ceil(percent / 100.0 * static_cast<double>(count_));
    uint64_t rank = exactRank < 1.0 ? 1 : static_cast<uint64_t>(exactRank);
    if (rank > count_)
        rank = count_;
    uint64_t seen = 0;
    for (size_t i = 0; i < counts_.size(); ++i) {
        seen += counts_[i];
        if (seen < rank)
            continue;
        uint64_t low = LowOf(i);
        uint64_t value = low + (HighOf(i) - low) / 2;
        if (value < Min())
            return Min();
        return value > max_ ? max_ : value;
    }
    return max_;
}
