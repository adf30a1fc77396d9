#include "util/TimeValue.h"

static const uint32_t AllOnes = 0xFFFFFFFFu;

int TimeEqual(const TimeValue *a, const TimeValue *b)
{
    return a->Milliseconds == b->Milliseconds && a->Seconds == b->Seconds;
}

int TimeCompare(const TimeValue *a, const TimeValue *b)
{
    if (a->Seconds != b->Seconds)
        return a->Seconds < b->Seconds ? -1 : 1;
    if (a->Milliseconds != b->Milliseconds)
        return a->Milliseconds < b->Milliseconds ? -1 : 1;
    return 0;
}

TimeValue TimeDiff(const TimeValue *a, const TimeValue *b)
{
    uint32_t ms = a->Milliseconds - b->Milliseconds;
    uint32_t borrow = 0;
    if (a->Milliseconds < b->Milliseconds) {
        ms += 1000;
        borrow = 1;
    }
    return TimeValue{a->Seconds - b->Seconds - borrow, ms};
}

uint32_t TimeDiffSec(const TimeValue *a, const TimeValue *b)
{
    return TimeDiff(a, b).Seconds;
}

TimeValue TimeSum(const TimeValue *a, const TimeValue *b)
{
    uint32_t s = a->Seconds + b->Seconds;
    uint32_t ms = a->Milliseconds + b->Milliseconds;
    if (ms > 999) {
        s += 1;
        ms %= 1000;
    }
    return TimeValue{s, ms};
}

TimeValue TimeMin(const TimeValue *a, const TimeValue *b)
{
    if (a->Seconds == b->Seconds)
        return TimeValue{a->Seconds,
                         a->Milliseconds < b->Milliseconds ? a->Milliseconds : b->Milliseconds};
    return a->Seconds < b->Seconds ? *a : *b;
}

TimeValue TimeMax(const TimeValue *a, const TimeValue *b)
{
    if (a->Seconds == b->Seconds)
        return TimeValue{a->Seconds,
                         a->Milliseconds > b->Milliseconds ? a->Milliseconds : b->Milliseconds};
    return a->Seconds > b->Seconds ? *a : *b;
}

uint32_t Time100(const TimeValue *t)
{
    if (t->Seconds == AllOnes)
        return 0;
    uint32_t h = t->Seconds * 100 + t->Milliseconds / 10;
    if (t->Milliseconds % 10 >= 5)
        h += 1;
    return h;
}

uint32_t TimeMs(const TimeValue *t)
{
    if (t->Seconds == AllOnes)
        return 0;
    return t->Seconds * 1000 + t->Milliseconds;
}

uint32_t TimeAve100(const TimeValue *t, uint32_t n)
{
    if (n == 0)
        return 0;
    uint32_t q = t->Seconds / n;
    uint32_t r = t->Seconds % n;
    return q * 100 + (r * 100 + t->Milliseconds / 10) / n;
}

TimeValue TimeAve(const TimeValue *t, uint32_t n)
{
    if (n == 0)
        return TimeZero();
    return TimeValue{t->Seconds / n, ((t->Seconds % n) * 1000 + t->Milliseconds) / n};
}

/* The milliseconds count as a fraction of a second, so the figure grows
 * smoothly with them: n / (s + ms / 1000) per second, in hundredths. */
int TimeRate(uint32_t n, const TimeValue *t)
{
    float seconds = static_cast<float>(t->Seconds) + static_cast<float>(t->Milliseconds) / 1000.0f;
    if (seconds == 0.0f)
        return 0;
    float rate = static_cast<float>(n) / seconds * 100.0f;
    if (rate >= 2147483647.0f)
        return 2147483647;
    return static_cast<int>(rate);
}

TimeValue TimeZero()
{
    return TimeValue{0, 0};
}

TimeValue TimeBig()
{
    return TimeValue{AllOnes, 999};
}

int TimeOverflow(const TimeValue *a, const TimeValue *b)
{
    uint64_t carry = a->Milliseconds + b->Milliseconds > 999 ? 1 : 0;
    uint64_t exact = uint64_t{a->Seconds} + b->Seconds + carry;
    return exact > AllOnes;
}
