#include "client/options/SweepPlan.h"

#include <cmath>
#include <vector>

#include "client/values/ValueParsing.h"

static const char RangeForm[] =
    "give start:stop:step, or start:stop for a search, in transactions per second "
    "from 0.001 to 1e9, k for thousands, M for millions (10k:200k:10k)";

/* Steps are counted with this slack, so 0.1:0.3:0.1 has three in spite of
 * the rounding of 0.1. */
constexpr double StepSlack = 1e-9;

/* A rate of the range, 0.001 to 1e9 per second. */
static bool ParseRangeRate(const std::string &text, double *rate)
{
    return ParseRate(text.c_str(), 0.001, 1e9, rate);
}

static size_t StepCount(const RateRange &range)
{
    return static_cast<size_t>(std::floor((range.Stop - range.Start) / range.Step + StepSlack)) + 1;
}

bool ParseRateRange(const char *text, RateRange *range, std::string *error)
{
    std::vector<std::string> parts(1);
    for (const char *c = text; *c != '\0'; ++c)
        if (*c == ':')
            parts.emplace_back();
        else
            parts.back() += *c;
    RateRange parsed;
    if (parts.size() < 2 || parts.size() > 3 || !ParseRangeRate(parts[0], &parsed.Start) ||
        !ParseRangeRate(parts[1], &parsed.Stop) ||
        (parts.size() == 3 && !ParseRangeRate(parts[2], &parsed.Step))) {
        *error = RangeForm;
        return false;
    }
    if (parsed.Stop <= parsed.Start) {
        *error = "the stop rate must be above the start rate";
        return false;
    }
    if (!parsed.Search() && StepCount(parsed) > MaxSweepSteps) {
        *error = "that is more than 1000 steps; give a larger step";
        return false;
    }
    *range = parsed;
    return true;
}

/* sqrt(low * high) to three significant digits, so the rates read well,
 * unless that rounds it onto low or high. */
static double MiddleRate(double low, double high)
{
    double middle = std::sqrt(low * high);
    int exponent = static_cast<int>(std::floor(std::log10(middle))) - 2;
    double power = std::pow(10.0, std::abs(exponent));
    double rounded =
        exponent >= 0 ? std::round(middle / power) * power : std::round(middle * power) / power;
    return rounded > low && rounded < high ? rounded : middle;
}

bool SweepPlan::NextStep(double *rate) const
{
    if (highTried_ || tried_ >= StepCount(range_))
        return false;
    *rate = range_.Start + static_cast<double>(tried_) * range_.Step;
    return true;
}

bool SweepPlan::NextInSearch(double *rate) const
{
    if ((highTried_ && high_ <= range_.Start) || (lowTried_ && low_ >= range_.Stop))
        return false;
    if (high_ > low_ * SearchPrecision) {
        *rate = MiddleRate(low_, high_);
        return true;
    }
    if (lowTried_ && highTried_)
        return false;
    *rate = lowTried_ ? high_ : low_;
    return true;
}

bool SweepPlan::Next(double *rate) const
{
    return range_.Search() ? NextInSearch(rate) : NextStep(rate);
}

void SweepPlan::Record(double rate, bool met)
{
    ++tried_;
    if (met) {
        low_ = rate;
        lowTried_ = true;
    } else {
        high_ = rate;
        highTried_ = true;
    }
}
